// The request writer: one transaction per request with its data size, the switches that
// keep it from the database, and failures anywhere in a write (a refused statement, a
// table gone, a failed commit, a locked SQLite file, a MariaDB session lost midway)
// leaving no row of the request and one "KTrel::write:" line.

#include "storage/storagetest.h"
#include "support/logcapture.h"

#include <trel/ktrelrequestjson.h>
#include <trel/trel.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>

#include <utility>

using ::testing::Each;
using ::testing::HasSubstr;

namespace {

// Runs a statement on the test's own connection without preparing it (MariaDB does not
// prepare every data-definition statement).
void ddl(TestInstallation& inst, const QString& sql) {
    QSqlQuery query(inst.db());
    if (!query.exec(sql))
        ADD_FAILURE() << sql.toStdString() << ": " << query.lastError().text().toStdString();
}

class Writer : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        ASSERT_TRUE(inst.ok());
        trel = KTrel::instance();
        trel->initialize(inst.serverInfo(), 1);
        trel->reset();
    }
    void TearDown() override { KTrel::release(); }

    bool sqlite() const { return GetParam() == Backend::Sqlite; }
    // The one request row's column.
    QVariant column(const QString& name) {
        return inst.scalar(QStringLiteral("SELECT %1 FROM trel_requests").arg(name));
    }
    // Every stored reference of the request resolves: its URL, statements and backtraces.
    void expectCompleteRequest(const QString& url) {
        EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 1);
        EXPECT_EQ(inst.scalar(QStringLiteral("SELECT u.url FROM trel_requests r JOIN "
                                             "trel_requests_urls u ON u.id = r.url_id"))
                      .toString(),
                  url);
        EXPECT_EQ(inst.count(QStringLiteral("trel_sql_queries")), 2);
        EXPECT_EQ(inst.count(QStringLiteral("trel_sql_queries q"),
                             QStringLiteral("q.prepared_statement_id IN (SELECT id FROM "
                                            "trel_sql_statements)")),
                  1);
        EXPECT_EQ(inst.count(QStringLiteral("trel_sql_queries q"),
                             QStringLiteral("q.backtrace_id IN (SELECT id FROM trel_backtrace)")),
                  1);
        EXPECT_EQ(inst.count(QStringLiteral("trel_log_entries")), 1);
        EXPECT_EQ(inst.count(QStringLiteral("trel_log_entries e"),
                             QStringLiteral("e.backtrace_id IN (SELECT id FROM trel_backtrace)")),
                  1);
        for (const QString& table :
             {QStringLiteral("trel_functions_stats"), QStringLiteral("trel_monitor_events"),
              QStringLiteral("trel_processing_breakdown"), QStringLiteral("trel_superglobals_data"),
              QStringLiteral("trel_requests_urls"), QStringLiteral("trel_sql_statements")})
            EXPECT_EQ(inst.count(table), 1) << table.toStdString();
        EXPECT_EQ(inst.count(QStringLiteral("trel_backtrace")), 2);
        EXPECT_EQ(inst.orphanRows(), 0);
        EXPECT_NE(column(QStringLiteral("data_size")).toLongLong(), -1);
    }

    TestInstallation inst{GetParam()};
    KTrel* trel = nullptr;
};

