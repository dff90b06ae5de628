// One call of the library waits a bounded time for a database that stays locked or
// does not answer, and reports the failure as it reports any other. The bounds are
// checked loosely here; the benchmarks give the figures.

#include "storage/storagetest.h"
#include "support/logcapture.h"

#include <trel/trel.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

qint64 msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

// Accepts TCP connections into its backlog and never says a word: the client's connect
// succeeds and the server's greeting never comes.
class SilentServer {
public:
    SilentServer() {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(m_fd, 16) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        m_port = ntohs(address.sin_port);
    }
    ~SilentServer() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;
    int port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

class BoundedWaits : public CollectorTest {
protected:
    void fillRequest() {
        KTrel* trel = KTrel::instance();
        trel->reset();
        setRequestFacts(trel, QStringLiteral("http://bounded.example/"));
        addEverySection(trel, QStringLiteral("b"));
    }
    LogCapture log;
};

TEST_F(BoundedWaits, SqliteWriteAgainstAHeldWriteLockGivesUpWithinTheBudget) {
    TestInstallation inst(Backend::Sqlite);
    ASSERT_TRUE(inst.ok());
    // Shorter than the defaults (10 s, 2 s), so that the test stays fast.
    const int budgetMs = 1500, busyMs = 300;
    const int oldBudget = KTrel::waitBudget();
    KTrel::setWaitBudget(budgetMs);
    BusyTimeout busy(busyMs);
    KTrel::instance()->initialize(inst.serverInfo(), 1);
    OwnConnection holder(inst);
    holder.exec(QStringLiteral("BEGIN IMMEDIATE"));

    fillRequest();
    const auto start = std::chrono::steady_clock::now();
    KTrel::instance()->write();
    const qint64 elapsed = msSince(start);
    holder.exec(QStringLiteral("ROLLBACK"));
    KTrel::setWaitBudget(oldBudget);

    // Without the budget the executor's ten retries per statement took far longer.
    EXPECT_LT(elapsed, budgetMs + busyMs + 1500);
    EXPECT_EQ(log.count(QStringLiteral("KTrel::write:"), 0), 1)
        << log.texts(0).join('\n').toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral(
        "DB is locked. No retry: the operation's time for database waits is used up")));
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 0);

    // The lock gone, the next request is written.
    fillRequest();
    KTrel::instance()->write();
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 1);
}

TEST_F(BoundedWaits, MySqlServerThatNeverAnswersCostsEachCallTheConnectTimeout) {
    TestInstallation inst(Backend::MySql);
    ASSERT_TRUE(inst.ok());
    SilentServer silent;
    ASSERT_GT(silent.port(), 0);
    KolvServerInfo info = inst.serverInfo();
    info.setDbPort(silent.port());
    const qint64 connectMs = 3000, slackMs = 2500;
    // A budget shorter than one connect timeout: after the first attempt of a call, no
    // other connection is tried.
    const int oldBudget = KTrel::waitBudget();
    KTrel::setWaitBudget(500);

    auto start = std::chrono::steady_clock::now();
    KTrel::instance()->initialize(info, 1);
    EXPECT_LT(msSince(start), connectMs + slackMs);

    fillRequest();
    start = std::chrono::steady_clock::now();
    KTrel::instance()->write();
    EXPECT_LT(msSince(start), connectMs + slackMs);
    EXPECT_EQ(log.count(QStringLiteral("KTrel::write:"), 0), 1);

    QString hosts;
    qint64 ttl = 0;
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(KTrel::instance()->isTokenOK(QStringLiteral("any"), hosts, ttl, 1));
    EXPECT_LT(msSince(start), connectMs + slackMs);
    KTrel::setWaitBudget(oldBudget);
}

TEST_F(BoundedWaits, MySqlStatementThatGetsNoAnswerIsGivenUpAfterTheReadTimeout) {
    TestInstallation inst(Backend::MySql);
    ASSERT_TRUE(inst.ok());
    KTrel::instance()->initialize(inst.serverInfo(), 1);
    // The server holds the writer's insert until the lock goes, and says nothing.
    OwnConnection holder(inst);
    holder.exec(QStringLiteral("LOCK TABLES trel_requests WRITE"));

    fillRequest();
    const auto start = std::chrono::steady_clock::now();
    KTrel::instance()->write();
    const qint64 elapsed = msSince(start);
    holder.exec(QStringLiteral("UNLOCK TABLES"));

    const qint64 readMs = 10000;
    EXPECT_GE(elapsed, readMs - 500);
    EXPECT_LT(elapsed, readMs + 3000);
    EXPECT_EQ(log.count(QStringLiteral("KTrel::write:"), 0), 1);
    // The session went with its transaction: nothing of the request stays.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 0) << rowCounts(inst).toStdString();

    fillRequest();
    KTrel::instance()->write();
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 1);
}

} // namespace
