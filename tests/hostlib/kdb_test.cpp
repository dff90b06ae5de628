#include "support/testinstallation.h"

#include <kolv/kdb.h>
#include <kolv/kolvdbsqliteinfo.h>
#include <kolv/kolvserverinfo.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QVariant scalarOf(QSqlDatabase db, const QString& sql, QString* error = nullptr) {
    QSqlQuery query(db);
    if (!query.exec(sql) || !query.next()) {
        if (error)
            *error = query.lastError().text();
        return QVariant();
    }
    return query.value(0);
}

// A local TCP port that nothing listens on: bound, then let go.
unsigned int freeLocalPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    unsigned int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

// ---------------------------------------------------------------------------------
// The MySQL pool, on the test MariaDB server.

class MySqlPool : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(TestInstallation::mysqlSettings(&info));
        info.setDbName(QString::fromLocal8Bit(qgetenv("TREL_TEST_MYSQL_DATABASE")));
    }
    bool init(KDb& db) const {
        return db.initMySQL(info.getDbHostName(), info.getDbUsername(), info.getDbPassword(),
                            info.getDbName(), static_cast<unsigned int>(info.getDbPort()),
                            QString());
    }
    static qint64 serverConnectionId(const KDbConnectionPtr& handle) {
        return scalarOf(handle->databaseRef(), QStringLiteral("SELECT CONNECTION_ID()"))
            .toLongLong();
    }

    KolvServerInfo info;
};

TEST(KDbUnconfigured, HandsOutNothingUntilConfigured) {
    KDb db;
    EXPECT_FALSE(db.isInitialized());
    EXPECT_FALSE(db.isSqlite());
    EXPECT_EQ(db.idleCount(), 0);
    KDbConnectionPtr handle = db.getTemporaryConnection();
    EXPECT_TRUE(handle.isNull());
    EXPECT_FALSE(static_cast<bool>(handle));
}

TEST_F(MySqlPool, GivesAnOpenConnectionToTheConfiguredDatabase) {
    KDb db;
    EXPECT_TRUE(init(db));
    EXPECT_TRUE(db.isInitialized());
    EXPECT_FALSE(db.isSqlite());

    KDbConnectionPtr handle = db.getTemporaryConnection();
    ASSERT_FALSE(handle.isNull());
    EXPECT_TRUE(handle->databaseRef().isOpen());
    EXPECT_EQ(handle->databaseRef().driverName(), "QMYSQL");
    // The copy and the reference are the same Qt connection.
    EXPECT_EQ(handle->getDatabase().connectionName(), handle->databaseRef().connectionName());
    EXPECT_EQ(handle->name(), handle->databaseRef().connectionName());
    QString error;
    EXPECT_EQ(
        scalarOf(handle->databaseRef(), QStringLiteral("SELECT DATABASE()"), &error).toString(),
        info.getDbName())
        << error.toStdString();
}

TEST_F(MySqlPool, AReleasedConnectionGoesBackAndIsReused) {
    KDb db;
    ASSERT_TRUE(init(db));
    QString name;
    qint64 serverId = 0;
    {
        KDbConnectionPtr handle = db.getTemporaryConnection();
        ASSERT_FALSE(handle.isNull());
        name = handle->name();
        serverId = serverConnectionId(handle);
        ASSERT_GT(serverId, 0);
        EXPECT_EQ(db.idleCount(), 0);
    }
    EXPECT_EQ(db.idleCount(), 1);
    KDbConnectionPtr again = db.getTemporaryConnection();
    EXPECT_EQ(db.idleCount(), 0);
    EXPECT_EQ(again->name(), name);
    // The same server session, not a new login.
    EXPECT_EQ(serverConnectionId(again), serverId);
}

