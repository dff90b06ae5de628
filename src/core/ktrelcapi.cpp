#include <trel/ktrelcapi.h>

#include <trel/ktrel.h>

#include "core/ktrellog.h"

#include <exception>

namespace {

// The C callers cannot receive an exception: it would cross their frames, which have no
// unwind information, and end the process. Whatever the collector throws (memory
// exhaustion when it is created, a failure in the host's enabled-callback) is logged
// in one line on the collector's stream, and the call returns. Logging itself may fail
// in the same way; that failure is dropped.
void logFailure(const char* function, const char* what) noexcept {
    try {
        // The collector's default stream when it cannot be had.
        KDebug::StreamId stream(1);
        try {
            stream = KTrel::instance()->getDebugStream();
        } catch (...) {
        }
        trelLog(stream, 0) << function << what << kflush;
    } catch (...) {
    }
}

} // namespace

extern "C" int KolvIsTrelCollectionEnabled(void) {
    try {
        return KTrel::instance()->isCollectionEnabled() ? 1 : 0;
    } catch (const std::exception& e) {
        logFailure("KolvIsTrelCollectionEnabled:", e.what());
    } catch (...) {
        logFailure("KolvIsTrelCollectionEnabled:", "unknown exception");
    }
    return 0;
}

extern "C" void KolvEnableTrelCollection(int enabled) {
    try {
        KTrel::instance()->setCollectionEnabled(enabled != 0);
    } catch (const std::exception& e) {
        logFailure("KolvEnableTrelCollection:", e.what());
    } catch (...) {
        logFailure("KolvEnableTrelCollection:", "unknown exception");
    }
}
