#ifndef TREL_PHP_BARENDPOINT_H
#define TREL_PHP_BARENDPOINT_H

#include <QString>

// The bar's data, served by the extension on the page's own address: any PHP URL with
// the query parameter __trel=PAGE answers the stored request's view (the viewer that
// `trel show --html` writes), __trel_json=PAGE the request as JSON, __trel_summary=PAGE
// its summary as JSON, and __trel_requests=1 the list of the latest stored requests the
// token covers (filtered by trel_url, trel_problems, trel_status; paged by trel_before and
// trel_after). PAGE is the random page id the bar carries. Only a request presenting a token
// (cookie trel.token_cookie or header X-Trel-Token) that covers the stored request's URL gets it.
// A summary that cannot be given to a token valid for the address it is asked at is
// answered 202 (not stored yet: the bar's own page is written after it is sent); every
// other answer is the same 404 with nothing of any stored request. No script of the
// application runs for such a request, and it is not collected.
class BarEndpoint {
public:
    // From the first request of a watching process: takes over compiling the scripts,
    // around the opcode cache (which hooks in after the modules start and would serve
    // cached scripts without asking this hook).
    static void registerHook();
    static void unregisterHook();
    // From the request's start: whether the request asks for the bar's data (it is then
    // answered in place of its scripts and must not be admitted).
    static bool claim();
    static void endRequest();
    // From an admitted request's start: its response names its page (X-Trel-Page), so
    // the bar of the page that made it can find it.
    static void tagResponse(const QString& pageId);
};

#endif
