#ifndef TREL_PHP_CALLTIMER_H
#define TREL_PHP_CALLTIMER_H

#include <QtGlobal>

#include <vector>

struct _zend_execute_data;

// Times observed calls on a monotonic clock. Calls nest; a call whose end never comes
// (a fatal error unwinds past it) is dropped by the next end below it or by clear().
class CallTimer {
public:
    // Microseconds on the monotonic clock.
    static qint64 now();

    void begin(const _zend_execute_data* frame, int tag = 0);
    // Ends the frame's call: false when it was never begun here; otherwise its elapsed
    // microseconds, its tag, and whether no timed call encloses it.
    bool end(const _zend_execute_data* frame, qint64& elapsed, int& tag, bool& outermost);
    bool isRunning() const { return !m_running.empty(); }
    void clear() { m_running.clear(); }

private:
    struct Running {
        const _zend_execute_data* frame;
        qint64 start;
        int tag;
    };
    std::vector<Running> m_running;
};

#endif
