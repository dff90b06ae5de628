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
    // Whether this request's calls are counted, and how many functions are stored at
    // most (0: all); from request start-up, once admitted.
    static void startRequest(bool enabled, zend_long limit);
    // Closes the calls still open, fills the collector's table and forgets the request.
    // Beyond the limit, the functions with the most exclusive time are stored and one
    // more row, named "(N other functions)" without scope or file, carries the calls and
    // the exclusive time of the N others (its inclusive time is that same time: the
    // others' inclusive times overlap), so that the request's totals stay whole.
    static void endRequest(KTrel* trel);
};

#endif
