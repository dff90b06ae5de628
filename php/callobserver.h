#ifndef TREL_PHP_CALLOBSERVER_H
#define TREL_PHP_CALLOBSERVER_H

// The extension's one function-call observer. PHP 8.2 gives every function run-time
// cache slots per registered observer and asks each observer about each function once
// per request, admitted or not; one observer that hands user functions to the function
// statistics and internal ones to the SQL and I/O capture costs a refused request a
// third of what three would.
class CallObserver {
public:
    // From module start-up only (the engine's rule for observers).
    static void registerObserver();
};

#endif
