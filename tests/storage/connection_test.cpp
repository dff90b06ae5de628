// The collector's connections: the SQLite road with its pragmas and the shared named
// connection "trel", the MySQL road through the pool, and the handle getDatabase() gives
// the host. (The pool and the SQLite registry themselves are tested with the host library.)

#include "storage/storagetest.h"
#include "support/logcapture.h"

#include "storage/ksafesqlquery.h"

#include <kolv/kexception.h>
#include <kolv/kolvdbsqliteinfo.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QFile>
#include <QSqlDriver>
#include <QSqlQuery>

using ::testing::HasSubstr;

namespace {

QVariant value(QSqlDatabase db, const QString& sql) {
    QSqlQuery query(db);
    if (!query.exec(sql) || !query.next()) {
        ADD_FAILURE() << sql.toStdString() << ": " << query.lastError().text().toStdString();
        return QVariant();
    }
    return query.value(0);
}

void run(QSqlDatabase db, const QString& sql) {
    QSqlQuery query(db);
    if (!query.exec(sql))
        ADD_FAILURE() << sql.toStdString() << ": " << query.lastError().text().toStdString();
}

bool trelConnectionExists() {
    return QSqlDatabase::connectionNames().contains(QStringLiteral("trel"));
}

QStringList poolConnections() {
    QStringList names;
    for (const QString& name : QSqlDatabase::connectionNames())
        if (name.startsWith(QLatin1String("kolv_pool_")))
            names << name;
    return names;
}

class SqliteConnection : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(inst.ok());
        ASSERT_FALSE(trelConnectionExists());
        collector.initialize(inst.serverInfo(), 1);
    }

    TestInstallation inst{Backend::Sqlite};
    TestCollector collector;
};

TEST_F(SqliteConnection, EveryConnectionIsTheNamedSqliteConnectionTunedByBothPragmas) {
    QSharedPointer<KDbConnHelper> first = collector.doGetDatabaseConnection();
    ASSERT_FALSE(first.isNull());
    EXPECT_FALSE(first->isMySQL());
    QSqlDatabase& db = first->database();
    EXPECT_EQ(db.connectionName(), QStringLiteral("trel"));
    EXPECT_EQ(db.driverName(), QStringLiteral("QSQLITE"));
    EXPECT_EQ(db.databaseName(), inst.databasePath());
    EXPECT_TRUE(db.isOpen());
    EXPECT_EQ(value(db, QStringLiteral("PRAGMA synchronous")).toInt(), 0) << "off";
    EXPECT_EQ(value(db, QStringLiteral("PRAGMA temp_store")).toInt(), 2) << "memory";
    EXPECT_EQ(value(db, QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));

    // The pragmas are sent again for every connection, also onto the shared one.
    run(db, QStringLiteral("PRAGMA synchronous = 2"));
    run(db, QStringLiteral("PRAGMA temp_store = 1"));
    ASSERT_EQ(value(db, QStringLiteral("PRAGMA synchronous")).toInt(), 2);
    QSharedPointer<KDbConnHelper> second = collector.doGetDatabaseConnection();
    EXPECT_EQ(value(db, QStringLiteral("PRAGMA synchronous")).toInt(), 0);
    EXPECT_EQ(value(db, QStringLiteral("PRAGMA temp_store")).toInt(), 2);
    EXPECT_EQ(second->database().driver(), db.driver()) << "one Qt connection per name";
}

TEST_F(SqliteConnection, NamedConnectionIsRemovedWhenTheLastHelperGoes) {
    QSharedPointer<KDbConnHelper> first = collector.doGetDatabaseConnection();
    QSharedPointer<KDbConnHelper> second = collector.doGetDatabaseConnection();
    ASSERT_TRUE(trelConnectionExists());

    // The first helper to go must not pull the connection from under the second.
    first.reset();
    EXPECT_TRUE(trelConnectionExists());
    {
        KSafeSqlQuery query(second->database());
        query.prepare(QStringLiteral("SELECT COUNT(*) FROM trel_requests"));
        EXPECT_NO_THROW(query.exec(1, 0));
        EXPECT_TRUE(query.next());
    }
    second.reset();
    EXPECT_FALSE(trelConnectionExists());

    // Obtained afresh on the next call, tuned again.
    QSharedPointer<KDbConnHelper> third = collector.doGetDatabaseConnection();
    EXPECT_TRUE(trelConnectionExists());
    EXPECT_EQ(value(third->database(), QStringLiteral("PRAGMA synchronous")).toInt(), 0);
}

