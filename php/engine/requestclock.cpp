#include "requestclock.h"

#include "calltimer.h"

namespace {

qint64 startUs = 0;

} // namespace

void RequestClock::start(qint64 monotonicUs) {
    startUs = monotonicUs;
}

qint64 RequestClock::offset(qint64 monotonicUs) {
    return qMax<qint64>(0, monotonicUs - startUs);
}

qint64 RequestClock::offsetNow() {
    return offset(CallTimer::now());
}
