#ifndef TREL_PHP_COLLECTORHOST_H
#define TREL_PHP_COLLECTORHOST_H

#include <kolv/kdebug.h>

#include <QString>

#include <exception>

class KTrel;

// The process's collector. It is created and initialised inside the worker on its first
// admitted-looking request, never at module start-up (php-fpm's master forks its workers
// after that), and released at module shutdown by the process that created it.
//
// The installation is the request's trel.root, which a php-fpm pool or an Apache virtual
// host may set (php_admin_value). The library keeps one collector per process (its MySQL
// pool and id caches are the process's), so a worker whose requests name another root
// switches: the collector is released and the new installation read, at the first
// request with a token that names it. A php-fpm worker serves one pool and never
// switches; an Apache child serving several virtual hosts with trel switches only for
// requests with a token, visitors' requests never.
//
// The worker follows its installation: a request that presents a token looks at it
// (KolvInstallationWatch: three stat() calls) before it is admitted, and any request
// looks at most once a second. When the installation changed (settings, database, or
// what the tool marks changed, such as the user-agent patterns) the collector is
// released with its database connections, and the next request with a token reads the
// installation again into a new one.
class CollectorHost {
public:
    // The log stream of the extension and the collector.
    static KDebug::StreamId stream() { return KDebug::StreamId(1); }

    // The initialised collector, or null when the request's trel.root is empty or names an
    // installation that cannot be used; that is logged once for each time it is read and
    // the request is left alone. Only for a request that presents a token, before anything
    // of it is collected: a changed installation, or another root, gives another
    // collector here.
    static KTrel* acquire();
    // Whether this process made a collector (and may use or release it).
    static KTrel* current();
    static void release();
    // At every request's start: costs a look at a coarse clock, and once a second, in a
    // process that read the installation, a look at the installation.
    static void follow() noexcept;
    // What this process reads, for phpinfo(): the installation's database, or why none,
    // and whether it is another root than the current request's.
    static QString installationText();

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
