#ifndef TREL_PHP_RESPONSEFINISHER_H
#define TREL_PHP_RESPONSEFINISHER_H

// The end of an admitted request's response, before the collector writes what it
// collected, so that the browser has the response while the worker is still writing.
// It runs after every module has ended its request (the session module has saved and
// unlocked the session by then) and uses only the server's own ending:
// - php-fpm and php-cgi under FastCGI: the FastCGI request is finished (output flushed,
//   end record written, connection closed), as the server does a moment later anyway;
// - Apache's handler: what PHP wrote is flushed to the client; a page with its length
//   (the bar's page has one) is then complete for the browser, one without ends with
//   the request;
// - PHP's own web server writes at once; its page without a length ends with the
//   request.
class ResponseFinisher {
public:
    // Called after the modules' request shutdown, never from PHP code. Throws nothing;
    // a client gone away ends nothing but the finishing.
    static void finish();
};

#endif
