// Benchmarks of the collector against the floor. scripts/bench runs them in full;
// the test command runs each once, briefly (TREL_BENCH_SHORT=1), so that they keep
// building and working.

#include "benchsupport.h"
#include "floorwriter.h"
#include "mariadbfloor.h"
#include "referencerequest.h"

#include "installation.h"

#include <trel/trel.h>

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUuid>

#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

void BM_Collect(benchmark::State& state) {
    KTrel::release();
    KTrel* trel = KTrel::instance();
    ReferenceRequest reference;
    for (auto _ : state) {
        trel->reset();
        reference.collect(trel);
    }
    KTrel::release();
}
BENCHMARK(BM_Collect)->Unit(benchmark::kMicrosecond);

void BM_WriteSqlite(benchmark::State& state) {
    SqliteInstall install;
    if (!install.ok) {
        state.SkipWithError("no SQLite installation");
        return;
    }
    runWrites(state, install.info);
}
BENCHMARK(BM_WriteSqlite)->Unit(benchmark::kMicrosecond);

// Argument: 0 over TCP, 1 through the server's unix socket.
void BM_WriteMariaDB(benchmark::State& state) {
    MySqlInstall install(state.range(0) == 1);
    if (!install.ok) {
        state.SkipWithError(qPrintable(install.error));
        return;
    }
    runWrites(state, install.info);
}
BENCHMARK(BM_WriteMariaDB)->ArgName("socket")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The same rows through MariaDB's C API. Arguments: multi-row (1) or row by row (0); over
// TCP (0) or the unix socket (1).
void BM_FloorMariaDB(benchmark::State& state) {
    MySqlInstall install(state.range(1) == 1);
    if (!install.ok) {
        state.SkipWithError(qPrintable(install.error));
        return;
    }
    MariaDbFloor::Server server;
    server.host = install.info.getDbHostName().toStdString();
    server.port = static_cast<unsigned>(install.info.getDbPort());
    server.socket = install.info.getDbSocket().toStdString();
    server.user = install.info.getDbUsername().toStdString();
    server.password = install.info.getDbPassword().toStdString();
    server.database = install.info.getDbName().toStdString();
    ReferenceRequest reference;
    try {
        MariaDbFloor floor(server, reference, state.range(0) == 1);
        int failed = 0;
        for (auto _ : state)
            failed += floor.write() ? 0 : 1;
        state.counters["failed"] = failed;
        state.SetItemsProcessed(state.iterations());
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}
BENCHMARK(BM_FloorMariaDB)
    ->ArgNames({"multirow", "socket"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Unit(benchmark::kMicrosecond);

void BM_FloorSqlite(benchmark::State& state) {
    SqliteInstall install;
    if (!install.ok) {
        state.SkipWithError("no SQLite installation");
        return;
    }
    ReferenceRequest reference;
    FloorWriter floor(Installation::databasePath(install.dir.path()).toStdString(), reference);
    int failed = 0;
    for (auto _ : state)
        failed += floor.write() ? 0 : 1;
    state.counters["failed"] = failed;
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FloorSqlite)->Unit(benchmark::kMicrosecond);

void BM_UrlCacheHit(benchmark::State& state) {
    SqliteInstall install;
    KTrel* trel = freshCollector(install.info);
    const QString url =
        QStringLiteral("https://shop.example.com/catalog/category-3/product?id=1003");
    {
        QSqlDatabase& db = trel->getDatabase();
        trel->getUrlDbId(url, db);
    }
    const QSqlDatabase none;
    for (auto _ : state)
        benchmark::DoNotOptimize(trel->getUrlDbId(url, none));
    KTrel::release();
}
BENCHMARK(BM_UrlCacheHit);

void BM_IsAgentAllowed20Patterns(benchmark::State& state) {
    SqliteInstall install;
    {
        KTrel* trel = freshCollector(install.info);
        QSqlQuery insert(trel->getDatabase());
        for (int i = 0; i < 20; ++i)
            insert.exec(
                QStringLiteral("INSERT INTO trel_user_agent (user_agent, extra, agent_string) "
                               "VALUES ('agent %1', '', 'Agent%1/[0-9]+\\.[0-9]+')")
                    .arg(i));
    }
    KTrel* trel = freshCollector(install.info);
    // The last pattern matches: every pattern is tried.
    const QString agent = QStringLiteral("  Mozilla/5.0 (X11; Linux x86_64) Agent19/118.0  ");
    bool allowed = false;
    for (auto _ : state)
        benchmark::DoNotOptimize(allowed = trel->isAgentAllowed(agent));
    if (!allowed)
        state.SkipWithError("the agent was not allowed");
    KTrel::release();
}
BENCHMARK(BM_IsAgentAllowed20Patterns);

// isTokenOK as a PHP worker calls it at the start of a request: the process keeps its
// connection between requests, so each call checks that the file is still the one it
// opened and runs its one select. With `held`, a handle from getDatabase() is held as
// well, as a host that keeps the handle does.
void isTokenOK(benchmark::State& state, bool held) {
    SqliteInstall install;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"),
                                                    QStringLiteral("bench-token-setup"));
        db.setDatabaseName(Installation::databasePath(install.dir.path()));
        QSqlQuery insert(db);
        if (!db.open() || !insert.exec(QStringLiteral(
                              "INSERT INTO trel_tokens (token_id, allowed_hosts, ttl, base_url) "
                              "VALUES ('bench-token', 'shop.example.com', 4102444800, "
                              "'https://shop.example.com/catalog')")))
            state.SkipWithError("cannot store the token");
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-token-setup"));
    KTrel* trel = freshCollector(install.info);
    if (held)
        trel->getDatabase();
    trel->setRequest(QStringLiteral("https://shop.example.com/catalog/item?id=3"));
    KDebug::setDebugLevel(1, 0);
    bool ok = false;
    for (auto _ : state) {
        QString hosts;
        qint64 ttl = 0;
        benchmark::DoNotOptimize(ok =
                                     trel->isTokenOK(QStringLiteral("bench-token"), hosts, ttl, 1));
    }
    if (!ok)
        state.SkipWithError("the token was refused");
    KTrel::release();
}

void BM_IsTokenOKAsAWorkerCallsIt(benchmark::State& state) {
    isTokenOK(state, false);
}
BENCHMARK(BM_IsTokenOKAsAWorkerCallsIt)->Unit(benchmark::kMicrosecond);

void BM_IsTokenOKConnectionHeld(benchmark::State& state) {
    isTokenOK(state, true);
}
BENCHMARK(BM_IsTokenOKConnectionHeld)->Unit(benchmark::kMicrosecond);

// Fills the installation with `total` small requests, each with rows in every table.
void fillRequests(QSqlDatabase& db, int total) {
    QSqlQuery q(db);
    db.transaction();
    const QString series =
        QStringLiteral(
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1) ")
            .arg(total);
    q.exec(series +
           QStringLiteral(
               "INSERT INTO trel_requests (page_id, url_id, method) SELECT 'p', 1, 'GET' FROM n"));
    q.exec(QStringLiteral("INSERT INTO trel_backtrace (backtrace) SELECT 'bt' FROM trel_requests"));
    q.exec(QStringLiteral(
        "INSERT INTO trel_sql_queries (request_id, resolved_statement, backtrace_id) "
        "SELECT id, 'SELECT 1', id FROM trel_requests"));
    q.exec(QStringLiteral("INSERT INTO trel_functions_stats (request_id, function_name) SELECT id, "
                          "'f' FROM trel_requests"));
    q.exec(QStringLiteral("INSERT INTO trel_processing_breakdown (request_id, database_time) "
                          "SELECT id, 1 FROM trel_requests"));
    db.commit();
}

void BM_Cleanup1000Of10000(benchmark::State& state) {
    const int total = shortRun() ? 2000 : 10000;
    const int keep = total / 10;
    for (auto _ : state) {
        state.PauseTiming();
        SqliteInstall install;
        KTrel* trel = freshCollector(install.info);
        fillRequests(trel->getDatabase(), total);
        KDebug::setDebugLevel(1, 0);
        state.ResumeTiming();
        trel->cleanupDb(static_cast<quint32>(keep));
        state.PauseTiming();
        KTrel::release();
        state.ResumeTiming();
    }
    state.counters["requests"] = total;
    state.counters["kept"] = keep;
}
BENCHMARK(BM_Cleanup1000Of10000)->Unit(benchmark::kMillisecond)->Iterations(3);

// Several worker processes writing reference requests to one SQLite file.
void BM_Processes(benchmark::State& state) {
    const int processes = static_cast<int>(state.range(0));
    const double seconds = shortRun() ? 1.0 : 5.0;
    long written = 0, failed = 0, stored = 0;
    for (auto _ : state) {
        state.PauseTiming();
        SqliteInstall install;
        state.ResumeTiming();
        std::vector<std::unique_ptr<QProcess>> workers;
        for (int i = 0; i < processes; ++i) {
            auto worker = std::make_unique<QProcess>();
            worker->start(QStringLiteral("/proc/self/exe"),
                          {QStringLiteral("--worker"), install.dir.path(), QString::number(seconds),
                           QString::number(i + 1)});
            workers.push_back(std::move(worker));
        }
        for (auto& worker : workers) {
            worker->waitForFinished(-1);
            const QList<QByteArray> counts = worker->readAllStandardOutput().trimmed().split(' ');
            if (counts.size() == 2) {
                written += counts[0].toLong();
                failed += counts[1].toLong();
            } else {
                state.SkipWithError("a worker did not report");
            }
        }
        state.PauseTiming();
        {
            KTrel* trel = freshCollector(install.info);
            QSqlQuery count(trel->getDatabase());
            if (count.exec(QStringLiteral("SELECT COUNT(*) FROM trel_requests")) && count.next())
                stored += count.value(0).toLongLong();
            KTrel::release();
        }
        state.ResumeTiming();
    }
    state.counters["requests_per_second"] =
        benchmark::Counter(static_cast<double>(written) / seconds / state.iterations());
    state.counters["written"] = written;
    state.counters["failed"] = failed;
    // A request counted as written that is not in the database is lost.
    state.counters["lost"] = written - stored;
}
BENCHMARK(BM_Processes)->Arg(1)->Arg(2)->Arg(4)->Iterations(1)->Unit(benchmark::kMillisecond);

// Heap in use after 100 requests and after many more (collect, write, reset).
void BM_MemoryAfterRequests(benchmark::State& state) {
    const int many = shortRun() ? 1000 : 10000;
    long long after100 = 0, after1000 = 0, afterMany = 0;
    for (auto _ : state) {
        SqliteInstall install;
        KTrel* trel = freshCollector(install.info);
        ReferenceRequest reference;
        FailureCounter failures;
        for (int i = 1; i <= many; ++i) {
            trel->reset();
            reference.collect(trel);
            trel->write();
            if (i == 100 || i == 1000) {
                trel->reset();
                (i == 100 ? after100 : after1000) = static_cast<long long>(mallinfo2().uordblks);
            }
        }
        trel->reset();
        afterMany = static_cast<long long>(mallinfo2().uordblks);
        KTrel::release();
    }
    state.counters["heap_after_100"] = static_cast<double>(after100);
    state.counters["heap_after_1000"] = static_cast<double>(after1000);
    state.counters["heap_after_many"] = static_cast<double>(afterMany);
    state.counters["requests"] = many;
    state.counters["growth_bytes"] = static_cast<double>(afterMany - after100);
}
BENCHMARK(BM_MemoryAfterRequests)->Iterations(1)->Unit(benchmark::kSecond);

// The worker of BM_Processes: writes reference requests for a while, prints
// "written failed".
int worker(const QString& root, double seconds, unsigned seed) {
    KolvServerInfo info;
    QString error;
    if (!info.load(root, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    KTrel* trel = KTrel::instance();
    trel->initialize(info, 1);
    ReferenceRequest reference(seed);
    FailureCounter failures;
    long attempts = 0;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < seconds * 1000) {
        trel->reset();
        reference.collect(trel);
        trel->write();
        ++attempts;
    }
    std::printf("%ld %d\n", attempts - failures.failures, failures.failures);
    KTrel::release();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 5 && QByteArray(argv[1]) == "--worker")
        return worker(QString::fromLocal8Bit(argv[2]), QByteArray(argv[3]).toDouble(),
                      static_cast<unsigned>(QByteArray(argv[4]).toUInt()));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
