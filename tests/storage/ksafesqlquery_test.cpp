// The statement executor: retries on a locked SQLite file, the exact "locked" test,
// tracing with KV_SQL_DEBUG, and a MariaDB connection killed under it, outside and
// inside a transaction.

#include "storage/storagetest.h"
#include "support/logcapture.h"

#include "storage/ksafesqlquery.h"

#include <kolv/kexception.h>
#include <kolv/kolvdbsqliteinfo.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QSqlError>
#include <QSqlQuery>

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

const char* const InsertEvent = "INSERT INTO trel_monitor_events (id, request_id, agg_key) VALUES "
                                "(NULL, :request_id, :agg_key)";

// Runs the event insert with `maxRetries`; returns the exception's message, or an empty
// string when exec() returned true.
std::string insertEvent(QSqlDatabase db, const QString& key, int maxRetries) {
    KSafeSqlQuery query(db);
    query.prepare(QString::fromLatin1(InsertEvent));
    query.bindValue(QStringLiteral(":request_id"), QVariant(qlonglong(1)));
    query.bindValue(QStringLiteral(":agg_key"), QVariant(key));
    try {
        EXPECT_TRUE(query.exec(1, maxRetries));
        return std::string();
    } catch (const KException& e) {
        return e.what();
    }
}

std::string run(QSqlDatabase db, const QString& sql, int maxRetries) {
    KSafeSqlQuery query(db);
    query.prepare(sql);
    try {
        EXPECT_TRUE(query.exec(1, maxRetries));
        return std::string();
    } catch (const KException& e) {
        return e.what();
    }
}

QStringList retryLines(int count) {
    QStringList lines;
    for (int i = 1; i <= count; ++i)
        lines << QStringLiteral("DB is locked. Performing retry number: %1").arg(i);
    return lines;
}

// A library connection on a SQLite installation, with no busy timeout so that a lock
// held by the test's own connection shows at once.
class ExecutorOnSqlite : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(inst.ok());
        db = KolvDbSQliteInfo::get(inst.root()).connection(KolvDbSQliteInfo::DAEMON_TREL, name);
        ASSERT_TRUE(db.isOpen()) << db.lastError().text().toStdString();
    }
    void TearDown() override {
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
    }

    BusyTimeout noBusyWait{0};
    TestInstallation inst{Backend::Sqlite};
    const QString name = QStringLiteral("executor_test");
    QSqlDatabase db;
};

TEST_F(ExecutorOnSqlite, LockedDatabaseIsRetriedUpToTheMaximumThenTheFailureIsRaised) {
    ASSERT_TRUE(inst.exec(QStringLiteral("BEGIN IMMEDIATE")));
    LogCapture log;
    PauseRecorder pauses;
    SqlTrace trace;

    const std::string error = insertEvent(db, QStringLiteral("k"), 3);

    EXPECT_THAT(error, StartsWith("QSafeSqlQuery::exec -> error in query: INSERT INTO "
                                  "trel_monitor_events"));
    EXPECT_THAT(error, HasSubstr("database is locked"));
    EXPECT_EQ(trace.count(QStringLiteral("INSERT INTO trel_monitor_events")), 4)
        << "one execution and three retries";
    EXPECT_THAT(pauses.pauses(), ElementsAre(500, 500, 500));
    EXPECT_EQ(log.texts(5), retryLines(3));
    EXPECT_EQ(log.lines().size(), 3u);

    ASSERT_TRUE(inst.exec(QStringLiteral("COMMIT")));
    EXPECT_EQ(inst.count(QStringLiteral("trel_monitor_events")), 0);
    // The connection is not spoilt by the failure.
    EXPECT_EQ(insertEvent(db, QStringLiteral("k"), 3), "");
    EXPECT_EQ(inst.count(QStringLiteral("trel_monitor_events")), 1);
}

