// Retention cleanup: the newest requests stay, the others go with every row that
// belongs to them, in batches of whole requests; a failure rolls back the batch at hand.

#include "storage/storagetest.h"
#include "support/logcapture.h"

#include <trel/trel.h>

#include <kolv/kexception.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QSqlQuery>

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

class Cleanup : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        ASSERT_TRUE(inst.ok());
        trel = KTrel::instance();
        trel->initialize(inst.serverInfo(), 1);
    }
    void TearDown() override { KTrel::release(); }

    bool sqlite() const { return GetParam() == Backend::Sqlite; }

    // Writes `n` requests with every section; the later a request, the older its start
    // time. Returns their ids in writing order.
    QList<qint64> writeRequests(int n) {
        QList<qint64> ids;
        for (int i = 0; i < n; ++i) {
            trel->reset();
            const QString tag = QStringLiteral("r%1").arg(i);
            setRequestFacts(trel, QStringLiteral("http://keep.example/%1").arg(tag));
            trel->setRequestStartTime(
                QDateTime::fromMSecsSinceEpoch(Q_INT64_C(1700000000000) - i * 1000, Qt::UTC));
            addEverySection(trel, tag);
            trel->write();
            ids << trel->getRequestId();
        }
        EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), n);
        return ids;
    }
    QList<qint64> storedIds() {
        QList<qint64> ids;
        for (const QVariantList& row :
             inst.rows(QStringLiteral("SELECT id FROM trel_requests ORDER BY id")))
            ids << row.at(0).toLongLong();
        return ids;
    }
    // The rows of every per-request table that belong to `id`.
    qint64 rowsOf(qint64 id) {
        qint64 rows = 0;
        for (const QString& table : TestInstallation::requestTables())
            rows += inst.count(table, QStringLiteral("request_id = %1").arg(id));
        return rows;
    }
    void ddl(const QString& sql) {
        QSqlQuery query(inst.db());
        if (!query.exec(sql))
            ADD_FAILURE() << sql.toStdString() << ": " << query.lastError().text().toStdString();
    }

    TestInstallation inst{GetParam()};
    KTrel* trel = nullptr;
};

TEST_P(Cleanup, NewestRequestsByIdStayAndNothingOfTheOthersRemains) {
    const QList<qint64> ids = writeRequests(10);
    ASSERT_EQ(inst.orphanRows(), 0);
    const qint64 perRequest = rowsOf(ids.last());
    ASSERT_EQ(perRequest,
              7); // two queries, an error, a function, an event, the breakdown, a sample
    LogCapture log;

    trel->cleanupDb(3);

    EXPECT_EQ(log.texts(3), QStringList(QStringLiteral("Deleted requests: 7")));
    EXPECT_EQ(log.count(QStringLiteral("Deleted requests:"), 3), 1);
    // The kept ones are the highest ids, though their start times are the oldest.
    EXPECT_EQ(storedIds(), ids.mid(7));
    EXPECT_EQ(inst.orphanRows(), 0);
    for (qint64 id : ids.mid(7))
        EXPECT_EQ(rowsOf(id), perRequest);
    EXPECT_EQ(inst.count(QStringLiteral("trel_backtrace")), 3 * 2);
    // URLs and statements that only the deleted requests used go with them.
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests_urls")), 3);
    EXPECT_EQ(inst.count(QStringLiteral("trel_sql_statements")), 3);
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests"),
                         QStringLiteral("url_id NOT IN (SELECT id FROM trel_requests_urls)")),
              0);
}

TEST_P(Cleanup, KeepingAtLeastAsManyAsStoredDeletesNothing) {
    const QList<qint64> ids = writeRequests(3);
    const qint64 before = rowsEverywhere(inst);
    LogCapture log;
    trel->cleanupDb(3);
    trel->cleanupDb(1000);
    // Beyond the signed 32-bit range: still "keep everything".
    trel->cleanupDb(4294967295u);
    EXPECT_EQ(log.texts(3), QStringList({QStringLiteral("Deleted requests: 0"),
                                         QStringLiteral("Deleted requests: 0"),
                                         QStringLiteral("Deleted requests: 0")}));
    EXPECT_EQ(storedIds(), ids);
    EXPECT_EQ(rowsEverywhere(inst), before);
}

TEST_P(Cleanup, KeepingZeroDeletesEveryRequestRow) {
    writeRequests(3);
    LogCapture log;
    trel->cleanupDb(0);
    EXPECT_EQ(log.texts(3), QStringList(QStringLiteral("Deleted requests: 3")));
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 0);
    for (const QString& table : TestInstallation::requestTables())
        EXPECT_EQ(inst.count(table), 0) << table.toStdString();
    EXPECT_EQ(inst.count(QStringLiteral("trel_backtrace")), 0);
    EXPECT_EQ(inst.orphanRows(), 0);

    // A later write is stored as usual.
    writeRequests(1);
    EXPECT_EQ(inst.orphanRows(), 0);
}

