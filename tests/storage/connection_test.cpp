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

#include <QDir>
#include <QFile>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QUuid>

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

TEST_F(SqliteConnection, TheNamedConnectionIsOpenedOnceTunedAndKeptBetweenOperations) {
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

    // The helpers go, the connection stays open for the next operation, which gets it
    // as it was: not opened or tuned again.
    run(db, QStringLiteral("PRAGMA synchronous = 2"));
    const QSqlDriver* driver = db.driver();
    first.reset();
    EXPECT_TRUE(trelConnectionExists());
    QSharedPointer<KDbConnHelper> second = collector.doGetDatabaseConnection();
    EXPECT_EQ(second->database().driver(), driver) << "one Qt connection per process";
    EXPECT_TRUE(second->database().isOpen());
    EXPECT_EQ(value(second->database(), QStringLiteral("PRAGMA synchronous")).toInt(), 2);
}

namespace {

qint64 countIn(const QString& path, const QString& sql) {
    const QString name = QStringLiteral("count-%1").arg(QUuid::createUuid().toString());
    qint64 result = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        if (db.open())
            result = value(db, sql).toLongLong();
    }
    QSqlDatabase::removeDatabase(name);
    return result;
}

// What a new installation moved in does to a process that has the old one open: the
// folder with the database is moved aside and another takes its place.
bool replaceDataFolder(const QString& root, const QString& newRoot, const QString& aside) {
    return QDir().rename(QDir(root).filePath(QStringLiteral("data")), aside) &&
           QDir().rename(QDir(newRoot).filePath(QStringLiteral("data")),
                         QDir(root).filePath(QStringLiteral("data")));
}

} // namespace

// A worker keeps its connection across requests while an operator replaces the
// installation's database: neither before a write nor while it is being written does
// anything go into the file that was replaced, and ids the worker cached from the old
// file are not used in the new one.
TEST_F(SqliteConnection, AReplacedFileIsNeverWrittenAndTheRequestLandsInTheNewOne) {
    const QString url = QStringLiteral("http://shop.example/cart");
    setRequestFacts(&collector, url);
    collector.write();
    ASSERT_EQ(inst.count(QStringLiteral("trel_requests")), 1);

    // The new file has another URL under the id the collector cached for `url`.
    TestInstallation second(Backend::Sqlite);
    ASSERT_TRUE(second.ok());
    ASSERT_TRUE(second.exec(QStringLiteral("INSERT INTO trel_requests_urls (id, url_hash, url) "
                                           "VALUES (1, X'00', 'http://other.example/')")));
    const QString firstAside = inst.root() + QStringLiteral("/data-first");
    ASSERT_TRUE(replaceDataFolder(inst.root(), second.root(), firstAside));

    collector.reset();
    setRequestFacts(&collector, url);
    collector.write();
    const QString path = inst.databasePath();
    EXPECT_EQ(countIn(firstAside + QStringLiteral("/trel.db"),
                      QStringLiteral("SELECT COUNT(*) FROM trel_requests")),
              1);
    EXPECT_EQ(countIn(path, QStringLiteral("SELECT COUNT(*) FROM trel_requests r JOIN "
                                           "trel_requests_urls u ON u.id = r.url_id WHERE u.url = "
                                           "'http://shop.example/cart'")),
              1);

    // Replaced while the request is being written, after its first rows went into the
    // file: the request is written again, whole, into the new file.
    TestInstallation third(Backend::Sqlite);
    ASSERT_TRUE(third.ok());
    const QString secondAside = inst.root() + QStringLiteral("/data-second");
    bool replaced = false;
    LogCapture log;
    {
        SqlTrace trace([&](const QString& statement) {
            if (!replaced && statement.startsWith(QLatin1String("INSERT INTO trel_sql_queries")))
                replaced = replaceDataFolder(inst.root(), third.root(), secondAside);
        });
        collector.reset();
        setRequestFacts(&collector, QStringLiteral("http://shop.example/during"));
        addEverySection(&collector, QStringLiteral("during"));
        collector.write();
    }
    ASSERT_TRUE(replaced);
    EXPECT_EQ(log.count(QStringLiteral("Trel: the database file was replaced"), 3), 1)
        << log.texts().join('\n').toStdString();
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
    EXPECT_EQ(countIn(secondAside + QStringLiteral("/trel.db"),
                      QStringLiteral("SELECT COUNT(*) FROM trel_requests")),
              1)
        << "only the request written before the replacement";
    EXPECT_EQ(countIn(secondAside + QStringLiteral("/trel.db"),
                      QStringLiteral("SELECT COUNT(*) FROM trel_sql_queries")),
              0);
    EXPECT_EQ(countIn(path, QStringLiteral("SELECT COUNT(*) FROM trel_requests")), 1);
    EXPECT_EQ(countIn(path, QStringLiteral("SELECT COUNT(*) FROM trel_sql_queries")), 2);
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
