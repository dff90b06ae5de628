#include "cleanupcommand.h"

#include "argumentcheck.h"
#include "installationaccess.h"
#include "toolerror.h"
#include "toollog.h"

#include <trel/ktrel.h>

#include <kolv/kexception.h>

#include <QVariant>

QString CleanupCommand::summary() const {
    return QStringLiteral("Delete all but the newest N requests, as the host trims the database.");
}

void CleanupCommand::setUp(QCommandLineParser& parser) {
    parser.setApplicationDescription(QStringLiteral(
        "Deletes all but the newest N requests (by id), with their queries, errors, "
        "statistics, events, samples and backtraces, and the URLs and statements that no kept "
        "request uses. The requests go oldest first in batches of whole requests, each in its "
        "own short transaction, so that the host's writers are never held for long; a failure "
        "part-way keeps the batches already deleted. On SQLite the freed space goes back to the "
        "disk as it goes, in a file made by `trel init` since it sets auto_vacuum; --vacuum "
        "rebuilds an older file once (holding the writers while it runs)."));
    parser.addPositionalArgument(QStringLiteral("ROOT"),
                                 QStringLiteral("The installation's folder."));
    parser.addOption({QStringLiteral("keep"),
                      QStringLiteral("How many of the newest requests to keep."),
                      QStringLiteral("N")});
    parser.addOption({QStringLiteral("vacuum"),
                      QStringLiteral("SQLite: then rebuild the file without its free pages and "
                                     "set it to give them back from now on.")});
}

namespace {

QString megabytes(qint64 bytes) {
    return QString::number(static_cast<double>(bytes) / (1024.0 * 1024.0), 'f', 1) +
           QStringLiteral(" MB");
}

// SQLite's auto_vacuum of the file: 2 for INCREMENTAL.
int autoVacuum(InstallationAccess& access) {
    QSqlQuery query =
        access.run(QStringLiteral("reading auto_vacuum"), QStringLiteral("PRAGMA auto_vacuum"));
    return query.next() ? query.value(0).toInt() : 0;
}

} // namespace

int CleanupCommand::run(QCommandLineParser& parser) {
    const QString root = positionals(parser, {QStringLiteral("ROOT")}).at(0);
    if (!parser.isSet(QStringLiteral("keep")))
        throw usageError(QStringLiteral("--keep N is required"));
    qint64 keep = 0;
    if (!ArgumentCheck::wholeNumber(parser.value(QStringLiteral("keep")), 0, 0x7fffffff, &keep))
        throw usageError(
            QStringLiteral("--keep wants a whole number from 0 to 2147483647, not '%1'")
                .arg(parser.value(QStringLiteral("keep"))));

    InstallationAccess access(root);
    const bool vacuum = parser.isSet(QStringLiteral("vacuum"));
    const qint64 sizeBefore = access.databaseSize();
    KTrel* trel = KTrel::instance();
    ToolLog::startCapture(3);
    QString failure;
    try {
        trel->initialize(access.settings(), KDebug::StreamId(ToolLog::Stream));
        trel->cleanupDb(static_cast<quint32>(keep));
        if (vacuum)
            trel->vacuumDb();
    } catch (const KException& e) {
        failure = QString::fromUtf8(e.what()).simplified();
    }
    const QString deletedLine = ToolLog::findLine(QStringLiteral("Deleted requests:"));
    ToolLog::stopCapture();
    KTrel::release();
    if (!failure.isEmpty())
        throw ToolError(QStringLiteral("the cleanup of %1 failed and its last batch was rolled "
                                       "back (every request is kept or deleted whole): %2")
                            .arg(access.shownRoot(), failure));

    const qint64 deleted =
        deletedLine.mid(deletedLine.indexOf(QLatin1Char(':')) + 1).trimmed().toLongLong();
    QSqlQuery left = access.run(QStringLiteral("counting the requests"),
                                QStringLiteral("SELECT COUNT(*) FROM trel_requests"));
    const qint64 kept = left.next() ? left.value(0).toLongLong() : 0;
    const qint64 sizeAfter = access.databaseSize();
    QString text =
        QStringLiteral("deleted %1 request%2 from %3; %4 kept\n")
            .arg(QString::number(deleted), deleted == 1 ? QString() : QStringLiteral("s"),
                 access.shownRoot(), QString::number(kept));
    text += QStringLiteral("gave back %1 to the disk: %2 before, %3 now (%4)\n")
                .arg(megabytes(qMax<qint64>(0, sizeBefore - sizeAfter)), megabytes(sizeBefore),
                     megabytes(sizeAfter), access.databaseSizeNote());
    if (!access.isMySql() && !vacuum && deleted > 0 && autoVacuum(access) != 2)
        text += QStringLiteral("the file keeps its free pages: it was made before trel init set "
                               "auto_vacuum; `trel cleanup %1 --keep %2 --vacuum` gives them back "
                               "once and from then on\n")
                    .arg(access.shownRoot(), QString::number(keep));
    out(text);
    return 0;
}