TEST_F(MySqlPool, ACopiedHandleKeepsTheConnectionUntilTheLastCopyGoes) {
    KDb db;
    ASSERT_TRUE(init(db));
    KDbConnectionPtr first = db.getTemporaryConnection();
    ASSERT_FALSE(first.isNull());
    KDbConnectionPtr copy(first);
    KDbConnectionPtr assigned;
    assigned = first;
    EXPECT_EQ(copy.get(), first.get());
    EXPECT_EQ(assigned.get(), first.get());
    first.reset();
    EXPECT_TRUE(first.isNull());
    copy = KDbConnectionPtr();
    EXPECT_EQ(db.idleCount(), 0);
    EXPECT_TRUE(assigned->databaseRef().isOpen());
    assigned.reset();
    EXPECT_EQ(db.idleCount(), 1);
}

TEST_F(MySqlPool, HandlesHeldTogetherAreDistinctConnections) {
    KDb db;
    ASSERT_TRUE(init(db));
    KDbConnectionPtr a = db.getTemporaryConnection();
    KDbConnectionPtr b = db.getTemporaryConnection();
    ASSERT_FALSE(a.isNull());
    ASSERT_FALSE(b.isNull());
    EXPECT_NE(a->name(), b->name());
    EXPECT_NE(serverConnectionId(a), serverConnectionId(b));
}

TEST_F(MySqlPool, ThePoolKeepsAtMostMaxIdleConnections) {
    const QStringList before = QSqlDatabase::connectionNames();
    {
        KDb db;
        ASSERT_TRUE(init(db));
        {
            std::vector<KDbConnectionPtr> handles;
            for (int i = 0; i < KDb::MaxIdle + 2; ++i)
                handles.push_back(db.getTemporaryConnection());
            EXPECT_EQ(QSqlDatabase::connectionNames().size(), before.size() + KDb::MaxIdle + 2);
        }
        EXPECT_EQ(db.idleCount(), KDb::MaxIdle);
        // The connections beyond the idle limit are closed and removed.
        EXPECT_EQ(QSqlDatabase::connectionNames().size(), before.size() + KDb::MaxIdle);
    }
    // The pool's end removes its idle connections.
    EXPECT_EQ(QSqlDatabase::connectionNames().size(), before.size());
}

TEST_F(MySqlPool, AHandleThatOutlivesItsPoolIsClosedWhenReleased) {
    const int before = QSqlDatabase::connectionNames().size();
    KDbConnectionPtr survivor;
    {
        KDb db;
        ASSERT_TRUE(init(db));
        survivor = db.getTemporaryConnection();
    }
    ASSERT_FALSE(survivor.isNull());
    EXPECT_TRUE(survivor->databaseRef().isOpen());
    EXPECT_EQ(scalarOf(survivor->databaseRef(), QStringLiteral("SELECT 1")).toInt(), 1);
    survivor.reset();
    EXPECT_EQ(QSqlDatabase::connectionNames().size(), before);
}

TEST_F(MySqlPool, ConfiguringAgainDropsTheIdleConnections) {
    KDb db;
    ASSERT_TRUE(init(db));
    QString name;
    {
        KDbConnectionPtr handle = db.getTemporaryConnection();
        name = handle->name();
    }
    ASSERT_EQ(db.idleCount(), 1);
    ASSERT_TRUE(init(db));
    EXPECT_EQ(db.idleCount(), 0);
    EXPECT_FALSE(QSqlDatabase::contains(name));
    KDbConnectionPtr fresh = db.getTemporaryConnection();
    EXPECT_NE(fresh->name(), name);
    EXPECT_TRUE(fresh->databaseRef().isOpen());
}

// A worker forked from a process that used the pool: it opens its own session, and
// neither using nor dropping the inherited connection disturbs the parent's session.
TEST_F(MySqlPool, AForkedChildOpensItsOwnSessionAndLeavesTheParentsAlone) {
    auto db = std::make_unique<KDb>();
    ASSERT_TRUE(init(*db));
    qint64 parentSession = 0;
    {
        KDbConnectionPtr handle = db->getTemporaryConnection();
        parentSession = serverConnectionId(handle);
    }
    ASSERT_GT(parentSession, 0);
    const pid_t child = ::fork();
    if (child == 0) {
        int code = 0;
        {
            KDbConnectionPtr handle = db->getTemporaryConnection();
            const qint64 own = serverConnectionId(handle);
            code = own > 0 && own != parentSession ? 0 : 1;
        }
        db.reset();
        std::exit(code); // with the clean-up at exit that a worker's end runs
    }
    ASSERT_GT(child, 0);
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    KDbConnectionPtr handle = db->getTemporaryConnection();
    EXPECT_EQ(serverConnectionId(handle), parentSession);
}

