// Cleanup in another process removes the URL and statement rows that no kept request
// uses, while a worker still holds their ids in its caches: the worker's next request
// must point at rows that exist.

#include "storage/storagetest.h"
#include "support/logcapture.h"

#include <trel/trel.h>

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

#ifndef TREL_CLI
#error "TREL_CLI must name the built trel program"
#endif

namespace {

const QString url = QStringLiteral("http://race.example/cart");
const QString statement = QStringLiteral("SELECT * FROM carts WHERE id = ?");

class CleanupRace : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        ASSERT_TRUE(inst.ok());
        trel = KTrel::instance();
        trel->initialize(inst.serverInfo(), 1);
    }
    void TearDown() override { KTrel::release(); }

    void collectRequest(const QString& requestUrl = url, const QString& prepared = statement) {
        trel->reset();
        setRequestFacts(trel, requestUrl);
        KTrel::SqlQuery query;
        query.preparedStatement = prepared;
        query.resolvedStatement = prepared;
        query.hasPreparedStatement = true;
        trel->addRequestSqlQuery(query);
    }
    void startCleanup(QProcess& process, int keep) {
        process.start(QStringLiteral(TREL_CLI), {QStringLiteral("cleanup"), inst.root(),
                                                 QStringLiteral("--keep"), QString::number(keep)});
        ASSERT_TRUE(process.waitForStarted());
    }
    void finishCleanup(QProcess& process) {
        ASSERT_TRUE(process.waitForFinished(60000));
        EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    }
    // The newest request points at stored rows with the request's texts.
    void expectNewestRequestWhole() {
        const qint64 id =
            inst.scalar(QStringLiteral("SELECT MAX(id) FROM trel_requests")).toLongLong();
        EXPECT_EQ(
            inst.scalar(QStringLiteral("SELECT u.url FROM trel_requests r JOIN "
                                       "trel_requests_urls u ON u.id = r.url_id WHERE r.id = ?"),
                        {QVariant(id)})
                .toString(),
            url);
        EXPECT_EQ(inst.scalar(QStringLiteral("SELECT s.prepared_statement FROM trel_sql_queries q "
                                             "JOIN trel_sql_statements s ON s.id = "
                                             "q.prepared_statement_id WHERE q.request_id = ?"),
                              {QVariant(id)})
                      .toString(),
                  statement);
        EXPECT_EQ(inst.orphanRows(), 0);
    }

    TestInstallation inst{GetParam()};
    KTrel* trel = nullptr;
};

TEST_P(CleanupRace, CachedIdsOfRowsThatCleanupRemovedAreNotWritten) {
    collectRequest();
    trel->write();
    QProcess cleanup;
    collectRequest(QStringLiteral("http://race.example/other"), QStringLiteral("SELECT 2"));
    trel->write();
    startCleanup(cleanup, 0);
    finishCleanup(cleanup);
    ASSERT_EQ(
        inst.count(QStringLiteral("trel_requests_urls"), QStringLiteral("url = '%1'").arg(url)), 0);
    ASSERT_EQ(inst.count(QStringLiteral("trel_sql_statements"),
                         QStringLiteral("prepared_statement LIKE 'SELECT * FROM carts%'")),
              0);
    // Texts stored after the cleanup must not take the ids of removed rows, which this
    // worker still caches for the old texts.
    collectRequest(QStringLiteral("http://race.example/new"), QStringLiteral("SELECT 3"));
    trel->write();

    LogCapture log;
    collectRequest();
    trel->write();
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
    EXPECT_EQ(log.count(QStringLiteral("Trel: the request named a URL or statement"), 4), 1);
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 2);
    expectNewestRequestWhole();
}

INSTANTIATE_TEST_SUITE_P(Backends, CleanupRace, ::testing::Values(Backend::Sqlite, Backend::MySql),
                         [](const auto& info) { return backendName(info.param); });

// MariaDB: cleanup starts after the writer found its cached rows present and before it
// commits. The writer's rows must survive the cleanup that waited for it.
using CleanupRaceOnMariaDb = CleanupRace;

TEST_P(CleanupRaceOnMariaDb, CleanupDuringTheWriteKeepsTheRowsTheWriteUses) {
    collectRequest();
    trel->write();
    QProcess cleanup;
    bool waited = false;
    {
        SqlTrace trace([&](const QString& traced) {
            // The writer's check before its commit.
            if (waited ||
                !traced.startsWith(QLatin1String(
                    "SELECT (SELECT COUNT(*) FROM trel_requests WHERE id = :own_request)")))
                return;
            waited = true;
            startCleanup(cleanup, 1);
            // Until the cleanup's session waits for this write's locks.
            QElapsedTimer timer;
            timer.start();
            while (timer.elapsed() < 20000 &&
                   inst.count(QStringLiteral("information_schema.PROCESSLIST"),
                              QStringLiteral("INFO LIKE 'SELECT %trel_requests%LOCK IN SHARE "
                                             "MODE' OR INFO LIKE 'DELETE%'")) == 0)
                QThread::msleep(20);
            EXPECT_LT(timer.elapsed(), 20000) << "the cleanup never waited for the write";
        });
        collectRequest();
        trel->write();
    }
    ASSERT_TRUE(waited);
    finishCleanup(cleanup);
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 1);
    expectNewestRequestWhole();
}

INSTANTIATE_TEST_SUITE_P(Backends, CleanupRaceOnMariaDb, ::testing::Values(Backend::MySql),
                         [](const auto& info) { return backendName(info.param); });

} // namespace
