// reader ROOT SECONDS [--stop-file FILE] [--cli PATH]
// Reads as the bar and the `trel` tool read while workers write: lists the newest
// requests and opens them, each time inside one read transaction. Whatever a reader can
// see must be a whole request: its data size set, one breakdown row, and as many rows
// in every section as its page id announces. With --cli it also runs
// `trel requests ROOT --last 20` and `trel show ROOT ID` now and then.

#include "modes.h"
#include "options.h"
#include "requestplan.h"
#include "stressdb.h"

#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QVariant>

#include <cstdio>
#include <tuple>

namespace {

struct ReaderFigures {
    int snapshots = 0;
    int requestsChecked = 0;
    int partial = 0;
    int errors = 0;
    int cliRuns = 0;
    int cliFailures = 0;
};

// The rows a request has in every table, as one snapshot shows them.
bool readCounts(StressDb& db, qint64 id, RequestPlan::Counts* counts, int* breakdown,
                QString* error) {
    const QVariantList bind{QVariant(id)};
    const QVariant q = db.scalar(
        QStringLiteral("SELECT COUNT(*) FROM trel_sql_queries WHERE request_id = ?"), bind, error);
    const QVariant e = db.scalar(
        QStringLiteral("SELECT COUNT(*) FROM trel_log_entries WHERE request_id = ?"), bind, error);
    const QVariant f =
        db.scalar(QStringLiteral("SELECT COUNT(*) FROM trel_functions_stats WHERE request_id = ?"),
                  bind, error);
    const QVariant v =
        db.scalar(QStringLiteral("SELECT COUNT(*) FROM trel_monitor_events WHERE request_id = ?"),
                  bind, error);
    const QVariant s = db.scalar(
        QStringLiteral("SELECT COUNT(*) FROM trel_superglobals_data WHERE request_id = ?"), bind,
        error);
    const QVariant b = db.scalar(
        QStringLiteral("SELECT (SELECT COUNT(*) FROM trel_sql_queries q JOIN trel_backtrace b ON "
                       "b.id = q.backtrace_id WHERE q.request_id = ?) + (SELECT COUNT(*) FROM "
                       "trel_log_entries e JOIN trel_backtrace b ON b.id = e.backtrace_id WHERE "
                       "e.request_id = ?)"),
        {QVariant(id), QVariant(id)}, error);
    const QVariant k = db.scalar(
        QStringLiteral("SELECT COUNT(*) FROM trel_processing_breakdown WHERE request_id = ?"), bind,
        error);
    if (!q.isValid() || !e.isValid() || !f.isValid() || !v.isValid() || !s.isValid() ||
        !b.isValid() || !k.isValid())
        return false;
    counts->queries = q.toInt();
    counts->errors = e.toInt();
    counts->functions = f.toInt();
    counts->events = v.toInt();
    counts->samples = s.toInt();
    counts->backtraces = b.toInt();
    *breakdown = k.toInt();
    return true;
}

bool runCli(const QString& cli, const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(cli, arguments);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

int runReader(const QStringList& args) {
    const Options options(args, {});
    const QStringList& p = options.positionals();
    bool okSeconds = false;
    const int seconds = p.value(1).toInt(&okSeconds);
    if (!options.ok() || p.size() != 2 || !okSeconds) {
        std::fprintf(stderr,
                     "usage: trel_stress reader ROOT SECONDS [--stop-file FILE] [--cli PATH]\n");
        return 2;
    }
    const QString root = p.at(0);
    const QString stopFile = options.value(QStringLiteral("stop-file"));
    const QString cli = options.value(QStringLiteral("cli"));
    StressDb db;
    QString error;
    if (!db.open(root, &error)) {
        std::fprintf(stderr, "trel_stress reader: %s\n", qPrintable(error));
        return 1;
    }

    ReaderFigures figures;
    const qint64 end = stress::nowMs() + seconds * 1000LL;
    while (stress::nowMs() < end && (stopFile.isEmpty() || !QFileInfo::exists(stopFile))) {
        QList<qint64> seen;
        if (!db.db().transaction()) {
            ++figures.errors;
            std::fprintf(stderr, "reader: cannot begin a read transaction\n");
            stress::sleepMs(100);
            continue;
        }
        QSqlQuery list;
        if (!db.run(list,
                    QStringLiteral("SELECT id, page_id, data_size FROM trel_requests ORDER BY id "
                                   "DESC LIMIT 20"),
                    {}, &error)) {
            ++figures.errors;
            std::fprintf(stderr, "reader: %s\n", qPrintable(error));
        }
        QList<std::tuple<qint64, QString, qint64>> rows;
        while (list.isActive() && list.next())
            rows.append(
                {list.value(0).toLongLong(), list.value(1).toString(), list.value(2).toLongLong()});
        list = QSqlQuery();
        for (const auto& row : rows) {
            const qint64 id = std::get<0>(row);
            RequestPlan::Counts announced, found;
            int breakdown = 0;
            if (!RequestPlan::countsOfPageId(std::get<1>(row), &announced)) {
                ++figures.partial;
                std::fprintf(stderr, "reader: request %lld has a page id of no stress request\n",
                             static_cast<long long>(id));
                continue;
            }
            if (!readCounts(db, id, &found, &breakdown, &error)) {
                ++figures.errors;
                std::fprintf(stderr, "reader: %s\n", qPrintable(error));
                break;
            }
            ++figures.requestsChecked;
            seen << id;
            if (std::get<2>(row) < 0 || breakdown != 1 || found != announced) {
                ++figures.partial;
                std::fprintf(stderr,
                             "reader: request %lld seen partial: data size %lld, breakdown rows "
                             "%d, rows %s, announced %s\n",
                             static_cast<long long>(id), static_cast<long long>(std::get<2>(row)),
                             breakdown, qPrintable(found.toString()),
                             qPrintable(announced.toString()));
            }
        }
        db.db().commit();
        ++figures.snapshots;

        if (!cli.isEmpty() && figures.snapshots % 5 == 1) {
            ++figures.cliRuns;
            if (!runCli(cli, {QStringLiteral("requests"), root, QStringLiteral("--last"),
                              QStringLiteral("20")})) {
                ++figures.cliFailures;
                std::fprintf(stderr, "reader: `trel requests` failed\n");
            }
            if (!seen.isEmpty()) {
                const qint64 id = seen.at(QRandomGenerator::global()->bounded(seen.size()));
                ++figures.cliRuns;
                // A cleanup may have deleted the request since: only a request that is
                // still there must be shown.
                if (!runCli(cli, {QStringLiteral("show"), root, QString::number(id)}) &&
                    db.scalar(QStringLiteral("SELECT COUNT(*) FROM trel_requests WHERE id = ?"),
                              {QVariant(id)})
                            .toInt() != 0) {
                    ++figures.cliFailures;
                    std::fprintf(stderr, "reader: `trel show %lld` failed\n",
                                 static_cast<long long>(id));
                }
            }
        }
        stress::sleepMs(20);
    }
    stress::print(QStringLiteral("reader: %1 snapshots, %2 requests checked, %3 seen partial, "
                                 "%4 read errors, %5 trel runs (%6 failed)\n")
                      .arg(figures.snapshots)
                      .arg(figures.requestsChecked)
                      .arg(figures.partial)
                      .arg(figures.errors)
                      .arg(figures.cliRuns)
                      .arg(figures.cliFailures));
    return figures.partial == 0 && figures.errors == 0 && figures.cliFailures == 0 ? 0 : 1;
}
