// The longest one write() waits before it gives up: against a SQLite file whose write
// lock another connection holds, against a MariaDB server that accepts connections and
// never answers (the connect timeout), and against one that holds the statement without
// a word (the read timeout). Each iteration is one write, which fails and is logged.
// Under TREL_BENCH_SHORT=1 the wait budget and the busy timeout are shortened and the
// read-timeout case is left out, so that the test command's run stays short.

#include "benchsupport.h"
#include "installation.h"

#include <trel/trel.h>

#include <kolv/kolvdbsqliteinfo.h>

#include <benchmark/benchmark.h>

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Shortens the waits of a short run for as long as it lives.
class ShortWaits {
public:
    ShortWaits() : m_budget(KTrel::waitBudget()), m_busy(KolvDbSQliteInfo::busyTimeout()) {
        if (shortRun()) {
            KTrel::setWaitBudget(300);
            KolvDbSQliteInfo::setBusyTimeout(100);
        }
    }
    ~ShortWaits() {
        KTrel::setWaitBudget(m_budget);
        KolvDbSQliteInfo::setBusyTimeout(m_busy);
    }
    ShortWaits(const ShortWaits&) = delete;
    ShortWaits& operator=(const ShortWaits&) = delete;

private:
    int m_budget;
    int m_busy;
};

// Each iteration is one write, which waits for as long as it may and then gives up.
void waitingWrites(benchmark::State& state, const KolvServerInfo& info) {
    ShortWaits waits;
    runWrites(state, info);
    state.counters["budget_ms"] = KTrel::waitBudget();
}

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
    SqliteInstall install;
    if (!install.ok) {
        state.SkipWithError("no SQLite installation");
        return;
    }
    {
        QSqlDatabase holder = openOwn(QStringLiteral("wait_holder"), install.info,
                                      Installation::databasePath(install.dir.path()));
        QSqlQuery(holder).exec(QStringLiteral("BEGIN IMMEDIATE"));
        waitingWrites(state, install.info);
        QSqlQuery(holder).exec(QStringLiteral("ROLLBACK"));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("wait_holder"));
}
BENCHMARK(BM_WaitWriteLockedSqlite)->Iterations(1)->Unit(benchmark::kMillisecond);

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
    KolvServerInfo info = testServerSettings();
    info.setDbName(qEnvironmentVariable("TREL_TEST_MYSQL_DATABASE"));
    info.setRoot(dir.path());
    info.setDbPort(ntohs(address.sin_port));
    waitingWrites(state, info);
    ::close(fd);
}
BENCHMARK(BM_WaitWriteSilentMariaDB)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_WaitWriteMariaDBHoldingTheStatement(benchmark::State& state) {
    MySqlInstall install;
    if (!install.ok) {
        state.SkipWithError(qPrintable(install.error));
        return;
    }
    {
        QSqlDatabase holder = openOwn(QStringLiteral("wait_holder"), install.info, QString());
        QSqlQuery(holder).exec(QStringLiteral("LOCK TABLES trel_requests WRITE"));
        waitingWrites(state, install.info);
        QSqlQuery(holder).exec(QStringLiteral("UNLOCK TABLES"));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("wait_holder"));
}

// Ten seconds of waiting per iteration: only in a full run.
const bool holdingRegistered =
    !shortRun() && benchmark::RegisterBenchmark("BM_WaitWriteMariaDBHoldingTheStatement",
                                                BM_WaitWriteMariaDBHoldingTheStatement)
                       ->Iterations(1)
                       ->Unit(benchmark::kMillisecond);

} // namespace
