#include "showcommand.h"

#include "argumentcheck.h"
#include "htmlreport.h"
#include "installationaccess.h"
#include "storedrequest.h"
#include "textreport.h"
#include "toolerror.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

QString readTemplate(const QString& root, const QString& name) {
    QFile file(QDir(root).filePath(QStringLiteral("share/scripts/") + name));
    if (!file.open(QIODevice::ReadOnly))
        throw ToolError(QStringLiteral("cannot read the bar's template %1: %2")
                            .arg(file.fileName(), file.errorString()));
    return QString::fromUtf8(file.readAll());
}

} // namespace

QString ShowCommand::summary() const {
    return QStringLiteral("Show one stored request, as text or as an HTML page.");
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
    if (last)
        id = StoredRequest::lastId(access);
    const StoredRequest request = StoredRequest::load(access, id);
    if (htmlPath.isEmpty()) {
        out(TextReport::write(request));
        return 0;
    }
    const QString html =
        HtmlReport::write(request, readTemplate(access.root(), QStringLiteral("trel_header.html")),
                          readTemplate(access.root(), QStringLiteral("trel_footer.html")));
    // Written whole or not at all.
    QSaveFile file(htmlPath);
    const QByteArray bytes = html.toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        throw ToolError(QStringLiteral("cannot write %1: %2").arg(htmlPath, file.errorString()));
    out(QStringLiteral("wrote request %1 to %2\n").arg(QString::number(request.id), htmlPath));
    return 0;
}
