#include "simulateworkercommand.h"

#include "argumentcheck.h"
#include "hostsimulator.h"
#include "installationaccess.h"
#include "toolerror.h"

#include <QDateTime>
#include <QVariant>

#include <memory>

QString SimulateWorkerCommand::summary() const {
    return QStringLiteral("One worker process of `trel simulate`.");
}

void SimulateWorkerCommand::loadTokens(InstallationAccess& access,
                                       QList<RequestGenerator::Token>* valid,
                                       QStringList* expired) {
    QSqlQuery query =
        access.run(QStringLiteral("reading the tokens"),
                   QStringLiteral("SELECT token_id, base_url, ttl FROM trel_tokens ORDER BY id"));
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    while (query.next()) {
        const QString name = QString::fromUtf8(query.value(0).toByteArray());
        const QString baseUrl = QString::fromUtf8(query.value(1).toByteArray());
        // A token that runs out within the run would turn its last requests away.
        if (query.value(2).toLongLong() > now + 600)
            valid->append(RequestGenerator::Token{name, baseUrl});
        else if (query.value(2).toLongLong() < now)
            expired->append(name);
    }
}

void SimulateWorkerCommand::setUp(QCommandLineParser& parser) {
    parser.addPositionalArgument(QStringLiteral("ROOT"),
                                 QStringLiteral("The installation's folder."));
    for (const char* option : {"seed", "requests", "processes", "worker", "unauthorised-share"})
        parser.addOption({QString::fromLatin1(option), QString(), QStringLiteral("VALUE")});
}

int SimulateWorkerCommand::run(QCommandLineParser& parser) {
    const QString root = positionals(parser, {QStringLiteral("ROOT")}).at(0);
    qint64 seed = 0, requests = 0, processes = 0, worker = 0;
    double share = 0;
    if (!ArgumentCheck::wholeNumber(parser.value(QStringLiteral("seed")), 0,
                                    Q_INT64_C(0x7fffffffffffffff), &seed) ||
        !ArgumentCheck::wholeNumber(parser.value(QStringLiteral("requests")), 1, 100000000,
                                    &requests) ||
        !ArgumentCheck::wholeNumber(parser.value(QStringLiteral("processes")), 1, 64, &processes) ||
        !ArgumentCheck::wholeNumber(parser.value(QStringLiteral("worker")), 0, processes - 1,
                                    &worker) ||
        !ArgumentCheck::share(parser.value(QStringLiteral("unauthorised-share")), &share))
        throw usageError(QStringLiteral("bad worker arguments"));

    QList<RequestGenerator::Token> valid;
    QStringList expired;
    KolvServerInfo settings;
    {
        InstallationAccess access(root);
        loadTokens(access, &valid, &expired);
        settings = access.settings();
    }
    if (valid.isEmpty())
        throw ToolError(QStringLiteral("no valid token in %1").arg(root));

    const RequestGenerator generator(static_cast<quint64>(seed), valid, expired, share);
    HostSimulator host(settings);
    for (qint64 index = worker; index < requests; index += processes) {
        const SimulatedRequest request = generator.make(static_cast<int>(index));
        const HostSimulator::Outcome outcome = host.serve(request);
        const char* word = outcome == HostSimulator::Written  ? "written"
                           : outcome == HostSimulator::Failed ? "failed"
                                                              : "refused";
        out(QStringLiteral("%1 %2\n").arg(QString::fromLatin1(word)).arg(index));
    }
    return 0;
}