TEST_F(MySqlPool, AnUnreachableServerGivesAHandleWhoseFirstStatementFails) {
    // A port that was just free: nothing listens there.
    const unsigned int port = freeLocalPort();
    ASSERT_NE(port, 0u);
    KDb db;
    db.initMySQL(QStringLiteral("127.0.0.1"), info.getDbUsername(), info.getDbPassword(),
                 info.getDbName(), port, QString());
    EXPECT_TRUE(db.isInitialized());
    KDbConnectionPtr handle = db.getTemporaryConnection();
    ASSERT_FALSE(handle.isNull());
    EXPECT_FALSE(handle->databaseRef().isOpen());
    QSqlQuery query(handle->databaseRef());
    EXPECT_FALSE(query.exec(QStringLiteral("SELECT 1")));
    EXPECT_FALSE(handle->databaseRef().lastError().text().isEmpty());
    handle.reset();
    // A connection that never opened is not kept for reuse.
    EXPECT_EQ(db.idleCount(), 0);
}

TEST_F(MySqlPool, AWrongPasswordGivesAHandleWhoseFirstStatementFails) {
    KDb db;
    db.initMySQL(info.getDbHostName(), info.getDbUsername(), QStringLiteral("not-the-password"),
                 info.getDbName(), static_cast<unsigned int>(info.getDbPort()), QString());
    KDbConnectionPtr handle = db.getTemporaryConnection();
    ASSERT_FALSE(handle.isNull());
    QSqlQuery query(handle->databaseRef());
    EXPECT_FALSE(query.exec(QStringLiteral("SELECT 1")));
    EXPECT_TRUE(handle->databaseRef().lastError().text().contains(QStringLiteral("denied")))
        << handle->databaseRef().lastError().text().toStdString();
}

// ---------------------------------------------------------------------------------
// The SQLite registry.

class SqliteRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        root = dir.path();
        ASSERT_TRUE(QDir(root).mkpath(QStringLiteral("data")));
        path = QDir(root).absoluteFilePath(QStringLiteral("data/trel.db"));
    }
    void TearDown() override {
        KolvDbSQliteInfo::setBusyTimeout(2000);
        for (const QString& name : QSqlDatabase::connectionNames())
            if (name.startsWith(QLatin1String("registry_test")))
                QSqlDatabase::removeDatabase(name);
    }
    // Creates the database file in rollback-journal mode with one table.
    void createDatabase() {
        const QString name = QStringLiteral("registry_test_create");
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(path);
            ASSERT_TRUE(db.open());
            QSqlQuery query(db);
            ASSERT_TRUE(query.exec(QStringLiteral("PRAGMA journal_mode=DELETE")));
            ASSERT_TRUE(query.exec(QStringLiteral("CREATE TABLE t (x INTEGER)")));
            ASSERT_TRUE(query.exec(QStringLiteral("INSERT INTO t VALUES (5)")));
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
    }
    // The journal mode of the file as a connection of the test's own sees it.
    QString journalMode() {
        const QString name = QStringLiteral("registry_test_mode");
        QString mode;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(path);
            if (db.open())
                mode = scalarOf(db, QStringLiteral("PRAGMA journal_mode")).toString();
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
        return mode;
    }

    QTemporaryDir dir;
    QString root;
    QString path;
};