TEST_P(Writer, RequestRowAndItsDataSizeAreCommittedTogether) {
    const QString url = QStringLiteral("http://shop.example/cart?id=1");
    setRequestFacts(trel, url);
    trel->setRequestStatus(404);
    trel->setIsPrimaryPage(true);
    trel->getRequest().setPeakMemoryUsage(Q_INT64_C(5000000000));
    trel->getRequest().setMemoryLimit(Q_INT64_C(134217728));
    LogCapture log;
    // What another connection sees after each statement of the write.
    QList<qint64> requestsSeen;
    SqlTrace trace(
        [&](const QString&) { requestsSeen << inst.count(QStringLiteral("trel_requests")); });

    trel->write();

    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts().join('\n').toStdString();
    ASSERT_FALSE(requestsSeen.isEmpty());
    EXPECT_THAT(requestsSeen, Each(0)) << "nothing is visible before the commit";
    EXPECT_GE(trace.count(QStringLiteral("INSERT INTO trel_requests (")), 1);
    EXPECT_GE(trace.count(QStringLiteral("UPDATE trel_requests SET data_size")), 1);
    EXPECT_TRUE(
        trace.statements().last().startsWith(QLatin1String("UPDATE trel_requests SET data_size")));

    ASSERT_EQ(inst.count(QStringLiteral("trel_requests")), 1);
    const QList<QVariantList> rows = inst.rows(QStringLiteral(
        "SELECT r.id, r.page_id, u.url, r.status_code, r.method, r.start_time, r.request_time, "
        "r.is_primary_page, r.peak_memory_usage, r.data_size, r.memory_limit FROM trel_requests r "
        "JOIN trel_requests_urls u ON u.id = r.url_id"));
    ASSERT_EQ(rows.size(), 1);
    const QVariantList& row = rows.first();
    EXPECT_EQ(row.at(0).toLongLong(), trel->getRequestId());
    EXPECT_EQ(row.at(1).toString(), QStringLiteral("abc"));
    EXPECT_EQ(row.at(2).toString(), url);
    EXPECT_EQ(row.at(3).toInt(), 404);
    EXPECT_EQ(row.at(4).toString(), QStringLiteral("GET"));
    EXPECT_EQ(row.at(5).toLongLong(), Q_INT64_C(1700000000123));
    EXPECT_EQ(row.at(6).toLongLong(), 5000);
    EXPECT_EQ(row.at(7).toInt(), 1);
    EXPECT_EQ(row.at(8).toLongLong(), Q_INT64_C(5000000000));
    EXPECT_EQ(row.at(9).toLongLong(), 0) << "36 + 3 + 3 + 20 bytes, in units of 1024";
    EXPECT_EQ(row.at(10).toLongLong(), Q_INT64_C(134217728));
    EXPECT_EQ(inst.count(QStringLiteral("trel_processing_breakdown"),
                         QStringLiteral("request_id = %1").arg(trel->getRequestId())),
              1);
    EXPECT_EQ(log.count(QStringLiteral("Trel: writing request data of ") + url +
                            QStringLiteral(" to the db"),
                        4),
              1);
}

// An installation made before the context was kept: the request is stored whole without
// it, the log says once what `trel init` adds, and the reads and the list do without it.
TEST_P(Writer, RequestIsStoredAndListedWithoutTheContextsTable) {
    ddl(inst, QStringLiteral("DROP TABLE trel_request_context"));
    LogCapture log;
    for (int i = 0; i < 2; ++i) {
        trel->reset();
        setRequestFacts(trel, QStringLiteral("http://old.example/"));
        addEverySection(trel, QStringLiteral("old"));
        trel->getContext().xhr = true;
        trel->write();
    }
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 2);
    EXPECT_EQ(log.count(QStringLiteral("Trel: the database lacks trel_request_context"), 1), 1);
    EXPECT_EQ(log.count(QStringLiteral("KTrel::write:"), 0), 0)
        << log.texts(0).join('\n').toStdString();
    KTrelStoredRequest stored;
    QString error;
    ASSERT_EQ(KTrelStoredRequest::load(inst.db(), trel->getRequestId(), &stored, &error),
              KTrelStoredRequest::Outcome::Found)
        << error.toStdString();
    EXPECT_FALSE(stored.hasContext);
    EXPECT_EQ(stored.queries.size(), 2);
    EXPECT_EQ(stored.queries.at(0).startUs, -1);
    EXPECT_TRUE(KTrelRequestJson::summary(stored).value(QStringLiteral("xhr")).isNull());
    KTrelStoredRequest::List list;
    ASSERT_EQ(KTrelStoredRequest::list(
                  inst.db(), KTrelStoredRequest::ListFilter(), [](const QString&) { return true; },
                  &list, &error),
              KTrelStoredRequest::Outcome::Found)
        << error.toStdString();
    EXPECT_EQ(list.rows.size(), 2);
}

