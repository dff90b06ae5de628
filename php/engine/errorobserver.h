#ifndef TREL_PHP_ERROROBSERVER_H
#define TREL_PHP_ERROROBSERVER_H

// Hands every PHP error, warning, notice and deprecation of an admitted request to the
// collector, with its backtrace and whether the @ operator silenced it.
class ErrorObserver {
public:
    // From module start-up only (the engine's rule for observers).
    static void registerObserver();
    // From request start-up: an earlier request's fatal error may have left an error's
    // handling without its end (the engine jumps out of it).
    static void startRequest();
};

#endif
