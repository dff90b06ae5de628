#ifndef TREL_PHP_RESPONSEFINISHER_H
#define TREL_PHP_RESPONSEFINISHER_H

// The end of an admitted request's response, before the collector writes what it
// collected: under php-fpm the FastCGI request is finished (output flushed, headers
// sent, end record written, connection closed) so that the web server hands the
// browser the whole response while the worker is still writing. Other servers are left
// alone: their response ends when the request does.
class ResponseFinisher {
public:
    // Called from the request's shutdown, after the script and its output buffers have
    // ended. Does nothing when the application has finished the request itself or has
    // disabled fastcgi_finish_request(); throws nothing and leaves no PHP exception.
    static void finish();
};

#endif
