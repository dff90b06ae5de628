#ifndef TREL_PHP_EXCEPTIONOBSERVER_H
#define TREL_PHP_EXCEPTIONOBSERVER_H

#include <trel/ktrel.h>

#include <QSharedPointer>

// Notes the exception a collected request threw last (PHP's throw hook, chained to the one
// it replaces), so that the fatal error "Uncaught ..." is stored with the exception itself:
// its class, message, place and its own trace, where the error's backtrace is the
// shutdown's. No reference is held: the exception is found again only while it lives.
class ExceptionObserver {
public:
    // From module start-up and shut-down.
    static void install();
    static void uninstall();
    static void startRequest();
    // The exception behind an "Uncaught ..." fatal error with this message, or null.
    static QSharedPointer<KTrel::UncaughtException> uncaught(const char* message);
};

#endif
