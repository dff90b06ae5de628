#include "calltimer.h"

#include <time.h>

qint64 CallTimer::now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void CallTimer::begin(const _zend_execute_data* frame, int tag) {
    m_running.push_back({frame, now(), tag});
}

bool CallTimer::end(const _zend_execute_data* frame, qint64& elapsed, int& tag, bool& outermost) {
    for (size_t i = m_running.size(); i-- > 0;) {
        if (m_running[i].frame != frame)
            continue;
        elapsed = now() - m_running[i].start;
        tag = m_running[i].tag;
        m_running.resize(i);
        outermost = m_running.empty();
        return true;
    }
    return false;
}
