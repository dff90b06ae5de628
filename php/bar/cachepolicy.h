#ifndef TREL_PHP_CACHEPOLICY_H
#define TREL_PHP_CACHEPOLICY_H

// An admitted response is the developer's own: it carries the bar and names its stored
// page, so no shared cache (a proxy's, a CDN's, nginx's fastcgi_cache) may keep it and
// serve it to other visitors, and no validator may let a browser or a cache answer 304
// with a copy made before the page was collected. Whatever the application said, the
// response goes with "Cache-Control: private, no-store" and without the application's
// Expires, ETag, Last-Modified and the caches' own expiry headers. The request's
// If-None-Match and If-Modified-Since are hidden from the application ($_SERVER), so
// that it answers with the whole page, which gets the bar.
class CachePolicy {
public:
    // From module start-up: the SAPI's header sending goes through this class.
    static void install();
    static void uninstall();
    // From every request's start: its response is left as the application makes it.
    static void startRequest();
    // From an admitted request's start, after its start sample (which keeps what the
    // browser sent).
    static void admitted();
};

#endif