TEST_P(Writer, DataSizeIsStoredInWholeUnitsOf1024AndEachWriteIsARequest) {
    // 36 + page id + "GET" + 20 for the breakdown.
    trel->setRequest(QStringLiteral("http://a.example/"));
    trel->setRequestMethod(QStringLiteral("GET"));
    trel->setPageId(QString(1988, QLatin1Char('p'))); // 2047
    trel->write();
    const qint64 first = trel->getRequestId();
    trel->setPageId(QString(1989, QLatin1Char('p'))); // 2048
    trel->write();
    const qint64 second = trel->getRequestId();
    trel->setPageId(QString()); // 59
    trel->write();
    const qint64 third = trel->getRequestId();

    EXPECT_LT(first, second);
    EXPECT_LT(second, third);
    const QList<QVariantList> rows =
        inst.rows(QStringLiteral("SELECT id, data_size, page_id FROM trel_requests ORDER BY id"));
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(rows.at(0).at(0).toLongLong(), first);
    EXPECT_EQ(rows.at(0).at(1).toLongLong(), 1);
    EXPECT_EQ(rows.at(1).at(1).toLongLong(), 2);
    EXPECT_EQ(rows.at(2).at(0).toLongLong(), third);
    EXPECT_EQ(rows.at(2).at(1).toLongLong(), 0);
    EXPECT_EQ(rows.at(2).at(2).toString(), QString());
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests_urls")), 1);
    EXPECT_EQ(inst.count(QStringLiteral("trel_processing_breakdown")), 3);
}

TEST_P(Writer, RequestWhoseFactsWereNeverSetIsWrittenWithEmptyTexts) {
    LogCapture log;
    trel->write();
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
    const QList<QVariantList> rows =
        inst.rows(QStringLiteral("SELECT r.page_id, r.method, u.url, u.url_hash FROM trel_requests "
                                 "r JOIN trel_requests_urls "
                                 "u ON u.id = r.url_id"));
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows.at(0).at(0).toString(), QString());
    EXPECT_FALSE(rows.at(0).at(0).isNull());
    EXPECT_EQ(rows.at(0).at(1).toString(), QString());
    EXPECT_FALSE(rows.at(0).at(1).isNull());
    EXPECT_EQ(rows.at(0).at(2).toString(), QString());
    EXPECT_EQ(rows.at(0).at(3).toByteArray(), sha1(QString()));
}

TEST_P(Writer, RequestIdsBeyond32BitsReachTheSections) {
    const qint64 big = Q_INT64_C(5000000000);
    if (sqlite()) {
        ASSERT_TRUE(inst.exec(
            QStringLiteral("INSERT INTO trel_requests (id, page_id, method) VALUES (?, '', '')"),
            {QVariant(big - 1)}));
        ASSERT_TRUE(inst.exec(QStringLiteral("DELETE FROM trel_requests")));
    } else {
        ddl(inst, QStringLiteral("ALTER TABLE trel_requests AUTO_INCREMENT = %1").arg(big));
    }
    setRequestFacts(trel, QStringLiteral("http://big.example/"));
    addEverySection(trel, QStringLiteral("big"));
    trel->write();
    EXPECT_EQ(trel->getRequestId(), big);
    for (const QString& table : TestInstallation::requestTables())
        EXPECT_EQ(inst.count(table, QStringLiteral("request_id = %1").arg(big)),
                  1 + (table == QLatin1String("trel_sql_queries")))
            << table.toStdString();
    EXPECT_EQ(inst.orphanRows(), 0);
}