TEST_F(ExecutorOnSqlite, LockReleasedDuringTheRetriesLetsTheStatementThroughOnce) {
    ASSERT_TRUE(inst.exec(QStringLiteral("BEGIN IMMEDIATE")));
    LogCapture log;
    PauseRecorder pauses([this](int pause) {
        if (pause == 2)
            inst.exec(QStringLiteral("COMMIT"));
    });

    EXPECT_EQ(insertEvent(db, QStringLiteral("k"), 10), "");

    EXPECT_THAT(pauses.pauses(), ElementsAre(500, 500));
    EXPECT_EQ(log.texts(5), retryLines(2));
    EXPECT_EQ(inst.count(QStringLiteral("trel_monitor_events")), 1);
}

TEST_F(ExecutorOnSqlite, ZeroRetriesExecutesOnceWithoutPauseOrLogLine) {
    ASSERT_TRUE(inst.exec(QStringLiteral("BEGIN IMMEDIATE")));
    LogCapture log;
    PauseRecorder pauses;
    SqlTrace trace;

    EXPECT_THAT(insertEvent(db, QStringLiteral("k"), 0), HasSubstr("database is locked"));

    EXPECT_EQ(trace.statements().size(), 1);
    EXPECT_TRUE(pauses.pauses().empty());
    EXPECT_TRUE(log.lines().empty());
    inst.exec(QStringLiteral("ROLLBACK"));
}

TEST_F(ExecutorOnSqlite, OnlyTheLowerCaseWordLockedAnywhereInTheMessageIsRetried) {
    LogCapture log;
    PauseRecorder pauses;
    SqlTrace trace;

    // "Locked" with a capital letter is another failure: raised at once.
    EXPECT_THAT(run(db, QStringLiteral("SELECT agg_key FROM Locked_nowhere"), 5),
                HasSubstr("Locked_nowhere"));
    EXPECT_EQ(trace.statements().size(), 1);
    EXPECT_TRUE(pauses.pauses().empty());

    // The statement's own text is part of the message, so a failure of a statement
    // that mentions "locked" is retried like a lock.
    trace.clear();
    const std::string error =
        run(db, QStringLiteral("SELECT agg_key AS locked FROM trel_no_such_table"), 2);
    EXPECT_THAT(error, HasSubstr("trel_no_such_table"));
    EXPECT_THAT(error, HasSubstr("SELECT agg_key AS locked"));
    EXPECT_EQ(trace.statements().size(), 3);
    EXPECT_THAT(pauses.pauses(), ElementsAre(500, 500));
    EXPECT_EQ(log.texts(5), retryLines(2));
}

TEST_F(ExecutorOnSqlite, TracingTracesSuccessTwiceFailureOnceAndOnlyForTheValueOne) {
    {
        SqlTrace trace;
        EXPECT_EQ(run(db, QStringLiteral("SELECT 1"), 3), "");
        EXPECT_THAT(trace.statements(),
                    ElementsAre(QStringLiteral("SELECT 1"), QStringLiteral("SELECT 1")));
        EXPECT_TRUE(trace.otherMessages().isEmpty());

        trace.clear();
        EXPECT_NE(run(db, QStringLiteral("SELECT * FROM trel_no_such_table"), 3), "");
        EXPECT_THAT(trace.statements(),
                    ElementsAre(QStringLiteral("SELECT * FROM trel_no_such_table")));

        // Other values than exactly "1" trace nothing.
        for (const char* value : {"true", "01", "1 ", "", "2"}) {
            trace.clear();
            qputenv("KV_SQL_DEBUG", value);
            EXPECT_EQ(run(db, QStringLiteral("SELECT 1"), 3), "");
            EXPECT_NE(run(db, QStringLiteral("SELECT * FROM trel_no_such_table"), 3), "");
            EXPECT_TRUE(trace.statements().isEmpty()) << "KV_SQL_DEBUG=" << value;
        }
        trace.clear();
        qunsetenv("KV_SQL_DEBUG");
        EXPECT_EQ(run(db, QStringLiteral("SELECT 1"), 3), "");
        EXPECT_TRUE(trace.statements().isEmpty());

        // The variable is read when the statement object is made.
        KSafeSqlQuery madeWithout(db);
        qputenv("KV_SQL_DEBUG", "1");
        KSafeSqlQuery madeWith(db);
        qunsetenv("KV_SQL_DEBUG");
        madeWithout.prepare(QStringLiteral("SELECT 2"));
        madeWith.prepare(QStringLiteral("SELECT 3"));
        EXPECT_TRUE(madeWithout.exec(1, 0));
        EXPECT_TRUE(madeWith.exec(1, 0));
        EXPECT_THAT(trace.statements(),
                    ElementsAre(QStringLiteral("SELECT 3"), QStringLiteral("SELECT 3")));
    }
    EXPECT_FALSE(qEnvironmentVariableIsSet("KV_SQL_DEBUG"));
}

