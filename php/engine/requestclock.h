#ifndef TREL_PHP_REQUESTCLOCK_H
#define TREL_PHP_REQUESTCLOCK_H

#include <QtGlobal>

// Where a collected request began on the monotonic clock of CallTimer::now(), which also
// times the request: an offset taken from it lies between 0 and the request's time.
class RequestClock {
public:
    static void start(qint64 monotonicUs);
    // Microseconds from the request's start to a moment of CallTimer::now(); never below 0.
    static qint64 offset(qint64 monotonicUs);
    static qint64 offsetNow();
};

#endif