TEST_F(SqliteRegistry, TheDiagnosticsDatabaseIsDataTrelDbUnderTheRoot) {
    const KolvDbSQliteInfo registry = KolvDbSQliteInfo::get(root);
    EXPECT_EQ(registry.root(), root);
    EXPECT_EQ(registry.databasePath(KolvDbSQliteInfo::DAEMON_TREL), path);
    EXPECT_EQ(static_cast<int>(KolvDbSQliteInfo::DAEMON_TREL), 8);
    EXPECT_TRUE(registry.databasePath(static_cast<KolvDbSQliteInfo::DAEMON_TYPE>(3)).isEmpty());
}

TEST_F(SqliteRegistry, OpensTheFileAndSwitchesItToWal) {
    createDatabase();
    ASSERT_EQ(journalMode().toLower(), "delete");
    {
        QSqlDatabase db = KolvDbSQliteInfo::get(root).connection(KolvDbSQliteInfo::DAEMON_TREL,
                                                                 QStringLiteral("registry_test_a"));
        ASSERT_TRUE(db.isOpen()) << db.lastError().text().toStdString();
        EXPECT_EQ(db.connectionName(), "registry_test_a");
        EXPECT_EQ(db.databaseName(), path);
        EXPECT_EQ(scalarOf(db, QStringLiteral("SELECT x FROM t")).toInt(), 5);
        EXPECT_EQ(scalarOf(db, QStringLiteral("PRAGMA journal_mode")).toString().toLower(), "wal");
    }
    // WAL is a property of the file, seen by every other connection.
    EXPECT_EQ(journalMode().toLower(), "wal");
}

TEST_F(SqliteRegistry, AFileInWalModeIsLeftAsItIs) {
    createDatabase();
    {
        QSqlDatabase db = KolvDbSQliteInfo::get(root).connection(KolvDbSQliteInfo::DAEMON_TREL,
                                                                 QStringLiteral("registry_test_a"));
        ASSERT_TRUE(db.isOpen());
    }
    QSqlDatabase::removeDatabase(QStringLiteral("registry_test_a"));
    QSqlDatabase db = KolvDbSQliteInfo::get(root).connection(KolvDbSQliteInfo::DAEMON_TREL,
                                                             QStringLiteral("registry_test_b"));
    ASSERT_TRUE(db.isOpen());
    EXPECT_EQ(scalarOf(db, QStringLiteral("PRAGMA journal_mode")).toString().toLower(), "wal");
    EXPECT_EQ(scalarOf(db, QStringLiteral("SELECT x FROM t")).toInt(), 5);
}

TEST_F(SqliteRegistry, TheBusyTimeoutIsSentWithEveryNewConnection) {
    createDatabase();
    EXPECT_EQ(KolvDbSQliteInfo::busyTimeout(), 2000);
    KolvDbSQliteInfo::setBusyTimeout(150);
    EXPECT_EQ(KolvDbSQliteInfo::busyTimeout(), 150);
    QSqlDatabase db = KolvDbSQliteInfo::get(root).connection(KolvDbSQliteInfo::DAEMON_TREL,
                                                             QStringLiteral("registry_test_a"));
    ASSERT_TRUE(db.isOpen());
    EXPECT_EQ(db.connectOptions(), "QSQLITE_BUSY_TIMEOUT=150");
    KolvDbSQliteInfo::setBusyTimeout(-5);
    EXPECT_EQ(KolvDbSQliteInfo::busyTimeout(), 0);
}