TEST_P(Writer, SwitchedOffWritesOpenNoConnection) {
    setRequestFacts(trel, QStringLiteral("http://off.example/"));
    addEverySection(trel, QStringLiteral("off"));
    // The host's kept connection: on SQLite the library shares it (a write would run its
    // statements on it, which the trace shows); on MariaDB it is busy, so a write would
    // open another session.
    trel->getDatabase();
    const QList<qint64> sessions = sqlite() ? QList<qint64>() : otherSessions(inst);

    trel->setEnableDatabaseWrite(false);
    trel->setCollectionEnabled(false);
    LogCapture log;
    SqlTrace trace;
    trel->write();
    trel->setCollectionEnabled(true);
    log.clear();
    trel->write();
    EXPECT_EQ(log.texts(),
              QStringList(QStringLiteral("Trel: database writes are disabled by directive")));
    EXPECT_EQ(log.texts(4).size(), 1);

    trel->setEnableDatabaseWrite(true);
    trel->setCollectionEnabled(false);
    log.clear();
    trel->write();
    EXPECT_TRUE(log.texts().isEmpty()) << log.texts().join('\n').toStdString();

    EXPECT_TRUE(trace.statements().isEmpty()) << trace.statements().join('\n').toStdString();
    EXPECT_EQ(rowsEverywhere(inst), 0);
    if (!sqlite()) {
        EXPECT_EQ(otherSessions(inst), sessions) << "no session was opened";
    }

    // The observation can tell: an enabled write does obtain a connection.
    trel->setCollectionEnabled(true);
    trel->write();
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 1);
    EXPECT_FALSE(trace.statements().isEmpty());
    if (!sqlite()) {
        EXPECT_EQ(otherSessions(inst).size(), sessions.size() + 1);
    }
}

TEST_P(Writer, RefusedLastStatementLeavesNoRowAndTheNextWriteStoresEverything) {
    if (sqlite())
        ddl(inst, QStringLiteral("CREATE TRIGGER refuse_size BEFORE UPDATE OF data_size ON "
                                 "trel_requests BEGIN SELECT RAISE(ABORT, 'size refused'); END"));
    else
        ddl(inst,
            QStringLiteral("CREATE TRIGGER refuse_size BEFORE UPDATE ON trel_requests FOR EACH "
                           "ROW SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'size refused'"));
    const QString url = QStringLiteral("http://refused.example/");
    setRequestFacts(trel, url);
    addEverySection(trel, QStringLiteral("refused"));
    LogCapture log;

    trel->write();

    EXPECT_EQ(log.count(QStringLiteral("KTrel::write:")), 1);
    EXPECT_EQ(log.count(QStringLiteral("KTrel::write:"), 0), 1);
    EXPECT_TRUE(log.contains(QStringLiteral("size refused")));
    EXPECT_EQ(log.texts(0).size(), 1) << log.texts(0).join('\n').toStdString();
    EXPECT_EQ(rowsEverywhere(inst), 0) << rowCounts(inst).toStdString();

    // The URL and the statement were first seen in the rolled-back write: their ids
    // must not be taken from the cache now.
    ddl(inst, QStringLiteral("DROP TRIGGER refuse_size"));
    log.clear();
    trel->write();
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
    expectCompleteRequest(url);
}

TEST_P(Writer, TableMissingInTheMiddleOfTheSectionsLeavesNoRow) {
    const QString away = QStringLiteral("trel_log_entries_away");
    if (sqlite())
        ddl(inst, QStringLiteral("ALTER TABLE trel_log_entries RENAME TO %1").arg(away));
    else
        ddl(inst, QStringLiteral("RENAME TABLE trel_log_entries TO %1").arg(away));
    const QString url = QStringLiteral("http://missing.example/");
    setRequestFacts(trel, url);
    addEverySection(trel, QStringLiteral("missing"));
    LogCapture log;
    SqlTrace trace;

    trel->write();

    // The request row, the first section and its backtrace, URL and statement had been
    // inserted before the failure.
    EXPECT_GE(trace.count(QStringLiteral("INSERT INTO trel_sql_queries")), 2);
    EXPECT_EQ(log.count(QStringLiteral("KTrel::write:"), 0), 1);
    EXPECT_EQ(log.texts(0).size(), 1) << log.texts(0).join('\n').toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("trel_log_entries")));
    if (sqlite())
        ddl(inst, QStringLiteral("ALTER TABLE %1 RENAME TO trel_log_entries").arg(away));
    else
        ddl(inst, QStringLiteral("RENAME TABLE %1 TO trel_log_entries").arg(away));
    EXPECT_EQ(rowsEverywhere(inst), 0) << rowCounts(inst).toStdString();

    log.clear();
    trel->write();
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
    expectCompleteRequest(url);
}

