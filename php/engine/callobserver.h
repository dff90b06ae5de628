#ifndef TREL_PHP_CALLOBSERVER_H
#define TREL_PHP_CALLOBSERVER_H

// The extension's function-call observer, for the function statistics only: once one is
// registered, PHP runs its observer machinery on every call of every request, admitted or
// not, so it is registered only where function statistics are on at module start-up. The
// SQL and I/O capture wrap the handlers they watch instead (HandlerWrapper).
class CallObserver {
public:
    // From module start-up only (the engine's rule for observers).
    static void registerObserver();
};

#endif