TEST_F(SqliteRegistry, AWriterMeetsALockedDatabaseAfterTheBusyTimeout) {
    createDatabase();
    KolvDbSQliteInfo::setBusyTimeout(0);
    QSqlDatabase locker = KolvDbSQliteInfo::get(root).connection(
        KolvDbSQliteInfo::DAEMON_TREL, QStringLiteral("registry_test_locker"));
    QSqlDatabase writer = KolvDbSQliteInfo::get(root).connection(
        KolvDbSQliteInfo::DAEMON_TREL, QStringLiteral("registry_test_writer"));
    ASSERT_TRUE(locker.isOpen());
    ASSERT_TRUE(writer.isOpen());
    QSqlQuery lock(locker);
    ASSERT_TRUE(lock.exec(QStringLiteral("BEGIN IMMEDIATE")));
    ASSERT_TRUE(lock.exec(QStringLiteral("INSERT INTO t VALUES (6)")));
    QSqlQuery write(writer);
    EXPECT_FALSE(write.exec(QStringLiteral("INSERT INTO t VALUES (7)")));
    EXPECT_TRUE(write.lastError().text().contains(QStringLiteral("locked")))
        << write.lastError().text().toStdString();
    // WAL: a reader is not blocked by the writer.
    EXPECT_EQ(scalarOf(writer, QStringLiteral("SELECT COUNT(*) FROM t")).toInt(), 1);
    ASSERT_TRUE(lock.exec(QStringLiteral("COMMIT")));
    EXPECT_TRUE(write.exec(QStringLiteral("INSERT INTO t VALUES (7)")))
        << write.lastError().text().toStdString();
}

TEST_F(SqliteRegistry, AMissingFileIsNotCreatedAndItsFirstStatementFails) {
    QSqlDatabase db = KolvDbSQliteInfo::get(root).connection(KolvDbSQliteInfo::DAEMON_TREL,
                                                             QStringLiteral("registry_test_a"));
    EXPECT_TRUE(db.isValid());
    EXPECT_FALSE(db.isOpen());
    QSqlQuery query(db);
    EXPECT_FALSE(query.exec(QStringLiteral("SELECT 1")));
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_FALSE(QFileInfo::exists(path + QStringLiteral("-wal")));
}

TEST_F(SqliteRegistry, AMissingDataFolderIsNotCreatedEither) {
    QTemporaryDir other;
    ASSERT_TRUE(other.isValid());
    QSqlDatabase db =
        KolvDbSQliteInfo::get(other.path())
            .connection(KolvDbSQliteInfo::DAEMON_TREL, QStringLiteral("registry_test_a"));
    EXPECT_FALSE(db.isOpen());
    EXPECT_FALSE(QFileInfo::exists(QDir(other.path()).filePath(QStringLiteral("data"))));
}

TEST_F(SqliteRegistry, TheSameNameOnTheSameFileIsReusedAndOnAnotherFileReplaced) {
    createDatabase();
    QSqlDatabase first = KolvDbSQliteInfo::get(root).connection(KolvDbSQliteInfo::DAEMON_TREL,
                                                                QStringLiteral("registry_test_a"));
    ASSERT_TRUE(first.isOpen());
    // A temporary table lives in its connection only: seeing it proves the reuse.
    ASSERT_TRUE(QSqlQuery(first).exec(QStringLiteral("CREATE TEMP TABLE mine (y INTEGER)")));
    QSqlDatabase second = KolvDbSQliteInfo::get(root).connection(KolvDbSQliteInfo::DAEMON_TREL,
                                                                 QStringLiteral("registry_test_a"));
    ASSERT_TRUE(second.isOpen());
    EXPECT_TRUE(QSqlQuery(second).exec(QStringLiteral("SELECT COUNT(*) FROM mine")));

    QTemporaryDir otherDir;
    ASSERT_TRUE(otherDir.isValid());
    ASSERT_TRUE(QDir(otherDir.path()).mkpath(QStringLiteral("data")));
    {
        QFile file(QDir(otherDir.path()).filePath(QStringLiteral("data/trel.db")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly)); // an empty file is a valid database
    }
    first = QSqlDatabase();
    second = QSqlDatabase();
    QSqlDatabase other =
        KolvDbSQliteInfo::get(otherDir.path())
            .connection(KolvDbSQliteInfo::DAEMON_TREL, QStringLiteral("registry_test_a"));
    ASSERT_TRUE(other.isOpen());
    EXPECT_EQ(other.databaseName(),
              QDir(otherDir.path()).absoluteFilePath(QStringLiteral("data/trel.db")));
    EXPECT_FALSE(QSqlQuery(other).exec(QStringLiteral("SELECT COUNT(*) FROM t")));
}