TEST(ExecutorLostConnection, ClientWordsAndCodesForADroppedConnectionInAnyLetterCase) {
    auto lost = [](const char* text, const char* code) {
        return KSafeSqlQuery::isConnectionLost(
            QSqlError(QStringLiteral("QMYSQL: Unable to execute query"), QString::fromLatin1(text),
                      QSqlError::StatementError, QString::fromLatin1(code)));
    };
    EXPECT_TRUE(lost("MYSQL SERVER HAS GONE AWAY", ""));
    EXPECT_TRUE(lost("Server has gone away", "")); // MariaDB's client
    EXPECT_TRUE(lost("Lost connection to server during query", ""));
    EXPECT_TRUE(lost("LOST CONNECTION TO SERVER at 'reading initial communication packet'", ""));
    EXPECT_TRUE(lost("", "2006"));
    EXPECT_TRUE(lost("", "2013"));
    EXPECT_FALSE(lost("Can't connect to server on '127.0.0.1' (111)", "2002"));
    EXPECT_FALSE(lost("Lock wait timeout exceeded; try restarting transaction", "1205"));
    EXPECT_FALSE(lost("Deadlock found when trying to get lock", "1213"));
}

// MariaDB: the server drops the connection (KILL from another session) between two
// statements.
class ExecutorOnMariaDb : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(inst.ok()); }

    qint64 sessionId(QSqlDatabase db) {
        KSafeSqlQuery query(db);
        query.prepare(QStringLiteral("SELECT CONNECTION_ID()"));
        query.exec(1, 0);
        return query.next() ? query.value(0).toLongLong() : -1;
    }
    void kill(qint64 id) { inst.exec(QStringLiteral("KILL %1").arg(id)); }

    TestInstallation inst{Backend::MySql};
};