TEST_P(Writer, FailedCommitIsAFailureAndLeavesNoRow) {
    const QString url = QStringLiteral("http://commit.example/");
    setRequestFacts(trel, url);
    addEverySection(trel, QStringLiteral("commit"));
    LogCapture log;
    if (sqlite()) {
        // A foreign key checked only at the commit: every request row refers to a parent
        // that does not exist. The library's connection is the host's kept one, on
        // which the check is switched on.
        ddl(inst, QStringLiteral("CREATE TABLE commit_parent (id INTEGER PRIMARY KEY)"));
        ddl(inst, QStringLiteral("CREATE TABLE commit_guard (request_id INTEGER REFERENCES "
                                 "commit_parent(id) DEFERRABLE INITIALLY DEFERRED)"));
        ddl(inst, QStringLiteral("CREATE TRIGGER guard AFTER INSERT ON trel_requests BEGIN "
                                 "INSERT INTO commit_guard VALUES (NEW.id); END"));
        QSqlDatabase& held = trel->getDatabase();
        ASSERT_TRUE(QSqlQuery(held).exec(QStringLiteral("PRAGMA foreign_keys = ON")));
        trel->write();
        EXPECT_EQ(inst.count(QStringLiteral("commit_guard")), 0);
        // The failed transaction is over: the next write begins its own.
        ASSERT_TRUE(QSqlQuery(held).exec(QStringLiteral("PRAGMA foreign_keys = OFF")));
    } else {
        GTEST_SKIP() << "a MariaDB commit fails when its session is lost, which the writer "
                        "checks and survives: WriterOnMariaDb.CommitWhoseSessionIsLost...";
    }
    EXPECT_EQ(log.count(QStringLiteral("KTrel::write:"), 0), 1);
    EXPECT_TRUE(log.contains(QStringLiteral("commit failed")))
        << log.texts().join('\n').toStdString();
    EXPECT_EQ(rowsEverywhere(inst), 0) << rowCounts(inst).toStdString();

    log.clear();
    trel->write();
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
    expectCompleteRequest(url);
}

INSTANTIATE_TEST_SUITE_P(Backends, Writer, ::testing::Values(Backend::Sqlite, Backend::MySql),
                         [](const auto& info) { return backendName(info.param); });

// A SQLite file held locked by another connection for the whole write.
class WriterOnLockedSqlite : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(inst.ok());
        trel = KTrel::instance();
        trel->initialize(inst.serverInfo(), 1);
        trel->reset();
        setRequestFacts(trel, url);
        holder.exec(QStringLiteral("BEGIN IMMEDIATE"));
    }
    void TearDown() override { KTrel::release(); }

    BusyTimeout noBusyWait{0};
    TestInstallation inst{Backend::Sqlite};
    OwnConnection holder{inst};
    KTrel* trel = nullptr;
    const QString url = QStringLiteral("http://locked.example/");
};

