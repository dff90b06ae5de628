#ifndef TREL_TOOL_HTMLREPORT_H
#define TREL_TOOL_HTMLREPORT_H

#include <QString>

class StoredRequest;

// A stored request as one self-contained HTML page (no scripts, no outside
// resources): the bar's view of the request, with the time breakdown drawn as a bar
// chart, and the installation's bar (its header and footer templates) at the bottom
// as a host puts it into a page. Every stored text is escaped.
//
// Elements a reader (or a test) can rely on: #breakdown .bar[data-part][data-us] with a
// width in percent of the breakdown's total; #queries li.query[data-us] slowest first;
// #errors li.entry[data-type]; #functions tr.function; #events li; #superglobals tr.sample.
class HtmlReport {
public:
    static QString write(const StoredRequest& request, const QString& headerTemplate,
                         const QString& footerTemplate);
};

#endif