TEST_F(ExecutorOnMariaDb, KilledConnectionIsReopenedOnceAndTheBoundStatementRunsOnce) {
    OwnConnection library(inst);
    const qint64 before = sessionId(library.db());
    ASSERT_GT(before, 0);
    kill(before);
    LogCapture log;
    PauseRecorder pauses;

    EXPECT_EQ(insertEvent(library.db(), QStringLiteral("after-kill"), 10), "");

    EXPECT_EQ(inst.count(QStringLiteral("trel_monitor_events"),
                         QStringLiteral("agg_key = 'after-kill' AND request_id = 1")),
              1);
    const qint64 after = sessionId(library.db());
    EXPECT_GT(after, 0);
    EXPECT_NE(after, before);
    EXPECT_TRUE(pauses.pauses().empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ExecutorOnMariaDb, ConnectionLostInsideATransactionIsRaisedNotCured) {
    OwnConnection library(inst);
    {
        KSafeSqlTransaction transaction(library.db());
        ASSERT_TRUE(transaction.isOpen());
        EXPECT_TRUE(KSafeSqlTransaction::isOpenOn(library.db()));
        EXPECT_EQ(insertEvent(library.db(), QStringLiteral("first"), 10), "");
        kill(sessionId(library.db()));

        // Re-executing on a new session would store the second row without the first.
        const std::string error = insertEvent(library.db(), QStringLiteral("second"), 10);
        EXPECT_THAT(error, HasSubstr("INSERT INTO trel_monitor_events"));
        EXPECT_THAT(QString::fromStdString(error).toLower().toStdString(),
                    ::testing::AnyOf(HasSubstr("gone away"), HasSubstr("lost connection")));
        transaction.rollback();
        EXPECT_FALSE(KSafeSqlTransaction::isOpenOn(library.db()));
    }
    EXPECT_EQ(inst.count(QStringLiteral("trel_monitor_events")), 0);

    // The next transaction on the same handle begins on a reopened connection.
    {
        KSafeSqlTransaction transaction(library.db());
        ASSERT_TRUE(transaction.isOpen()) << library.db().lastError().text().toStdString();
        EXPECT_EQ(insertEvent(library.db(), QStringLiteral("third"), 10), "");
        EXPECT_TRUE(transaction.commit());
    }
    EXPECT_EQ(
        inst.count(QStringLiteral("trel_monitor_events"), QStringLiteral("agg_key = 'third'")), 1);
    EXPECT_EQ(inst.count(QStringLiteral("trel_monitor_events")), 1);
}

// A statement that fails in a way that may have ended the transaction (here a lock wait
// timeout; on Galera a conflict with another node's write) is not retried alone, even
// with "locked" in its text, and no later statement is sent until the transaction is
// rolled back: the server could run it outside any transaction. The commit below stores
// what came before the failure and shows that the statement after it never reached the
// server.
TEST_F(ExecutorOnMariaDb, AfterAFailureThatEndsTheTransactionNothingMoreIsSent) {
    OwnConnection holder(inst);
    OwnConnection library(inst);
    QSqlQuery hold(holder.db());
    ASSERT_TRUE(hold.exec(QStringLiteral("START TRANSACTION")));
    ASSERT_TRUE(hold.exec(QStringLiteral(
        "INSERT INTO trel_monitor_events (id, request_id, agg_key) VALUES (1000, 9, 'held')")));
    ASSERT_EQ(run(library.db(), QStringLiteral("SET SESSION innodb_lock_wait_timeout = 1"), 0), "");
    LogCapture log;
    PauseRecorder pauses;
    {
        KSafeSqlTransaction transaction(library.db());
        ASSERT_TRUE(transaction.isOpen());
        EXPECT_EQ(insertEvent(library.db(), QStringLiteral("before"), 10), "");
        const std::string timeout = run(library.db(),
                                        QStringLiteral("INSERT /* locked */ INTO "
                                                       "trel_monitor_events (id, request_id, "
                                                       "agg_key) VALUES (1000, 1, 'waited')"),
                                        10);
        EXPECT_THAT(timeout, HasSubstr("Lock wait timeout exceeded"));
        EXPECT_TRUE(KSafeSqlQuery::endsTransaction(timeout.c_str()));
        const std::string refused = insertEvent(library.db(), QStringLiteral("after"), 10);
        EXPECT_THAT(refused, HasSubstr("statement not sent"));
        EXPECT_THAT(refused, HasSubstr(KSafeSqlQuery::TransactionEnded));
        EXPECT_TRUE(transaction.commit());
    }
    EXPECT_TRUE(pauses.pauses().empty());
    EXPECT_TRUE(log.lines().empty());
    ASSERT_TRUE(hold.exec(QStringLiteral("ROLLBACK")));
    EXPECT_EQ(inst.count(QStringLiteral("trel_monitor_events")), 1);
    EXPECT_EQ(
        inst.count(QStringLiteral("trel_monitor_events"), QStringLiteral("agg_key = 'before'")), 1);
    // The next transaction on the connection sends its statements again.
    EXPECT_EQ(insertEvent(library.db(), QStringLiteral("later"), 10), "");
    EXPECT_EQ(inst.count(QStringLiteral("trel_monitor_events")), 2);
}

TEST_F(ExecutorOnMariaDb, TransactionLeftOpenIsRolledBackByItsEnd) {
    OwnConnection library(inst);
    {
        KSafeSqlTransaction transaction(library.db());
        ASSERT_TRUE(transaction.isOpen());
        EXPECT_EQ(insertEvent(library.db(), QStringLiteral("dropped"), 10), "");
    }
    EXPECT_FALSE(KSafeSqlTransaction::isOpenOn(library.db()));
    EXPECT_EQ(inst.count(QStringLiteral("trel_monitor_events")), 0);
    // Outside a transaction the connection is cured again.
    kill(sessionId(library.db()));
    EXPECT_EQ(insertEvent(library.db(), QStringLiteral("kept"), 10), "");
    EXPECT_EQ(inst.count(QStringLiteral("trel_monitor_events")), 1);
}

} // namespace