TEST_F(WriterOnLockedSqlite, EveryStatementIsRetriedTenTimesThenTheWriteFailsCleanly) {
    LogCapture log;
    PauseRecorder pauses;

    trel->write();

    // The URL insert runs 11 times; its failure ends the write, logged once.
    QStringList retries;
    for (int i = 1; i <= 10; ++i)
        retries << QStringLiteral("DB is locked. Performing retry number: %1").arg(i);
    EXPECT_EQ(log.texts(5).filter(QStringLiteral("DB is locked")), retries);
    EXPECT_EQ(pauses.pauses(), std::vector<int>(10, 500));
    EXPECT_EQ(log.texts(0).size(), 1) << log.texts(0).join('\n').toStdString();
    EXPECT_EQ(log.count(QStringLiteral("KTrel::write:"), 0), 1);
    EXPECT_TRUE(log.contains(QStringLiteral("database is locked")));

    holder.exec(QStringLiteral("COMMIT"));
    EXPECT_EQ(rowsEverywhere(inst), 0);

    // The failed URL look-up left nothing behind: the next write resolves it.
    log.clear();
    trel->write();
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
    EXPECT_EQ(
        inst.scalar(QStringLiteral("SELECT u.url FROM trel_requests r JOIN trel_requests_urls u "
                                   "ON u.id = r.url_id"))
            .toString(),
        url);
}

TEST_F(WriterOnLockedSqlite, LockReleasedWhileRetryingLetsTheWriteThrough) {
    LogCapture log;
    PauseRecorder pauses([this](int pause) {
        if (pause == 3)
            holder.exec(QStringLiteral("COMMIT"));
    });

    trel->write();

    EXPECT_EQ(pauses.pauses().size(), 3u);
    EXPECT_EQ(log.texts(5).filter(QStringLiteral("DB is locked")).size(), 3);
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests"), QStringLiteral("url_id <> -1")), 1);
}

// On SQLite the host's kept connection is the writer's own: it sees the request row
// inside the write's transaction.
using WriterOnSqlite = CollectorTest;

TEST_F(WriterOnSqlite, RequestRowIsInsertedWithoutSizeAndSizedBeforeTheCommit) {
    TestInstallation inst(Backend::Sqlite);
    ASSERT_TRUE(inst.ok());
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    setRequestFacts(trel, QStringLiteral("http://size.example/"));
    trel->setPageId(QString(3000, QLatin1Char('p')));
    QSqlDatabase& shared = trel->getDatabase();
    QList<qint64> sizes;
    {
        SqlTrace trace([&](const QString&) {
            QSqlQuery query(shared);
            if (query.exec(QStringLiteral("SELECT data_size FROM trel_requests")) && query.next())
                sizes << query.value(0).toLongLong();
        });
        trel->write();
    }
    ASSERT_FALSE(sizes.isEmpty());
    EXPECT_EQ(sizes.first(), -1);
    EXPECT_EQ(sizes.last(), (36 + 3000 + 3 + 20) / 1024);
    EXPECT_EQ(inst.scalar(QStringLiteral("SELECT data_size FROM trel_requests")).toLongLong(), 2);
}

// A MariaDB session that ends in the middle of a write.
using WriterOnMariaDb = CollectorTest;

TEST_F(WriterOnMariaDb, SessionLostMidWriteLeavesNoRowAndTheNextWriteSucceeds) {
    TestInstallation inst(Backend::MySql);
    ASSERT_TRUE(inst.ok());
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    trel->reset();
    const QString url = QStringLiteral("http://lost.example/");
    setRequestFacts(trel, url);
    addEverySection(trel, QStringLiteral("lost"));
    LogCapture log;
    bool killed = false;
    {
        SqlTrace trace([&](const QString& statement) {
            if (killed || !statement.startsWith(QLatin1String("INSERT INTO trel_requests (")))
                return;
            killed = true;
            for (qint64 id : otherSessions(inst))
                inst.exec(QStringLiteral("KILL %1").arg(id));
        });
        trel->write();
    }
    EXPECT_TRUE(killed);
    EXPECT_EQ(log.count(QStringLiteral("KTrel::write:"), 0), 1);
    EXPECT_EQ(log.texts(0).size(), 1) << log.texts(0).join('\n').toStdString();
    EXPECT_EQ(rowsEverywhere(inst), 0) << rowCounts(inst).toStdString();

    log.clear();
    trel->write();
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 1);
    EXPECT_EQ(inst.count(QStringLiteral("trel_sql_queries")), 2);
    EXPECT_EQ(inst.orphanRows(), 0);
}

