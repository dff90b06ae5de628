#ifndef TREL_KTRELHTMLREPORT_H
#define TREL_KTRELHTMLREPORT_H

#include <trel/trel_export.h>

#include <trel/ktrelstoredrequest.h>

#include <QJsonObject>
#include <QString>

// The viewer: one self-contained HTML page (its style and plain script inline, nothing
// loaded from elsewhere) that renders the JSON it carries. The data is {"view":
// "request", "request": KTrelRequestJson::request()} for a stored request, or {"view":
// "requests", "list": KTrelRequestJson::list(), "filter": {...}} for a list, or {"view":
// "compare", "request": ..., "other": ... (absent: none to compare with), "list": ...}
// for two requests side by side; with
// "live": {"path": PATH} the page links to the site's other views (the extension
// serves it), without it stands alone (`trel show --html`). Stored texts are rendered
// as text.
//
// Elements a reader (or a test) can rely on, once rendered: main#trel-request
// [data-request-id]; #breakdown .bar[data-part][data-us] with a width in percent of the
// breakdown's total; #queries li.query[data-us][data-count] slowest first, identical
// statements once; #query-loops li.loop[data-count][data-us]; #errors li.entry
// [data-type]; #functions tr.function; #superglobals .sg[data-name] table.kv
// tr[data-key]; #timeline .lane[data-lane] .item[data-us]; li.query.slow; .caller;
// #errors .exception .trace; #headers tr[data-key]; #log li; main#trel-requests
// tr.request[data-id][data-page] (tr.call under its page); main#trel-compare
// [data-request-id][data-other-id].
class TREL_EXPORT KTrelHtmlReport {
public:
    // In a bar template, what stands for the page id of the request the page belongs to.
    static constexpr const char* PageIdPlaceholder = "{{trel-page-id}}";

    // The page's title is given apart: the page has it before its script runs.
    static QString write(const QJsonObject& data, const QString& title);
    // The viewer of one stored request; livePath as "live"'s path when the page is served
    // on the site.
    static QString requestPage(const KTrelStoredRequest& request,
                               const QString& livePath = QString());
    // The viewer of a list of stored requests, served on the site at livePath; filter
    // holds what the list was asked for (url, problems, status), for its form and pages.
    static QString listPage(const KTrelStoredRequest::List& list, const QJsonObject& filter,
                            const QString& livePath);
    // The template with the page id put in for its placeholder.
    static QString forPage(const QString& barTemplate, const QString& pageId);
};

#endif
