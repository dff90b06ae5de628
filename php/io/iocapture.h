#ifndef TREL_PHP_IOCAPTURE_H
#define TREL_PHP_IOCAPTURE_H

#include "php_trel.h"

#include <QtGlobal>

// Splits the time a collected request spends waiting on I/O into network time (HTTP and
// FTP URLs, curl, sockets, DNS) and local time (file I/O on local paths and file
// streams), from the internal functions that do it; only those functions are watched
// (their handlers wrapped), and only in a collected request. A watched call made inside another (a
// user stream wrapper's own reads) counts once, in the outer call's bucket; calls on streams and
// wrappers of unknown kind (memory, user-space) count nothing themselves.
class IoCapture {
public:
    // From module start-up: names the functions to HandlerWrapper.
    static void watch();
    // From RINIT of a collected request.
    static void startRequest();
    // From RSHUTDOWN of a collected request, before the breakdown is reported.
    static void endRequest();
    // Microseconds of this request.
    static qint64 networkTime();
    static qint64 localTime();
};

#endif
