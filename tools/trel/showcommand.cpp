#include "showcommand.h"

#include "argumentcheck.h"
#include "installationaccess.h"
#include "textreport.h"
#include "toolerror.h"

#include <trel/ktrelhtmlreport.h>
#include <trel/ktrelrequestjson.h>
#include <trel/ktrelstoredrequest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>

QString ShowCommand::summary() const {
    return QStringLiteral("Show one stored request, as text, as JSON or as an HTML page.");
}

void ShowCommand::setUp(QCommandLineParser& parser) {
    parser.setApplicationDescription(QStringLiteral(
        "Shows what was stored of one request: its facts, the time breakdown, the SQL queries "
        "slowest first (statement, outcome, rows, transaction, backtrace), the errors and "
        "warnings with their backtraces, the functions that took most time, the events and the "
        "superglobal samples. ID is a request id or 'last'."));
    parser.addPositionalArgument(QStringLiteral("ROOT"),
                                 QStringLiteral("The installation's folder."));
    parser.addPositionalArgument(QStringLiteral("ID"),
                                 QStringLiteral("The request's id, or 'last'."));
    parser.addOption(
        {QStringLiteral("html"),
         QStringLiteral("Write the request as a self-contained HTML page to FILE instead."),
         QStringLiteral("FILE")});
    parser.addOption(
        {QStringLiteral("json"),
         QStringLiteral("Print the request as JSON instead (what the HTML page and the "
                        "bar's details render).")});
}

int ShowCommand::run(QCommandLineParser& parser) {
    const QStringList arguments =
        positionals(parser, {QStringLiteral("ROOT"), QStringLiteral("ID")});
    const QString idText = arguments.at(1);
    qint64 id = 0;
    const bool last = idText == QLatin1String("last");
    if (!last && !ArgumentCheck::wholeNumber(idText, 1, Q_INT64_C(0x7fffffffffffffff), &id))
        throw usageError(
            QStringLiteral("ID wants a request id (a whole number from 1) or 'last', not '%1'")
                .arg(idText));
    QString htmlPath;
    if (parser.isSet(QStringLiteral("html"))) {
        htmlPath = parser.value(QStringLiteral("html"));
        const QFileInfo target(htmlPath);
        if (htmlPath.isEmpty() || target.isDir())
            throw usageError(QStringLiteral("--html wants a file name, not '%1'").arg(htmlPath));
        if (!target.dir().exists())
            throw usageError(QStringLiteral("the folder of '%1' does not exist").arg(htmlPath));
    }

    InstallationAccess access(arguments.at(0));
    QString error;
    if (last) {
        const KTrelStoredRequest::Outcome outcome =
            KTrelStoredRequest::lastId(access.db(), &id, &error);
        if (outcome == KTrelStoredRequest::Outcome::Failed)
            throw ToolError(QStringLiteral("reading the requests failed in the database of %1: %2")
                                .arg(access.shownRoot(), error));
        if (outcome == KTrelStoredRequest::Outcome::Missing)
            throw ToolError(QStringLiteral("no request is stored in %1 yet; `trel simulate %1 "
                                           "--requests 100` makes some")
                                .arg(access.shownRoot()));
    }
    KTrelStoredRequest request;
    const KTrelStoredRequest::Outcome outcome =
        KTrelStoredRequest::load(access.db(), id, &request, &error);
    if (outcome == KTrelStoredRequest::Outcome::Failed)
        throw ToolError(QStringLiteral("reading request %1 failed in the database of %2: %3")
                            .arg(QString::number(id), access.shownRoot(), error));
    if (outcome == KTrelStoredRequest::Outcome::Missing)
        throw ToolError(QStringLiteral("no request with id %1 in %2; `trel requests %2` lists "
                                       "the stored ones")
                            .arg(QString::number(id), access.shownRoot()));
    if (parser.isSet(QStringLiteral("json"))) {
        out(QString::fromUtf8(
            QJsonDocument(KTrelRequestJson::request(request)).toJson(QJsonDocument::Indented)));
        return 0;
    }
    if (htmlPath.isEmpty()) {
        out(TextReport::write(request));
        return 0;
    }
    const QString html = KTrelHtmlReport::requestPage(request);
    // Written whole or not at all.
    QSaveFile file(htmlPath);
    const QByteArray bytes = html.toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        throw ToolError(QStringLiteral("cannot write %1: %2").arg(htmlPath, file.errorString()));
    out(QStringLiteral("wrote request %1 to %2\n").arg(QString::number(request.id), htmlPath));
    return 0;
}
