#include <trel/ktrelhtmlreport.h>

#include "data/viewerassets.h"

#include <trel/ktrelrequestjson.h>

#include <QJsonDocument>

QString KTrelHtmlReport::write(const QJsonObject& data, const QString& title) {
    // In a script element only "</script" (and "<!--") could end the data early; with
    // every "<" written as an escape the JSON reads the same and holds no markup.
    QString json = QString::fromUtf8(QJsonDocument(data).toJson(QJsonDocument::Compact));
    json.replace(QLatin1Char('<'), QLatin1String("\\u003c"));
    QString html;
    html += QStringLiteral(
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n");
    html += QStringLiteral("<title>%1</title>\n").arg(title.toHtmlEscaped());
    html += QStringLiteral("<style>\n") + QString::fromUtf8(TrelViewer::style) +
            QStringLiteral("</style>\n</head>\n<body>\n<div id=\"trel-viewer\"></div>\n");
    html += QStringLiteral("<script type=\"application/json\" id=\"trel-data\">") + json +
            QStringLiteral("</script>\n<script>\n") + QString::fromUtf8(TrelViewer::script) +
            QStringLiteral("</script>\n</body>\n</html>\n");
    return html;
}

QString KTrelHtmlReport::requestPage(const KTrelStoredRequest& request, const QString& livePath) {
    QJsonObject data{{QStringLiteral("view"), QStringLiteral("request")},
                     {QStringLiteral("request"), KTrelRequestJson::request(request)}};
    if (!livePath.isEmpty())
        data.insert(QStringLiteral("live"), QJsonObject{{QStringLiteral("path"), livePath}});
    return write(data, QStringLiteral("trel: request %1 \u00b7 %2 %3")
                           .arg(QString::number(request.id), request.method, request.url));
}

QString KTrelHtmlReport::listPage(const KTrelStoredRequest::List& list, const QJsonObject& filter,
                                  const QString& livePath) {
    return write(
        QJsonObject{{QStringLiteral("view"), QStringLiteral("requests")},
                    {QStringLiteral("list"), KTrelRequestJson::list(list)},
                    {QStringLiteral("filter"), filter},
                    {QStringLiteral("live"), QJsonObject{{QStringLiteral("path"), livePath}}}},
        QStringLiteral("trel: requests"));
}

QString KTrelHtmlReport::forPage(const QString& barTemplate, const QString& pageId) {
    QString text = barTemplate;
    return text.replace(QLatin1String(PageIdPlaceholder), pageId.toHtmlEscaped());
}
