#ifndef TREL_PHP_HANDLERWRAPPER_H
#define TREL_PHP_HANDLERWRAPPER_H

#include "php_trel.h"

// Puts a wrapper in place of the handler of chosen internal functions and methods, so that
// the SQL and I/O capture see their calls without a function-call observer (which would
// cost every call of every function, admitted or not). In a request that is not collected
// a wrapper tests one flag and calls the original handler; in a collected one it hands the
// call to the capture's Around, which calls the original itself.
//
// The handlers are replaced once per process, after every module has started and before
// any script is compiled: the engine copies an internal method into each class that
// inherits it, and OPcache's JIT may call a handler by its address, so both must only ever
// see the wrapper. A method is chosen by the class that declares it and its name, which
// also covers its copies in internal subclasses made at module start-up.
class HandlerWrapper {
public:
    // Runs a watched call: must call original(frame, result) exactly once.
    using Around = void (*)(int tag, zif_handler original, zend_execute_data* frame, zval* result);

    // From module start-up, before install(). Names are matched case-insensitively.
    static void watchFunction(const char* name, Around around, int tag);
    static void watchMethod(const char* cls, const char* method, Around around, int tag);
    // From module start-up: wraps the watched handlers once every module has started
    // (chained to the engine's post-startup callback, as OPcache's is).
    static void installAfterStartup();
    // From module shutdown: puts the original handlers back.
    static void restore();
    // How many handlers are wrapped (copies in subclasses included).
    static int wrappedCount();
};

#endif
