#include "simulatecommand.h"

#include "argumentcheck.h"
#include "format.h"
#include "installationaccess.h"
#include "progressbar.h"
#include "requestgenerator.h"
#include "simulateworkercommand.h"
#include "toolerror.h"

#include <trel/ktrelformat.h>

#include <trel/ktrel.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QSqlRecord>
#include <QVariant>

#include <memory>
#include <vector>

namespace {

struct Worker {
    std::unique_ptr<QProcess> process;
    QByteArray pending; // a line of standard output not yet complete
    QByteArray errors;  // a line of standard error not yet complete
    QString lastError;
    bool finished = false;
    bool ok = false;
};

struct Counts {
    qint64 written = 0;
    qint64 failed = 0;
    qint64 refused = 0;
    qint64 done() const { return written + failed + refused; }
};

} // namespace

QString SimulateCommand::summary() const {
    return QStringLiteral(
        "Play a web server's PHP workers: drive the collector for N made-up requests.");
}

void SimulateCommand::setUp(QCommandLineParser& parser) {
    parser.setApplicationDescription(QStringLiteral(
        "Drives the collector as a PHP host does, for N varied requests of a made-up shop "
        "(pages, cart, checkout, search, an API; SQL queries inside and outside transactions, "
        "some failing; every PHP error type; function statistics, events, superglobals, the "
        "time breakdown). Each request presents a token of the installation and a browser's "
        "user agent, and passes the access check before anything is collected. The same seed "
        "makes the same requests. With P processes, P workers write to the database at once."));
    parser.addPositionalArgument(QStringLiteral("ROOT"),
                                 QStringLiteral("The installation's folder."));
    parser.addOption({QStringLiteral("requests"), QStringLiteral("How many requests to simulate."),
                      QStringLiteral("N")});
    parser.addOption({QStringLiteral("seed"),
                      QStringLiteral("Seed of the made-up requests (default 1)."),
                      QStringLiteral("S"), QStringLiteral("1")});
    parser.addOption({QStringLiteral("processes"),
                      QStringLiteral("Worker processes writing at once (default 1, at most 64)."),
                      QStringLiteral("P"), QStringLiteral("1")});
    parser.addOption({QStringLiteral("unauthorised-share"),
                      QStringLiteral("Share of requests that come without a valid token, 0 to 1 "
                                     "or a percentage (default 0); the host refuses them and "
                                     "stores nothing of them."),
                      QStringLiteral("F"), QStringLiteral("0")});
}

void SimulateCommand::checkAccessRules(InstallationAccess& access, double unauthorisedShare) const {
    QList<RequestGenerator::Token> valid;
    QStringList expired;
    SimulateWorkerCommand::loadTokens(access, &valid, &expired);
    if (valid.isEmpty())
        throw ToolError(
            QStringLiteral("%1 has no token valid for the next ten minutes, so the host "
                           "would refuse every request; add one with `trel token add "
                           "%1 NAME`")
                .arg(access.shownRoot()));
    if (unauthorisedShare >= 1.0)
        return;
    // The patterns as the collector compiles them: a run in which no browser would be
    // admitted stores nothing, which is surely not what was meant.
    QSqlQuery query = access.run(QStringLiteral("reading the user-agent patterns"),
                                 QStringLiteral("SELECT * FROM trel_user_agent"));
    QList<KTrel::UserAgentEntry> entries;
    while (query.next()) {
        const QSqlRecord record = query.record();
        KTrel::UserAgentEntry entry(record);
        if (record.count() > 3 && !record.isNull(3) && entry.compile())
            entries << entry;
    }
    for (const QString& browser : RequestGenerator::browsers()) {
        for (const KTrel::UserAgentEntry& entry : entries) {
            if (entry.matches(browser))
                return;
        }
    }
    throw ToolError(
        QStringLiteral("no user-agent pattern of %1 admits a browser, so the host would "
                       "refuse every request; add one with `trel agent add %1 "
                       "Browsers Mozilla`")
            .arg(access.shownRoot()));
}