TEST_F(SqliteRegistry, AClosedConnectionOfThatNameIsOpenedAfresh) {
    createDatabase();
    {
        QSqlDatabase db = KolvDbSQliteInfo::get(root).connection(KolvDbSQliteInfo::DAEMON_TREL,
                                                                 QStringLiteral("registry_test_a"));
        ASSERT_TRUE(db.isOpen());
        db.close();
    }
    QSqlDatabase db = KolvDbSQliteInfo::get(root).connection(KolvDbSQliteInfo::DAEMON_TREL,
                                                             QStringLiteral("registry_test_a"));
    EXPECT_TRUE(db.isOpen());
    EXPECT_EQ(scalarOf(db, QStringLiteral("SELECT x FROM t")).toInt(), 5);
}

} // namespace

// A process keeps its named connection open between operations, as long as the file at
// the path is the one it opened.
TEST_F(SqliteRegistry, TheConnectionIsKeptUntilItsFileIsReplacedAndThenOpenedOnTheNewOne) {
    createDatabase();
    const QString name = QStringLiteral("registry_test_kept");
    bool opened = false;
    QSqlDatabase db =
        KolvDbSQliteInfo::get(root).connection(KolvDbSQliteInfo::DAEMON_TREL, name, &opened);
    ASSERT_TRUE(opened);
    ASSERT_TRUE(QSqlQuery(db).exec(QStringLiteral("CREATE TEMP TABLE mine (y INTEGER)")));
    const QString identity = KolvDbSQliteInfo::fileIdentity(db);
    EXPECT_FALSE(identity.isEmpty());
    EXPECT_FALSE(KolvDbSQliteInfo::isReplaced(db));
    db = KolvDbSQliteInfo::get(root).connection(KolvDbSQliteInfo::DAEMON_TREL, name, &opened);
    EXPECT_FALSE(opened);
    EXPECT_TRUE(QSqlQuery(db).exec(QStringLiteral("SELECT COUNT(*) FROM mine")));

    // Another file moved in at the path: the kept handle is told replaced, and the next
    // call closes it and opens the new file.
    const QString fresh = path + QStringLiteral(".new");
    // The old file's journal goes with it, as when its folder is moved aside.
    QFile::remove(path + QStringLiteral("-wal"));
    QFile::remove(path + QStringLiteral("-shm"));
    {
        QFile file(fresh);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly)); // an empty file is a valid database
    }
    ASSERT_EQ(::rename(QFile::encodeName(fresh).constData(), QFile::encodeName(path).constData()),
              0);
    EXPECT_TRUE(KolvDbSQliteInfo::isReplaced(db));
    QSqlDatabase again =
        KolvDbSQliteInfo::get(root).connection(KolvDbSQliteInfo::DAEMON_TREL, name, &opened);
    EXPECT_TRUE(opened);
    ASSERT_TRUE(again.isOpen());
    EXPECT_EQ(again.connectionName(), name);
    EXPECT_FALSE(KolvDbSQliteInfo::isReplaced(again));
    EXPECT_NE(KolvDbSQliteInfo::fileIdentity(again), identity);
    EXPECT_FALSE(QSqlQuery(again).exec(QStringLiteral("SELECT COUNT(*) FROM t")));

    // Removed: nothing is opened or created at the path.
    ASSERT_TRUE(QFile::remove(path));
    EXPECT_TRUE(KolvDbSQliteInfo::isReplaced(again));
    db = KolvDbSQliteInfo::get(root).connection(KolvDbSQliteInfo::DAEMON_TREL, name, &opened);
    EXPECT_FALSE(opened);
    EXPECT_FALSE(db.isOpen());
    EXPECT_FALSE(QFile::exists(path));
    db = QSqlDatabase();
    again = QSqlDatabase();
    KolvDbSQliteInfo::release(name);
    EXPECT_FALSE(QSqlDatabase::contains(name));
}
