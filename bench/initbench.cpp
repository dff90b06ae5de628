// What a worker's start costs: initialize() on a SQLite installation that already holds
// many URLs, in time and in peak resident memory. The id caches keep 100 entries each,
// and the preload reads only those.

#include "benchsupport.h"
#include "installation.h"

#include <trel/trel.h>

#include <benchmark/benchmark.h>

#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <algorithm>

namespace {

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM").
long long statusBytes(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong() * 1024;
    return 0;
}

// Restarts the count of the peak resident size (VmHWM) from the current size.
void resetPeak() {
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

bool storeUrls(const QString& path, int rows) {
    const QString name = QStringLiteral("initbench_fill");
    bool done = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        QSqlQuery query(db);
        done =
            db.open() &&
            query.exec(
                QStringLiteral(
                    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
                    "INSERT INTO trel_requests_urls (url_hash, url) SELECT randomblob(20), "
                    "'http://shop.example/catalogue/item?id=' || i || '&ref=newsletter' FROM n")
                    .arg(rows));
    }
    QSqlDatabase::removeDatabase(name);
    return done;
}

void BM_InitializeWithStoredUrls(benchmark::State& state) {
    const int wanted = static_cast<int>(state.range(0));
    // The short run of the test command keeps the large case small.
    const int rows = shortRun() ? std::min(wanted, 20000) : wanted;
    if (rows != wanted)
        state.SetLabel(
            QStringLiteral("short run: %1 rows, not %2").arg(rows).arg(wanted).toStdString());
    SqliteInstall install;
    if (!install.ok || !storeUrls(Installation::databasePath(install.dir.path()), rows)) {
        state.SkipWithError("cannot prepare the installation");
        return;
    }
    const KolvServerInfo& info = install.info;
    KDebug::setDebugLevel(1, 0);
    long long peak = 0;
    for (auto _ : state) {
        state.PauseTiming();
        KTrel::release();
        resetPeak();
        const long long before = statusBytes("VmRSS");
        state.ResumeTiming();
        KTrel::instance()->initialize(info, 1);
        state.PauseTiming();
        peak = std::max(peak, statusBytes("VmHWM") - before);
        state.ResumeTiming();
    }
    KTrel::release();
    state.counters["stored_urls"] = rows;
    state.counters["peak_rss_growth_bytes"] = static_cast<double>(peak);
}
BENCHMARK(BM_InitializeWithStoredUrls)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMillisecond);

} // namespace