TEST_P(Cleanup, FailingDeleteRollsBackAndReachesTheCaller) {
    const QList<qint64> ids = writeRequests(5);
    const qint64 before = rowsEverywhere(inst);
    // The fourth request refuses to go, after others may already have gone.
    if (sqlite())
        ddl(QStringLiteral(
                "CREATE TRIGGER keep_one BEFORE DELETE ON trel_requests WHEN OLD.id = %1 "
                "BEGIN SELECT RAISE(ABORT, 'request is pinned'); END")
                .arg(ids.at(3)));
    else
        ddl(QStringLiteral(
                "CREATE TRIGGER keep_one BEFORE DELETE ON trel_requests FOR EACH ROW BEGIN "
                "IF OLD.id = %1 THEN SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = "
                "'request is pinned'; END IF; END")
                .arg(ids.at(3)));
    LogCapture log;
    PauseRecorder pauses;
    try {
        trel->cleanupDb(0);
        ADD_FAILURE() << "cleanupDb returned";
    } catch (const KException& e) {
        EXPECT_THAT(e.what(), HasSubstr("request is pinned"));
        EXPECT_THAT(e.what(), HasSubstr("DELETE FROM trel_requests"));
    }
    EXPECT_TRUE(log.texts().isEmpty()) << log.texts().join('\n').toStdString();
    EXPECT_TRUE(pauses.pauses().empty());
    EXPECT_EQ(storedIds(), ids);
    EXPECT_EQ(rowsEverywhere(inst), before);

    ddl(QStringLiteral("DROP TRIGGER keep_one"));
    trel->cleanupDb(1);
    EXPECT_EQ(log.count(QStringLiteral("Deleted requests: 4")), 1);
    EXPECT_EQ(storedIds(), ids.mid(4));
    EXPECT_EQ(inst.orphanRows(), 0);
}

// More requests than one batch takes (the first takes the oldest 500): a request that
// refuses to go fails its batch alone; the batch before it stays deleted, the rest
// stays whole with its owner, and no row of any request is left without it.
TEST_P(Cleanup, FailureInALaterBatchKeepsTheEarlierBatchesDeletedAndEveryRequestWhole) {
    const QList<qint64> ids = writeRequests(600);
    ASSERT_TRUE(inst.exec(
        QStringLiteral("INSERT INTO trel_request_owners (request_id, token_hash) SELECT id, "
                       "X'0102' FROM trel_requests")));
    const qint64 perRequest = rowsOf(ids.last());
    if (sqlite())
        ddl(QStringLiteral(
                "CREATE TRIGGER keep_one BEFORE DELETE ON trel_requests WHEN OLD.id = %1 "
                "BEGIN SELECT RAISE(ABORT, 'request is pinned'); END")
                .arg(ids.at(550)));
    else
        ddl(QStringLiteral(
                "CREATE TRIGGER keep_one BEFORE DELETE ON trel_requests FOR EACH ROW BEGIN "
                "IF OLD.id = %1 THEN SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = "
                "'request is pinned'; END IF; END")
                .arg(ids.at(550)));
    LogCapture log;
    EXPECT_THROW(trel->cleanupDb(10), KException);
    EXPECT_EQ(log.count(QStringLiteral("Deleted requests:")), 0);
    EXPECT_EQ(storedIds(), ids.mid(500));
    EXPECT_EQ(inst.orphanRows(), 0);
    EXPECT_EQ(inst.count(QStringLiteral("trel_request_owners")), 100);
    for (qint64 id : {ids.at(500), ids.at(550), ids.at(599)})
        EXPECT_EQ(rowsOf(id), perRequest) << id;

    ddl(QStringLiteral("DROP TRIGGER keep_one"));
    trel->cleanupDb(10);
    EXPECT_EQ(log.count(QStringLiteral("Deleted requests: 90"), 3), 1);
    EXPECT_EQ(storedIds(), ids.mid(590));
    EXPECT_EQ(inst.count(QStringLiteral("trel_request_owners")), 10);
    EXPECT_EQ(inst.orphanRows(), 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, Cleanup, ::testing::Values(Backend::Sqlite, Backend::MySql),
                         [](const auto& info) { return backendName(info.param); });

using CleanupOnLockedSqlite = CollectorTest;

TEST_F(CleanupOnLockedSqlite, DeleteIsRetriedThreeTimesThenRaised) {
    BusyTimeout noBusyWait(0);
    TestInstallation inst(Backend::Sqlite);
    ASSERT_TRUE(inst.ok());
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    setRequestFacts(trel, QStringLiteral("http://locked.example/"));
    trel->write();
    ASSERT_EQ(inst.count(QStringLiteral("trel_requests")), 1);

    OwnConnection holder(inst);
    holder.exec(QStringLiteral("BEGIN IMMEDIATE"));
    LogCapture log;
    PauseRecorder pauses;
    try {
        trel->cleanupDb(0);
        ADD_FAILURE() << "cleanupDb returned";
    } catch (const KException& e) {
        EXPECT_THAT(e.what(), HasSubstr("database is locked"));
    }
    EXPECT_THAT(pauses.pauses(), ElementsAre(500, 500, 500));
    EXPECT_EQ(log.texts(),
              QStringList({QStringLiteral("DB is locked. Performing retry number: 1"),
                           QStringLiteral("DB is locked. Performing retry number: 2"),
                           QStringLiteral("DB is locked. Performing retry number: 3")}));
    holder.exec(QStringLiteral("COMMIT"));
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 1);

    log.clear();
    trel->cleanupDb(0);
    EXPECT_EQ(log.texts(3), QStringList(QStringLiteral("Deleted requests: 1")));
}

} // namespace
