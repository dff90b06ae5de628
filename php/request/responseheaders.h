#ifndef TREL_PHP_RESPONSEHEADERS_H
#define TREL_PHP_RESPONSEHEADERS_H

class KTrel;

// The response headers of a collected request as PHP holds them at the request's end (the
// ones sent, the default Content-Type included), handed to the collector in their order.
// A Location's query values are masked as the request's URL's are (QueryMask), so that a
// redirect's target compares equal to the URL stored for the request it led to.
class ResponseHeaders {
public:
    // From the request's end, before the SAPI lets the headers go.
    static void capture(KTrel* trel);
};

#endif
