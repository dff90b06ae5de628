#include "errorobserver.h"

#include "collector/collectorhost.h"
#include "engine/exceptionobserver.h"
#include "engine/handlerwrapper.h"
#include "engine/requestclock.h"
#include "php_trel.h"

#include <trel/ktrel.h>

extern "C" {
#include "zend_observer.h"
}

#include <cstdarg>
#include <cstdlib>

namespace {

bool inObserver = false;

// The configured reporting level, which the @ operator leaves alone: it lowers only the
// engine's current level (to the fatal kinds, in PHP 8).
int configuredErrorReporting() {
    const zend_ini_entry* entry = EG(error_reporting_ini_entry);
    if (!entry || !entry->value)
        return EG(error_reporting);
    return static_cast<int>(ZEND_STRTOL(ZSTR_VAL(entry->value), nullptr, 10));
}

// An error the configuration reports but the current level does not was silenced.
bool isSilenced(int type) {
    return (configuredErrorReporting() & type) && !(EG(error_reporting) & type);
}

// The collector formats the message and takes the request's silenced flag with it.
void addError(KTrel* trel, int type, const char* file, unsigned int line, int backtraceId,
              const char* format, ...) {
    va_list args;
    va_start(args, format);
    trel->addPhpErrorWithArgs(type, file, line, format, backtraceId, args);
    va_end(args);
}

void onError(int type, zend_string* file, uint32_t line, zend_string* message) {
    if (!TREL_G(collecting) || inObserver)
        return;
    KTrel* trel = CollectorHost::current();
    if (!trel)
        return;
    inObserver = true;
    const int kind = type & E_ALL;
    const bool silenced = isSilenced(kind);
    CollectorHost::guard("error", [&] {
        int backtraceId = -1;
        // Start-up errors have no script to trace.
        if (!(kind & (E_CORE_ERROR | E_CORE_WARNING)) && trel->getBacktraceGenerator() &&
            trel->isErrorBacktraceWanted())
            backtraceId = trel->addBacktrace(trel->getBacktraceGenerator()->generateBacktrace());
        KTrel::Request& request = trel->getRequest();
        request.setErrorsSilenced(silenced);
        const char* text = message ? ZSTR_VAL(message) : "";
        addError(trel, kind, file ? ZSTR_VAL(file) : "", line, backtraceId, "%s", text);
        request.setErrorsSilenced(false);
        trel->setLastErrorDetails(RequestClock::offsetNow(),
                                  kind == E_ERROR ? ExceptionObserver::uncaught(text)
                                                  : QSharedPointer<KTrel::UncaughtException>());
    });
    inObserver = false;
}

// error_log()'s message is kept with the moment it was written; the log gets it as before.
void aroundErrorLog(int, zif_handler original, zend_execute_data* frame, zval* result) {
    const qint64 start = RequestClock::offsetNow();
    original(frame, result);
    if (ZEND_CALL_NUM_ARGS(frame) < 1 || Z_TYPE_P(result) != IS_TRUE)
        return;
    zval* message = ZEND_CALL_ARG(frame, 1);
    ZVAL_DEREF(message);
    KTrel* trel = CollectorHost::current();
    if (!trel || Z_TYPE_P(message) != IS_STRING)
        return;
    CollectorHost::guard("error_log", [&] {
        trel->addLogMessage(
            QString::fromUtf8(Z_STRVAL_P(message), static_cast<int>(Z_STRLEN_P(message))), start);
    });
}

} // namespace

void ErrorObserver::registerObserver() {
    zend_observer_error_register(onError);
    HandlerWrapper::watchFunction("error_log", aroundErrorLog, 0);
    ExceptionObserver::install();
}

void ErrorObserver::unregisterObserver() {
    ExceptionObserver::uninstall();
}

void ErrorObserver::startRequest() {
    inObserver = false;
    ExceptionObserver::startRequest();
}