TEST_F(SqliteConnection, GetDatabaseHandleStaysUsableAfterTheCall) {
    QSqlDatabase& handle = collector.getDatabase();
    ASSERT_TRUE(handle.isValid());
    EXPECT_TRUE(handle.isOpen());
    EXPECT_EQ(value(handle, QStringLiteral("SELECT COUNT(*) FROM trel_requests")).toInt(), 0);

    // Storage operations meanwhile share the connection without closing it.
    collector.reset();
    setRequestFacts(&collector, QStringLiteral("http://a.example/held"));
    collector.write();
    EXPECT_TRUE(trelConnectionExists());
    EXPECT_EQ(value(handle, QStringLiteral("SELECT COUNT(*) FROM trel_requests")).toInt(), 1);

    // The next call replaces the kept connection; the connection stays until the
    // collector goes.
    QSqlDatabase& next = collector.getDatabase();
    EXPECT_EQ(value(next, QStringLiteral("SELECT COUNT(*) FROM trel_requests")).toInt(), 1);
}

TEST(SqliteConnectionEnd, CollectorDestructionRemovesTheKeptConnection) {
    TestInstallation inst(Backend::Sqlite);
    ASSERT_TRUE(inst.ok());
    {
        TestCollector collector;
        collector.initialize(inst.serverInfo(), 1);
        QSqlDatabase& handle = collector.getDatabase();
        EXPECT_TRUE(handle.isOpen());
        EXPECT_TRUE(trelConnectionExists());
    }
    EXPECT_FALSE(trelConnectionExists());
}

TEST(SqliteConnectionFile, MissingDatabaseFileFailsInTheExecutorAndIsNotCreated) {
    TestInstallation inst(Backend::Sqlite);
    ASSERT_TRUE(inst.ok());
    inst.db().close();
    ASSERT_TRUE(QFile::remove(inst.databasePath()));
    QFile::remove(inst.databasePath() + QStringLiteral("-wal"));
    QFile::remove(inst.databasePath() + QStringLiteral("-shm"));
    LogCapture log;
    TestCollector collector;
    collector.initialize(inst.serverInfo(), 1);
    EXPECT_EQ(log.count(QStringLiteral("KTrel::refreshUrlsCache:"), 0), 1);

    QSharedPointer<KDbConnHelper> connection = collector.doGetDatabaseConnection();
    EXPECT_FALSE(connection->database().isOpen());
    KSafeSqlQuery query(connection->database());
    query.prepare(QStringLiteral("SELECT COUNT(*) FROM trel_requests"));
    EXPECT_THROW(query.exec(1, 3), KException);
    EXPECT_FALSE(QFile::exists(inst.databasePath()));
}

class MySqlConnection : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(inst.ok());
        collector.initialize(inst.serverInfo(), 1);
    }

    TestInstallation inst{Backend::MySql};
    TestCollector collector;
};

TEST_F(MySqlConnection, ConnectionsComeFromThePoolWithoutPragmasOrNamedSqliteConnection) {
    QSharedPointer<KDbConnHelper> first = collector.doGetDatabaseConnection();
    EXPECT_TRUE(first->isMySQL());
    EXPECT_FALSE(trelConnectionExists());
    QSqlDatabase& db = first->database();
    EXPECT_EQ(db.driverName(), QStringLiteral("QMYSQL"));
    EXPECT_TRUE(db.isOpen());
    EXPECT_TRUE(db.connectionName().startsWith(QLatin1String("kolv_pool_")));
    EXPECT_EQ(value(db, QStringLiteral("SELECT DATABASE()")).toString(),
              inst.serverInfo().getDbName());

    // Two helpers alive at once hold two server sessions.
    QSharedPointer<KDbConnHelper> second = collector.doGetDatabaseConnection();
    const qint64 firstId = value(db, QStringLiteral("SELECT CONNECTION_ID()")).toLongLong();
    const qint64 secondId =
        value(second->database(), QStringLiteral("SELECT CONNECTION_ID()")).toLongLong();
    EXPECT_NE(firstId, secondId);

    // Released connections go back to the pool and are handed out again.
    const QString firstName = db.connectionName();
    first.reset();
    second.reset();
    EXPECT_TRUE(poolConnections().contains(firstName));
    QSharedPointer<KDbConnHelper> third = collector.doGetDatabaseConnection();
    const qint64 thirdId =
        value(third->database(), QStringLiteral("SELECT CONNECTION_ID()")).toLongLong();
    EXPECT_TRUE(thirdId == firstId || thirdId == secondId);
}

TEST_F(MySqlConnection, GetDatabaseHandleStaysUsableAfterTheCall) {
    QSqlDatabase& handle = collector.getDatabase();
    ASSERT_TRUE(handle.isOpen());
    EXPECT_EQ(value(handle, QStringLiteral("SELECT COUNT(*) FROM trel_requests")).toInt(), 0);
    collector.reset();
    setRequestFacts(&collector, QStringLiteral("http://a.example/held"));
    collector.write();
    EXPECT_EQ(value(handle, QStringLiteral("SELECT COUNT(*) FROM trel_requests")).toInt(), 1);
}

} // namespace
