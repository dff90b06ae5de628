#ifndef TREL_PHP_PAGESCAN_H
#define TREL_PHP_PAGESCAN_H

#include <cstddef>

// Where the bar can go in a page, read as a browser's HTML parser reads it: only tags
// count, so "</head>" or "</body>" inside a comment, a script, a style, a CDATA section,
// the raw text of <textarea>, <title> and their kind, or a <template> is passed over.
class PageScan {
public:
    static constexpr size_t None = static_cast<size_t>(-1);

    struct Places {
        size_t head = None; // the first </head> tag, when before `body`
        size_t body = None; // the last </body> tag
    };

    static Places places(const char* data, size_t size);

    // Whether the text may be an HTML page. Only a text that plainly is something else is
    // not: one whose first byte after blanks (and a byte order mark) opens a JSON object or
    // array. PHP sends every answer as text/html unless the script says otherwise, so a
    // JSON answer often comes declared as HTML; an HTML page may begin with text, such as
    // a warning PHP printed before it, and keeps its bar.
    static bool mayBeHtml(const char* data, size_t size);
};

#endif
