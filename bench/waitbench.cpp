// The longest one write() waits before it gives up: against a SQLite file whose write
// lock another connection holds, against a MariaDB server that accepts connections and
// never answers (the connect timeout), and against one that holds the statement without
// a word (the read timeout). Each iteration is one write, which fails and is logged.
// Under TREL_BENCH_SHORT=1 the wait budget and the busy timeout are shortened and the
// read-timeout case is left out, so that the test command's run stays short.

#include "installation.h"
#include "referencerequest.h"

#include <trel/trel.h>

#include <kolv/kolvdbsqliteinfo.h>

#include <benchmark/benchmark.h>

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUuid>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool shortWaits() {
    return qgetenv("TREL_BENCH_SHORT") == "1";
}

// Shortens the waits of a short run, and counts the writes that were given up.
class WaitRun {
public:
    WaitRun() : m_budget(KTrel::waitBudget()), m_busy(KolvDbSQliteInfo::busyTimeout()) {
        if (shortWaits()) {
            KTrel::setWaitBudget(300);
            KolvDbSQliteInfo::setBusyTimeout(100);
        }
        KDebug::setDebugLevel(1, 0);
        KDebug::setSink([this](int level, KDebug::StreamId, const QString& text) {
            if (level == 0 && text.startsWith(QLatin1String("KTrel::write:")))
                ++failures;
        });
    }
    ~WaitRun() {
        KDebug::setSink(KDebug::Sink());
        KTrel::setWaitBudget(m_budget);
        KolvDbSQliteInfo::setBusyTimeout(m_busy);
        KTrel::release();
    }
    WaitRun(const WaitRun&) = delete;
    WaitRun& operator=(const WaitRun&) = delete;

    // Writes one reference request per iteration; only write() is timed.
    void writes(benchmark::State& state, const KolvServerInfo& info) {
        KTrel::release();
        KTrel* trel = KTrel::instance();
        trel->initialize(info, 1);
        ReferenceRequest reference;
        for (auto _ : state) {
            state.PauseTiming();
            trel->reset();
            reference.collect(trel);
            state.ResumeTiming();
            trel->write();
        }
        state.counters["failed"] = failures;
        state.counters["budget_ms"] = KTrel::waitBudget();
    }

    int failures = 0;

private:
    int m_budget;
    int m_busy;
};

QSqlDatabase openOwn(const QString& name, const KolvServerInfo& info, const QString& sqlitePath) {
    QSqlDatabase db = QSqlDatabase::addDatabase(sqlitePath.isEmpty() ? "QMYSQL" : "QSQLITE", name);
    if (sqlitePath.isEmpty()) {
        db.setHostName(info.getDbHostName());
        db.setPort(info.getDbPort());
        db.setDatabaseName(info.getDbName());
        db.setUserName(info.getDbUsername());
        db.setPassword(info.getDbPassword());
    } else {
        db.setDatabaseName(sqlitePath);
    }
    db.open();
    return db;
}

void BM_WaitWriteLockedSqlite(benchmark::State& state) {
    QTemporaryDir dir;
    KolvServerInfo info;
    QString error;
    if (!dir.isValid() || !Installation::createSqlite(dir.path(), &error) ||
        !info.load(dir.path(), &error)) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    WaitRun run;
    {
        QSqlDatabase holder =
            openOwn(QStringLiteral("wait_holder"), info, Installation::databasePath(dir.path()));
        QSqlQuery(holder).exec(QStringLiteral("BEGIN IMMEDIATE"));
        run.writes(state, info);
        QSqlQuery(holder).exec(QStringLiteral("ROLLBACK"));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("wait_holder"));
}
BENCHMARK(BM_WaitWriteLockedSqlite)->Iterations(1)->Unit(benchmark::kMillisecond);

KolvServerInfo mysqlSettings() {
    KolvServerInfo info;
    info.setDbType(QStringLiteral("QMYSQL"));
    info.setDbHostName(qEnvironmentVariable("TREL_TEST_MYSQL_HOST"));
    info.setDbPort(qEnvironmentVariable("TREL_TEST_MYSQL_PORT").toInt());
    info.setDbUsername(qEnvironmentVariable("TREL_TEST_MYSQL_USER"));
    info.setDbPassword(qEnvironmentVariable("TREL_TEST_MYSQL_PASSWORD"));
    info.setDbName(qEnvironmentVariable("TREL_TEST_MYSQL_DATABASE"));
    return info;
}

void BM_WaitWriteSilentMariaDB(benchmark::State& state) {
    // Connections land in the backlog of a socket nobody accepts from or answers on.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        state.SkipWithError("cannot listen on a local port");
        if (fd >= 0)
            ::close(fd);
        return;
    }
    QTemporaryDir dir;
    KolvServerInfo info = mysqlSettings();
    info.setRoot(dir.path());
    info.setDbPort(ntohs(address.sin_port));
    {
        WaitRun run;
        run.writes(state, info);
    }
    ::close(fd);
}
BENCHMARK(BM_WaitWriteSilentMariaDB)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_WaitWriteMariaDBHoldingTheStatement(benchmark::State& state) {
    if (qEnvironmentVariableIsEmpty("TREL_TEST_MYSQL_PORT")) {
        state.SkipWithError("no test MariaDB server (TREL_TEST_MYSQL_PORT)");
        return;
    }
    // A database of its own, with the schema, dropped at the end.
    QTemporaryDir dir;
    KolvServerInfo info = mysqlSettings();
    const QString database =
        QStringLiteral("trel_wait_%1").arg(QUuid::createUuid().toString(QUuid::Id128).left(12));
    const QString admin = QStringLiteral("wait_admin");
    QString error;
    {
        QSqlDatabase db = openOwn(admin, info, QString());
        QSqlQuery(db).exec(QStringLiteral("CREATE DATABASE %1").arg(database));
        info.setDbName(database);
        if (!Installation::createMySql(dir.path(), info, QString(), &error) ||
            !info.load(dir.path(), &error)) {
            state.SkipWithError(qPrintable(error));
        } else {
            QSqlDatabase holder = openOwn(QStringLiteral("wait_holder"), info, QString());
            QSqlQuery(holder).exec(QStringLiteral("LOCK TABLES trel_requests WRITE"));
            {
                WaitRun run;
                run.writes(state, info);
            }
            QSqlQuery(holder).exec(QStringLiteral("UNLOCK TABLES"));
        }
        QSqlQuery(db).exec(QStringLiteral("DROP DATABASE IF EXISTS %1").arg(database));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("wait_holder"));
    QSqlDatabase::removeDatabase(admin);
}

// Ten seconds of waiting per iteration: only in a full run.
const bool holdingRegistered =
    !shortWaits() && benchmark::RegisterBenchmark("BM_WaitWriteMariaDBHoldingTheStatement",
                                                  BM_WaitWriteMariaDBHoldingTheStatement)
                         ->Iterations(1)
                         ->Unit(benchmark::kMillisecond);

} // namespace
