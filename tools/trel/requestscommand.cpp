#include "requestscommand.h"

#include "argumentcheck.h"
#include "format.h"
#include "installationaccess.h"

#include <trel/ktrelformat.h>

#include <QList>
#include <QUrl>
#include <QVariant>

QString RequestsCommand::summary() const {
    return QStringLiteral("List the newest stored requests.");
}

void RequestsCommand::setUp(QCommandLineParser& parser) {
    parser.setApplicationDescription(QStringLiteral(
        "Lists the newest stored requests, oldest first: id, start, method, status, duration, "
        "SQL queries (with failed ones), errors and warnings, URL. `trel show ROOT ID` shows "
        "one."));
    parser.addPositionalArgument(QStringLiteral("ROOT"),
                                 QStringLiteral("The installation's folder."));
    parser.addOption({QStringLiteral("last"), QStringLiteral("How many requests (default 20)."),
                      QStringLiteral("N"), QStringLiteral("20")});
}

int RequestsCommand::run(QCommandLineParser& parser) {
    const QString root = positionals(parser, {QStringLiteral("ROOT")}).at(0);
    qint64 last = 0;
    if (!ArgumentCheck::wholeNumber(parser.value(QStringLiteral("last")), 1, 1000000, &last))
        throw usageError(QStringLiteral("--last wants a whole number from 1 to 1000000, not '%1'")
                             .arg(parser.value(QStringLiteral("last"))));
    InstallationAccess access(root);
    QSqlQuery query = access.run(
        QStringLiteral("reading the requests"),
        QStringLiteral("SELECT r.id, r.start_time, r.method, r.status_code, r.request_time, u.url, "
                       "(SELECT COUNT(*) FROM trel_sql_queries q WHERE q.request_id = r.id), "
                       "(SELECT COUNT(*) FROM trel_sql_queries q WHERE q.request_id = r.id AND "
                       "(q.status <> 0 OR q.error_message <> '')), "
                       "(SELECT COUNT(*) FROM trel_log_entries e WHERE e.request_id = r.id) "
                       "FROM trel_requests r LEFT JOIN trel_requests_urls u ON u.id = r.url_id "
                       "ORDER BY r.id DESC LIMIT %1")
            .arg(last));
    QStringList lines;
    while (query.next()) {
        const qint64 failed = query.value(7).toLongLong();
        const QString queries = QString::number(query.value(6).toLongLong()) +
                                (failed ? QStringLiteral(" (%1 failed)").arg(failed) : QString());
        lines.prepend(
            QStringLiteral("%1  %2  %3 %4 %5  %6 %7  %8")
                .arg(Format::right(QString::number(query.value(0).toLongLong()), 7),
                     KTrelFormat::localTime(query.value(1).toLongLong()).left(19),
                     Format::left(QString::fromUtf8(query.value(2).toByteArray()), 6),
                     Format::right(QString::number(query.value(3).toInt()), 6),
                     Format::right(KTrelFormat::duration(query.value(4).toLongLong()), 10),
                     Format::left(queries, 14),
                     Format::right(QString::number(query.value(8).toLongLong()), 6),
                     QString::fromUtf8(query.value(5).toByteArray())));
    }
    if (lines.isEmpty()) {
        out(QStringLiteral(
                "no request is stored in %1 yet; `trel simulate %1 --requests 100` makes some\n")
                .arg(access.shownRoot()));
        return 0;
    }
    QString text = QStringLiteral("%1  %2  %3 %4 %5  %6 %7  %8\n")
                       .arg(Format::right(QStringLiteral("ID"), 7),
                            Format::left(QStringLiteral("STARTED"), 19),
                            Format::left(QStringLiteral("METHOD"), 6),
                            Format::right(QStringLiteral("STATUS"), 6),
                            Format::right(QStringLiteral("DURATION"), 10),
                            Format::left(QStringLiteral("QUERIES"), 14),
                            Format::right(QStringLiteral("ERRORS"), 6), QStringLiteral("URL"));
    text += lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
    out(text);
    return 0;
}
