#ifndef TREL_PHP_COLLECTORHOST_H
#define TREL_PHP_COLLECTORHOST_H

#include <kolv/kdebug.h>

#include <exception>

class KTrel;

// The process's collector. It is created and initialised inside the worker on its first
// admitted-looking request, never at module start-up (php-fpm's master forks its workers
// after that), and released at module shutdown by the process that created it.
class CollectorHost {
public:
    // The log stream of the extension and the collector.
    static KDebug::StreamId stream() { return KDebug::StreamId(1); }

    // The initialised collector, or null when the installation named by trel.root cannot
    // be used; that is logged once per process and the request is left alone.
    static KTrel* acquire();
    // Whether this process made a collector (and may use or release it).
    static KTrel* current();
    static void release();

    // Runs a call into the library so that nothing it throws reaches the engine: a
    // failure is logged (once per process and place) and gives false.
    template <typename F> static bool guard(const char* where, F&& call) noexcept {
        try {
            call();
            return true;
        } catch (const std::exception& e) {
            failed(where, e.what());
        } catch (...) {
            failed(where, "unknown exception");
        }
        return false;
    }

    // A level-0 line "trel: <where>: <what>", written once per process for each place.
    static void failed(const char* where, const char* what) noexcept;
};

#endif
