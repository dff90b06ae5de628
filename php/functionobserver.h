#ifndef TREL_PHP_FUNCTIONOBSERVER_H
#define TREL_PHP_FUNCTIONOBSERVER_H

#include "php_trel.h"

extern "C" {
#include "Zend/zend_observer.h"
}

class KTrel;

// Function statistics of an admitted request (trel.function_stats): calls, exclusive and
// inclusive time in microseconds of every user function and method. Internal functions
// are not observed. A call costs two clock readings and one look-up by pointer; names
// are made once per function, when the request ends.
class FunctionObserver {
public:
    // The handlers for a user function when this request's calls are counted, else
    // {nullptr, nullptr}.
    static zend_observer_fcall_handlers handlersFor(zend_execute_data* call);
    // Whether this request's calls are counted; from request start-up, once admitted.
    static void startRequest(bool enabled);
    // Closes the calls still open, fills the collector's table and forgets the request.
    static void endRequest(KTrel* trel);
};

#endif
