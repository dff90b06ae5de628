#ifndef TREL_PHP_ERROROBSERVER_H
#define TREL_PHP_ERROROBSERVER_H

// Hands every PHP error, warning, notice and deprecation of an admitted request to the
// collector, with its backtrace, when it happened, whether the @ operator silenced it and,
// for an uncaught exception, the exception itself (ExceptionObserver); and the messages
// error_log() writes.
class ErrorObserver {
public:
    // From module start-up only (the engine's rule for observers).
    static void registerObserver();
    // From module shut-down.
    static void unregisterObserver();
    // From request start-up: an earlier request's fatal error may have left an error's
    // handling without its end (the engine jumps out of it).
    static void startRequest();
};

#endif
