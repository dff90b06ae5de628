#ifndef TREL_PHP_BARINJECTION_H
#define TREL_PHP_BARINJECTION_H

class KTrel;

// The bar in the page. For an admitted request whose bar is enabled, an output handler
// holds the page and, at its end, puts the installation's header template before the
// first </head> tag and the footer template before the last </body> tag, as a browser
// finds them: never inside the page's scripts, styles or comments (PageScan). The
// header goes with the footer when the page has no </head> before it. The page goes out
// exactly as the script made it when it is not HTML (by its type, or by its text for a
// JSON answer sent as HTML), is compressed or encoded, is a download, a redirect, an
// answer to HEAD, sets its own Content-Length or has no </body>. An
// HTML page that the script flushes before its end is held back until its end (the
// bar needs all of it): only a page seen with a token is delayed so. A response the
// handler gives out whole at the request's end (a held page, a redirect, a short answer)
// goes with its Content-Length, counting what PHP's default buffer below it held, so the
// client has it complete while the process still writes what it collected.
class BarInjection {
public:
    // From the request's start, after admission. Failures are logged; the page is then
    // left alone.
    static void start(KTrel* trel);
    // From the request's shutdown, before the other modules end theirs.
    static void endRequest();
    // Whether the handler still holds the page back. The script's flush() must then send
    // nothing: under Apache it would send the headers, and the page, no longer able to
    // go with its length, would end only when the request does, after the write.
    static bool holdsPage();
};

#endif
