#ifndef TREL_KTRELHTMLREPORT_H
#define TREL_KTRELHTMLREPORT_H

#include <trel/trel_export.h>

#include <QString>

class KTrelStoredRequest;

// A stored request as one self-contained HTML page (no scripts, no outside
// resources): the bar's view of the request, with the time breakdown drawn as a bar
// chart, and the installation's bar (its header and footer templates, their scripts
// left out) at the bottom, with the request's line in the bar. Every stored text is
// escaped.
//
// Elements a reader (or a test) can rely on: #breakdown .bar[data-part][data-us] with a
// width in percent of the breakdown's total; #queries li.query[data-us] slowest first;
// #errors li.entry[data-type]; #functions tr.function; #events li; #superglobals tr.sample.
class TREL_EXPORT KTrelHtmlReport {
public:
    // In a bar template, what stands for the page id of the request the page belongs to.
    static constexpr const char* PageIdPlaceholder = "{{trel-page-id}}";
    // In the footer template, the bar's place for the request's line: empty in a page
    // (the bar fills it), filled in the view.
    static constexpr const char* FactsSlot = "<span class=\"trel-bar-facts\"></span>";

    static QString write(const KTrelStoredRequest& request, const QString& headerTemplate,
                         const QString& footerTemplate);
    // The template with the page id put in for its placeholder.
    static QString forPage(const QString& barTemplate, const QString& pageId);
};

#endif
