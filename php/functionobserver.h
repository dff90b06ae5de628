#ifndef TREL_PHP_FUNCTIONOBSERVER_H
#define TREL_PHP_FUNCTIONOBSERVER_H

class KTrel;

// Function statistics of an admitted request (trel.function_stats): calls, exclusive and
// inclusive time in microseconds of every user function and method. Internal functions
// are not observed. A call costs two clock readings and one look-up by pointer; names
// are made once per function, when the request ends.
class FunctionObserver {
public:
    // From module start-up only (the engine's rule for observers).
    static void registerObserver();
    // Whether this request's calls are counted; from request start-up, once admitted.
    static void startRequest(bool enabled);
    // Closes the calls still open, fills the collector's table and forgets the request.
    static void endRequest(KTrel* trel);
};

#endif
