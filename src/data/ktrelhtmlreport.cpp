#include <trel/ktrelhtmlreport.h>

#include <trel/ktrelformat.h>
#include <trel/ktrelstoredrequest.h>

#include <QRegularExpression>
#include <QUrl>

namespace {

QString esc(const QString& text) {
    return text.toHtmlEscaped();
}

const char* const Style = R"(
:root { color-scheme: light; }
body { margin: 0; font: 14px/1.45 system-ui, -apple-system, "Segoe UI", sans-serif; color: #1f2933; background: #f5f7fa; }
main { max-width: 1100px; margin: 0 auto; padding: 24px 24px 80px; }
h1 { font-size: 20px; margin: 0 0 4px; word-break: break-all; }
h2 { font-size: 16px; margin: 28px 0 8px; border-bottom: 1px solid #d9e2ec; padding-bottom: 4px; }
h2 small { font-weight: normal; color: #627d98; }
dl.facts { display: grid; grid-template-columns: max-content 1fr; gap: 2px 16px; margin: 0; }
dl.facts dt { color: #627d98; }
dl.facts dd { margin: 0; }
.chart { display: grid; gap: 6px; }
.chart .row { display: grid; grid-template-columns: 90px 1fr 150px; align-items: center; gap: 10px; }
.chart .track { position: relative; height: 18px; background: #e4e7eb; border-radius: 3px; overflow: hidden; }
.chart .bar { height: 100%; min-width: 0; }
.chart .value { font-variant-numeric: tabular-nums; color: #334e68; }
.bar[data-part=database] { background: #2680c2; }
.bar[data-part=network] { background: #f0b429; }
.bar[data-part=local] { background: #8eedc7; }
.bar[data-part=php] { background: #9446ed; }
ol.queries, ul.entries { list-style: none; padding: 0; margin: 0; }
li.query, li.entry { background: #fff; border: 1px solid #d9e2ec; border-radius: 4px; padding: 8px 10px; margin: 0 0 8px; }
li.query.failed, li.entry.severe { border-left: 4px solid #d64545; }
.head { display: flex; flex-wrap: wrap; gap: 12px; font-size: 13px; color: #486581; }
.head .time { font-weight: 600; color: #102a43; font-variant-numeric: tabular-nums; }
.outcome.ok { color: #199473; }
.outcome.failed { color: #d64545; font-weight: 600; }
pre { margin: 6px 0 0; padding: 6px 8px; background: #f0f4f8; border-radius: 3px; white-space: pre-wrap; word-break: break-word; font: 12px/1.4 ui-monospace, "DejaVu Sans Mono", monospace; }
.where { font-size: 12px; color: #627d98; margin-top: 4px; word-break: break-all; }
details summary { cursor: pointer; font-size: 12px; color: #486581; margin-top: 4px; }
table { border-collapse: collapse; width: 100%; background: #fff; }
th, td { text-align: left; padding: 4px 8px; border-bottom: 1px solid #e4e7eb; vertical-align: top; }
td.num, th.num { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
td pre { margin: 0; }
.muted { color: #829ab1; }
)";

QString partRow(const char* part, const char* label, qint64 value, qint64 total) {
    const double share = total > 0 ? static_cast<double>(value) / static_cast<double>(total) : 0.0;
    return QStringLiteral("<div class=\"row\"><span class=\"label\">%1</span><div class=\"track\">"
                          "<div class=\"bar\" data-part=\"%2\" data-us=\"%3\" style=\"width:%4%\">"
                          "</div></div><span class=\"value\">%5 &middot; %6%</span></div>\n")
        .arg(QString::fromLatin1(label), QString::fromLatin1(part))
        .arg(value)
        .arg(share * 100.0, 0, 'f', 4)
        .arg(esc(KTrelFormat::duration(value)))
        .arg(share * 100.0, 0, 'f', 1);
}

bool severe(const QString& type) {
    return type == QLatin1String("E_ERROR") || type == QLatin1String("E_PARSE") ||
           type == QLatin1String("E_CORE_ERROR") || type == QLatin1String("E_COMPILE_ERROR") ||
           type == QLatin1String("E_USER_ERROR") || type == QLatin1String("E_RECOVERABLE_ERROR");
}

} // namespace

QString KTrelHtmlReport::write(const KTrelStoredRequest& r, const QString& headerTemplate,
                               const QString& footerTemplate) {
    QString html;
    html += QStringLiteral(
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n");
    html += QStringLiteral("<title>trel: request %1 &middot; %2 %3</title>\n")
                .arg(r.id)
                .arg(esc(r.method), esc(r.url));
    html += QStringLiteral("<style>") + QString::fromLatin1(Style) +
            QStringLiteral("</style>\n</head>\n<body>\n");
    html += QStringLiteral("<main id=\"trel-request\" data-request-id=\"%1\">\n").arg(r.id);
    html += QStringLiteral("<h1>%1 <span class=\"url\">%2</span></h1>\n")
                .arg(esc(r.method), esc(r.url));

    html +=
        QStringLiteral("<section id=\"facts\"><h2>Request %1</h2><dl class=\"facts\">\n").arg(r.id);
    auto fact = [&html](const QString& name, const QString& value) {
        html += QStringLiteral("<dt>%1</dt><dd>%2</dd>\n").arg(esc(name), esc(value));
    };
    fact(QStringLiteral("Status"), QString::number(r.status));
    fact(QStringLiteral("Started"), KTrelFormat::localTime(r.startTime));
    fact(QStringLiteral("Duration"), KTrelFormat::duration(r.requestTime));
    fact(QStringLiteral("Page id"),
         r.pageId + (r.primaryPage ? QStringLiteral(" (primary page)") : QString()));
    fact(QStringLiteral("Peak memory"), KTrelFormat::memoryOfLimit(r.peakMemory, r.memoryLimit));
    fact(QStringLiteral("Stored data"), QStringLiteral("%1 KiB").arg(r.dataSize));
    html += QStringLiteral("</dl></section>\n");

    const qint64 total = r.breakdownTotal();
    html += QStringLiteral("<section id=\"breakdown\"><h2>Time breakdown <small>%1</small></h2>\n")
                .arg(r.hasBreakdown ? esc(KTrelFormat::duration(total))
                                    : QStringLiteral("none stored"));
    html +=
        QStringLiteral("<div class=\"chart\" role=\"img\" aria-label=\"Time spent in the database, "
                       "on the network, locally and in PHP\">\n");
    html += partRow("database", "Database", r.databaseTime, total);
    html += partRow("network", "Network", r.networkTime, total);
    html += partRow("local", "Local", r.localTime, total);
    html += partRow("php", "PHP", r.phpTime, total);
    html += QStringLiteral("</div></section>\n");

    html += QStringLiteral("<section id=\"queries\"><h2>SQL queries <small>%1, slowest "
                           "first%2</small></h2>\n<ol class=\"queries\">\n")
                .arg(r.queries.size())
                .arg(r.failedQueries() ? QStringLiteral(", %1 failed").arg(r.failedQueries())
                                       : QString());
    for (const KTrelStoredRequest::Query& query : r.queries) {
        const QString transaction = r.transactionName(query);
        html += QStringLiteral("<li class=\"query%1\" data-us=\"%2\" data-status=\"%3\">\n")
                    .arg(query.failed() ? QStringLiteral(" failed") : QString())
                    .arg(query.time)
                    .arg(query.status);
        html += QStringLiteral("<div class=\"head\"><span class=\"time\">%1</span>")
                    .arg(esc(KTrelFormat::duration(query.time)));
        if (query.failed())
            html += QStringLiteral("<span class=\"outcome failed\">failed %1: %2</span>")
                        .arg(query.status)
                        .arg(esc(query.error));
        else
            html += QStringLiteral("<span class=\"outcome ok\">ok</span>");
        html += QStringLiteral("<span class=\"rows\">%1 row%2</span>")
                    .arg(query.rows)
                    .arg(query.rows == 1 ? QString() : QStringLiteral("s"));
        html += QStringLiteral("<span class=\"transaction\">%1</span></div>\n")
                    .arg(transaction.isEmpty() ? QStringLiteral("no transaction")
                                               : QStringLiteral("transaction ") + esc(transaction));
        html += QStringLiteral("<pre class=\"sql\">%1</pre>\n").arg(esc(query.statement));
        if (!query.prepared.isEmpty() && query.prepared != query.statement)
            html += QStringLiteral("<div class=\"where\">prepared: %1</div>\n")
                        .arg(esc(query.prepared));
        if (!query.file.isEmpty())
            html += QStringLiteral("<div class=\"where\">at %1:%2</div>\n")
                        .arg(esc(query.file), QString::number(query.line));
        if (!query.backtrace.isEmpty())
            html += QStringLiteral("<details><summary>backtrace</summary><pre "
                                   "class=\"backtrace\">%1</pre></details>\n")
                        .arg(esc(query.backtrace));
        html += QStringLiteral("</li>\n");
    }
    html += QStringLiteral("</ol></section>\n");

    html += QStringLiteral("<section id=\"errors\"><h2>Errors and warnings "
                           "<small>%1</small></h2>\n<ul class=\"entries\">\n")
                .arg(r.entries.size());
    for (const KTrelStoredRequest::LogEntry& entry : r.entries) {
        html +=
            QStringLiteral("<li class=\"entry%1\" data-type=\"%2\">\n")
                .arg(severe(entry.type) ? QStringLiteral(" severe") : QString(), esc(entry.type));
        html +=
            QStringLiteral("<div class=\"head\"><span class=\"type\">%1</span>%2</div>\n")
                .arg(esc(entry.type),
                     entry.silenced ? QStringLiteral("<span class=\"muted\">silenced with @</span>")
                                    : QString());
        html += QStringLiteral("<pre class=\"message\">%1</pre>\n").arg(esc(entry.message));
        html += QStringLiteral("<div class=\"where\">at %1:%2, %3</div>\n")
                    .arg(esc(entry.file), QString::number(entry.line),
                         esc(KTrelFormat::localTime(entry.time * 1000).left(19)));
        if (!entry.backtrace.isEmpty())
            html += QStringLiteral("<details><summary>backtrace</summary><pre "
                                   "class=\"backtrace\">%1</pre></details>\n")
                        .arg(esc(entry.backtrace));
        html += QStringLiteral("</li>\n");
    }
    html += QStringLiteral("</ul></section>\n");

    const int shown = qMin(KTrelStoredRequest::TopFunctions, static_cast<int>(r.functions.size()));
    html += QStringLiteral(
                "<section id=\"functions\"><h2>Functions that took most time <small>%1 of %2, "
                "by own time</small></h2>\n<table><thead><tr><th class=\"num\">Calls</th>"
                "<th class=\"num\">Own time</th><th class=\"num\">Total</th><th>Function</th>"
                "</tr></thead><tbody>\n")
                .arg(shown)
                .arg(r.functions.size());
    for (int i = 0; i < shown; ++i) {
        const KTrelStoredRequest::Function& function = r.functions.at(i);
        html += QStringLiteral("<tr class=\"function\" data-us=\"%1\"><td class=\"num\">%2</td><td "
                               "class=\"num\">%3</td>"
                               "<td class=\"num\">%4</td><td>%5%6</td></tr>\n")
                    .arg(function.exclusive)
                    .arg(function.calls)
                    .arg(esc(KTrelFormat::duration(function.exclusive)),
                         esc(KTrelFormat::duration(function.inclusive)), esc(function.fullName()),
                         function.file.isEmpty()
                             ? QString()
                             : QStringLiteral(" <span class=\"muted\">%1:%2</span>")
                                   .arg(esc(function.file), QString::number(function.line)));
    }
    html += QStringLiteral("</tbody></table></section>\n");

    html += QStringLiteral("<section id=\"events\"><h2>Events <small>%1</small></h2>\n<ul>\n")
                .arg(r.events.size());
    for (const QString& event : r.events)
        html += QStringLiteral("<li>%1</li>\n").arg(esc(event));
    html += QStringLiteral("</ul></section>\n");

    html += QStringLiteral(
                "<section id=\"superglobals\"><h2>Superglobal samples <small>%1</small></h2>\n"
                "<table><thead><tr><th>Name</th><th>Taken</th><th>Data</th></tr></thead><tbody>\n")
                .arg(r.samples.size());
    for (const KTrelStoredRequest::Sample& sample : r.samples) {
        const QString taken =
            sample.type == QLatin1String("SAMPLE_START") ? QStringLiteral("at the start")
            : sample.type == QLatin1String("SAMPLE_END") ? QStringLiteral("at the end")
                                                         : QStringLiteral("other");
        html += QStringLiteral(
                    "<tr class=\"sample\"><td>%1</td><td>%2</td><td><pre>%3</pre></td></tr>\n")
                    .arg(esc(sample.name), taken, esc(QString::fromUtf8(sample.data)));
    }
    html += QStringLiteral("</tbody></table></section>\n</main>\n");

    // The bar as the host puts it into the page, without its scripts (the view is a
    // static page), with the request's line in the bar's slot for it, or between header
    // and footer when the footer has none.
    const QString facts =
        QStringLiteral("<span class=\"trel-bar-facts\">%1 %2 &middot; %3 &middot; %4 &middot; "
                       "%5 quer%6 &middot; %7 error%8</span>")
            .arg(esc(r.method), esc(QUrl(r.url).path()), QString::number(r.status),
                 esc(KTrelFormat::duration(r.requestTime)), QString::number(r.queries.size()),
                 r.queries.size() == 1 ? QStringLiteral("y") : QStringLiteral("ies"),
                 QString::number(r.entries.size()),
                 r.entries.size() == 1 ? QString() : QStringLiteral("s"));
    static const QRegularExpression script(QStringLiteral("<script\\b.*?</script\\s*>"),
                                           QRegularExpression::CaseInsensitiveOption |
                                               QRegularExpression::DotMatchesEverythingOption);
    html += forPage(headerTemplate, r.pageId).remove(script);
    QString footer = forPage(footerTemplate, r.pageId).remove(script);
    if (footer.contains(QLatin1String(FactsSlot)))
        footer.replace(QLatin1String(FactsSlot), facts);
    else
        html += facts + QLatin1Char('\n');
    html += footer;
    html += QStringLiteral("</body>\n</html>\n");
    return html;
}

QString KTrelHtmlReport::forPage(const QString& barTemplate, const QString& pageId) {
    QString text = barTemplate;
    return text.replace(QLatin1String(PageIdPlaceholder), pageId.toHtmlEscaped());
}