// The server ends the write's transaction without telling the statement that follows, as
// a Galera node has been seen to do when it aborts a transaction that a replicated write
// conflicts with (here a ROLLBACK on the writer's connection stands for it). The
// statements after it go into a new transaction that is never committed: the writer finds
// its request row gone before the commit, rolls back and writes the request again. No row
// of the first attempt is left behind.
TEST_F(WriterOnMariaDb, TransactionEndedSilentlyByTheServerLeavesNoRowOfIt) {
    TestInstallation inst(Backend::MySql);
    ASSERT_TRUE(inst.ok());
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    trel->reset();
    const QString url = QStringLiteral("http://ended.example/");
    setRequestFacts(trel, url);
    addEverySection(trel, QStringLiteral("ended"));
    LogCapture log;
    bool ended = false;
    {
        SqlTrace trace([&](const QString& statement) {
            if (ended || !statement.startsWith(QLatin1String("INSERT INTO trel_sql_queries")))
                return;
            ended = true;
            // The writer's is one of the process's open connections; on the others, which
            // hold no transaction, a ROLLBACK does nothing.
            for (const QString& name : QSqlDatabase::connectionNames()) {
                QSqlDatabase db = QSqlDatabase::database(name, false);
                if (db.isOpen() && db.driverName() == QLatin1String("QMYSQL"))
                    QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
            }
        });
        trel->write();
    }
    EXPECT_TRUE(ended);
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
    EXPECT_EQ(log.count(QStringLiteral("Trel: the server ended the request's transaction"), 3), 1)
        << log.texts().join('\n').toStdString();
    EXPECT_TRUE(log.contains(QString::fromLatin1(KSafeSqlQuery::TransactionEnded)));
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 1);
    EXPECT_EQ(inst.count(QStringLiteral("trel_sql_queries")), 2);
    EXPECT_EQ(inst.count(QStringLiteral("trel_processing_breakdown")), 1);
    EXPECT_EQ(inst.orphanRows(), 0);
}

// The session ends between the last statement and the commit, so the commit's outcome is
// unknown to the writer: it reconnects and finds the request row absent (the server
// rolled the transaction back), and says so; the next write stores its request.
TEST_F(WriterOnMariaDb, CommitWhoseSessionIsLostIsCheckedAfterReconnecting) {
    TestInstallation inst(Backend::MySql);
    ASSERT_TRUE(inst.ok());
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    trel->reset();
    const QString url = QStringLiteral("http://commit-lost.example/");
    setRequestFacts(trel, url);
    addEverySection(trel, QStringLiteral("commit-lost"));
    LogCapture log;
    bool killed = false;
    {
        SqlTrace trace([&](const QString& statement) {
            if (killed ||
                !statement.startsWith(QLatin1String("UPDATE trel_requests SET data_size")))
                return;
            killed = true;
            for (qint64 id : otherSessions(inst))
                inst.exec(QStringLiteral("KILL %1").arg(id));
        });
        trel->write();
    }
    EXPECT_TRUE(killed);
    EXPECT_EQ(log.count(QStringLiteral("KTrel::write:"), 0), 1);
    EXPECT_TRUE(log.contains(QStringLiteral("commit failed")));
    EXPECT_TRUE(log.contains(QStringLiteral("after reconnecting the request is not stored")))
        << log.texts().join('\n').toStdString();
    EXPECT_EQ(rowsEverywhere(inst), 0) << rowCounts(inst).toStdString();

    log.clear();
    trel->write();
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 1);
    EXPECT_EQ(inst.count(QStringLiteral("trel_sql_queries")), 2);
    EXPECT_EQ(inst.orphanRows(), 0);
}

} // namespace
