#include "cleanupcommand.h"

#include "argumentcheck.h"
#include "installationaccess.h"
#include "toolerror.h"
#include "toollog.h"

#include <trel/ktrel.h>

#include <kolv/kexception.h>

QString CleanupCommand::summary() const {
    return QStringLiteral("Delete all but the newest N requests, as the host trims the database.");
}

void CleanupCommand::setUp(QCommandLineParser& parser) {
    parser.setApplicationDescription(QStringLiteral(
        "Deletes all but the newest N requests (by id) in one transaction, with their queries, "
        "errors, statistics, events, samples and backtraces, and the URLs and statements "
        "that no kept request uses."));
    parser.addPositionalArgument(QStringLiteral("ROOT"),
                                 QStringLiteral("The installation's folder."));
    parser.addOption({QStringLiteral("keep"),
                      QStringLiteral("How many of the newest requests to keep."),
                      QStringLiteral("N")});
}

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
    KTrel* trel = KTrel::instance();
    ToolLog::startCapture(3);
    QString failure;
    try {
        trel->initialize(access.settings(), KDebug::StreamId(ToolLog::Stream));
        trel->cleanupDb(static_cast<quint32>(keep));
    } catch (const KException& e) {
        failure = QString::fromUtf8(e.what()).simplified();
    }
    const QString deletedLine = ToolLog::findLine(QStringLiteral("Deleted requests:"));
    ToolLog::stopCapture();
    KTrel::release();
    if (!failure.isEmpty())
        throw ToolError(QStringLiteral("the cleanup of %1 failed and was rolled back: %2")
                            .arg(access.shownRoot(), failure));

    const qint64 deleted =
        deletedLine.mid(deletedLine.indexOf(QLatin1Char(':')) + 1).trimmed().toLongLong();
    QSqlQuery left = access.run(QStringLiteral("counting the requests"),
                                QStringLiteral("SELECT COUNT(*) FROM trel_requests"));
    const qint64 kept = left.next() ? left.value(0).toLongLong() : 0;
    out(QStringLiteral("deleted %1 request%2 from %3; %4 kept\n")
            .arg(QString::number(deleted), deleted == 1 ? QString() : QStringLiteral("s"),
                 access.shownRoot(), QString::number(kept)));
    return 0;
}