int SimulateCommand::run(QCommandLineParser& parser) {
    const QString root = positionals(parser, {QStringLiteral("ROOT")}).at(0);
    if (!parser.isSet(QStringLiteral("requests")))
        throw usageError(QStringLiteral("--requests N is required"));
    qint64 requests = 0, seed = 0, processes = 0;
    double share = 0;
    if (!ArgumentCheck::wholeNumber(parser.value(QStringLiteral("requests")), 1, 100000000,
                                    &requests))
        throw usageError(
            QStringLiteral("--requests wants a whole number from 1 to 100000000, not '%1'")
                .arg(parser.value(QStringLiteral("requests"))));
    if (!ArgumentCheck::wholeNumber(parser.value(QStringLiteral("seed")), 0,
                                    Q_INT64_C(0x7fffffffffffffff), &seed))
        throw usageError(QStringLiteral("--seed wants a whole number from 0, not '%1'")
                             .arg(parser.value(QStringLiteral("seed"))));
    if (!ArgumentCheck::wholeNumber(parser.value(QStringLiteral("processes")), 1, 64, &processes))
        throw usageError(QStringLiteral("--processes wants a whole number from 1 to 64, not '%1'")
                             .arg(parser.value(QStringLiteral("processes"))));
    if (!ArgumentCheck::share(parser.value(QStringLiteral("unauthorised-share")), &share))
        throw usageError(QStringLiteral("--unauthorised-share wants a share from 0 to 1 (or 0%% to "
                                        "100%%), not '%1'")
                             .arg(parser.value(QStringLiteral("unauthorised-share"))));
    if (processes > requests)
        processes = requests;

    InstallationAccess access(root);
    checkAccessRules(access, share);

    std::vector<Worker> workers(static_cast<size_t>(processes));
    Counts counts;
    ProgressBar progress(requests);
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    int running = 0;

    auto note = [&]() {
        const double seconds = clock.elapsed() / 1000.0;
        return QStringLiteral("requests  %1/s  %2 failed  %3 refused")
            .arg(seconds > 0 ? counts.done() / seconds : 0.0, 0, 'f', 0)
            .arg(counts.failed)
            .arg(counts.refused);
    };
    auto takeLines = [](QByteArray& buffer, const QByteArray& more) {
        buffer += more;
        QList<QByteArray> lines;
        int end;
        while ((end = buffer.indexOf('\n')) >= 0) {
            lines << buffer.left(end);
            buffer.remove(0, end + 1);
        }
        return lines;
    };

    for (qint64 k = 0; k < processes; ++k) {
        Worker* worker = &workers[static_cast<size_t>(k)];
        worker->process = std::make_unique<QProcess>();
        QProcess* process = worker->process.get();
        QObject::connect(process, &QProcess::readyReadStandardOutput, [&, worker, process]() {
            for (const QByteArray& line :
                 takeLines(worker->pending, process->readAllStandardOutput())) {
                if (line.startsWith("written "))
                    ++counts.written;
                else if (line.startsWith("failed "))
                    ++counts.failed;
                else if (line.startsWith("refused "))
                    ++counts.refused;
            }
            progress.update(counts.done(), note());
        });
        QObject::connect(process, &QProcess::readyReadStandardError, [&, worker, process]() {
            const QList<QByteArray> lines =
                takeLines(worker->errors, process->readAllStandardError());
            if (lines.isEmpty())
                return;
            progress.clear();
            for (const QByteArray& line : lines) {
                worker->lastError = QString::fromLocal8Bit(line);
                std::fprintf(stderr, "%s\n", line.constData());
            }
            std::fflush(stderr);
            progress.update(counts.done(), note());
        });
        QObject::connect(process, &QProcess::finished,
                         [&, worker, process](int code, QProcess::ExitStatus status) {
                             worker->finished = true;
                             worker->ok = status == QProcess::NormalExit && code == 0;
                             if (status != QProcess::NormalExit && worker->lastError.isEmpty())
                                 worker->lastError = process->errorString();
                             if (--running == 0)
                                 loop.quit();
                         });
        QObject::connect(process, &QProcess::errorOccurred,
                         [&, worker](QProcess::ProcessError error) {
                             if (error == QProcess::FailedToStart) {
                                 worker->lastError = worker->process->errorString();
                                 worker->finished = true;
                                 if (--running == 0)
                                     loop.quit();
                             }
                         });
        QStringList arguments{QStringLiteral("simulate-worker"),
                              access.root(),
                              QStringLiteral("--seed"),
                              QString::number(seed),
                              QStringLiteral("--requests"),
                              QString::number(requests),
                              QStringLiteral("--processes"),
                              QString::number(processes),
                              QStringLiteral("--worker"),
                              QString::number(k),
                              QStringLiteral("--unauthorised-share"),
                              QString::number(share, 'g', 17)};
        if (verbose())
            arguments << QStringLiteral("--verbose");
        ++running;
        process->start(QCoreApplication::applicationFilePath(), arguments);
    }
    progress.update(0, note());
    if (running > 0)
        loop.exec();
    const double seconds = clock.elapsed() / 1000.0;
    progress.finish();

    QString stopped;
    for (size_t k = 0; k < workers.size(); ++k) {
        const Worker& worker = workers[k];
        if (!worker.ok && stopped.isEmpty())
            stopped = QStringLiteral("worker %1 stopped early: %2")
                          .arg(k)
                          .arg(worker.lastError.isEmpty() ? QStringLiteral("no reason given")
                                                          : worker.lastError);
    }
    const qint64 unfinished = requests - counts.done();

    QString text =
        QStringLiteral("simulated %1 requests on %2 (%3, %4 process%5, seed %6)\n")
            .arg(QString::number(requests), access.shownRoot(), access.backendName(),
                 QString::number(processes), processes == 1 ? QString() : QStringLiteral("es"),
                 QString::number(seed));
    text += QStringLiteral("  requests written     %1\n").arg(counts.written, 8);
    text += QStringLiteral("  requests refused     %1  (no valid token or user agent: the host "
                           "stored nothing of them)\n")
                .arg(counts.refused, 8);
    text += QStringLiteral("  requests failed      %1\n").arg(counts.failed + unfinished, 8);
    text += QStringLiteral("  requests per second  %1\n")
                .arg(seconds > 0 ? counts.done() / seconds : 0.0, 8, 'f', 1);
    text += QStringLiteral("  rows per table\n");
    const QMap<QString, qint64> rows = access.rowCounts();
    for (const QString& table : InstallationAccess::tables())
        text += QStringLiteral("    %1 %2\n").arg(table, -26).arg(rows.value(table), 9);
    text += QStringLiteral("  database size        %1  (%2)\n")
                .arg(Format::right(KTrelFormat::bytes(access.databaseSize()), 8),
                     access.databaseSizeNote());
    out(text);

    if (!stopped.isEmpty())
        throw ToolError(stopped);
    return counts.failed > 0 ? 1 : 0;
}
