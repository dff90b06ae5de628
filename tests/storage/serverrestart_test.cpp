// A MariaDB server that restarts under the library: a private server of this test (so
// that other tests on the shared one are not disturbed) is stopped and started again
// for real between two statements and between two writes, and is down for a while.

#include "storage/storagetest.h"
#include "support/logcapture.h"

#include "installation.h"

#include <trel/trel.h>

#include <kolv/kexception.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/types.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using ::testing::Each;
using ::testing::HasSubstr;

namespace {

// The checkout's own script, as ctest names the checkout: a compiler cache may compile
// the file by a path relative to the build, and __FILE__ then says nothing of where.
QString serverScript() {
    const QString source = qEnvironmentVariable("TREL_SOURCE_DIR");
    if (!source.isEmpty())
        return QDir(source).absoluteFilePath(QStringLiteral("scripts/mariadb-test-server"));
    return QFileInfo(QStringLiteral(__FILE__))
        .absoluteDir()
        .absoluteFilePath(QStringLiteral("../../scripts/mariadb-test-server"));
}

// The private server: started once for this file by the project's script, restarted by
// the tests with the command line it was started with.
class PrivateServer {
public:
    bool start(QString* error) {
        if (!dir.isValid()) {
            *error = QStringLiteral("no temporary folder");
            return false;
        }
        // The server gets a temporary folder of its own: servers being installed at the
        // same time in /tmp collide on the names of their temporary tables.
        const QString command = QStringLiteral("TMPDIR='%2' '%1' start '%2' >'%2/start.log' 2>&1")
                                    .arg(serverScript(), dir.path());
        if (std::system(command.toLocal8Bit().constData()) != 0) {
            QString output;
            for (const char* name : {"start.log", "install.log", "error.log"}) {
                QFile log(dir.filePath(QLatin1String(name)));
                if (log.open(QIODevice::ReadOnly))
                    output += QStringLiteral("\n--- %1:\n%2")
                                  .arg(QLatin1String(name),
                                       QString::fromLocal8Bit(log.readAll().right(3000)));
            }
            *error = QStringLiteral("%1 failed:%2").arg(command, output);
            return false;
        }
        QSettings env(dir.filePath(QStringLiteral("env")), QSettings::IniFormat);
        info.setDbType(QStringLiteral("QMYSQL"));
        info.setDbHostName(env.value(QStringLiteral("TREL_TEST_MYSQL_HOST")).toString());
        info.setDbPort(env.value(QStringLiteral("TREL_TEST_MYSQL_PORT")).toInt());
        info.setDbUsername(env.value(QStringLiteral("TREL_TEST_MYSQL_USER")).toString());
        info.setDbPassword(env.value(QStringLiteral("TREL_TEST_MYSQL_PASSWORD")).toString());
        info.setDbName(env.value(QStringLiteral("TREL_TEST_MYSQL_DATABASE")).toString());
        return info.getDbPort() > 0;
    }

    // Stops the server (SIGTERM, as a service manager does) and waits until it is gone.
    bool stop() {
        const pid_t pid = serverPid();
        if (pid <= 0)
            return false;
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (!cmdline.open(QIODevice::ReadOnly))
            return false;
        arguments = cmdline.readAll().split('\0');
        while (!arguments.isEmpty() && arguments.last().isEmpty())
            arguments.removeLast();
        program = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid)).toLocal8Bit();
        if (arguments.isEmpty() || program.isEmpty() || ::kill(pid, SIGTERM) != 0)
            return false;
        for (int i = 0; i < 600 && ::kill(pid, 0) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return ::kill(pid, 0) != 0;
    }

    // Starts the server again on the same data, port and socket; waits until it answers.
    bool startAgain() {
        if (arguments.isEmpty())
            return false;
        std::vector<char*> argv;
        for (QByteArray& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        // Detached (double fork), like the script's background start, so that the
        // script's stop finds no child of ours.
        const pid_t child = ::fork();
        if (child < 0)
            return false;
        if (child == 0) {
            ::setsid();
            if (::fork() == 0) {
                const int null = ::open("/dev/null", O_RDWR);
                ::dup2(null, 0);
                ::dup2(null, 1);
                ::dup2(null, 2);
                ::execv(program.constData(), argv.data());
            }
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        const QByteArray ping =
            QStringLiteral("mariadb-admin --no-defaults --socket='%1' -uroot ping "
                           ">/dev/null 2>&1")
                .arg(dir.filePath(QStringLiteral("mysqld.sock")))
                .toLocal8Bit();
        for (int i = 0; i < 300; ++i) {
            if (std::system(ping.constData()) == 0)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    bool restart() { return stop() && startAgain(); }

    // The end of the throwaway server: killed outright (its data goes with the folder),
    // then the script tidies up after it.
    void shutDown() {
        const pid_t pid = serverPid();
        if (pid > 0 && ::kill(pid, SIGKILL) == 0)
            for (int i = 0; i < 200 && ::kill(pid, 0) == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const QString command =
            QStringLiteral("'%1' stop '%2' >/dev/null 2>&1").arg(serverScript(), dir.path());
        std::system(command.toLocal8Bit().constData());
    }

    QTemporaryDir dir;
    KolvServerInfo info;

private:
    pid_t serverPid() const {
        QFile file(dir.filePath(QStringLiteral("mysqld.pid")));
        if (!file.open(QIODevice::ReadOnly))
            return -1;
        return static_cast<pid_t>(file.readAll().trimmed().toLong());
    }

    QList<QByteArray> arguments;
    QByteArray program;
};

class ServerRestart : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server = new PrivateServer;
        if (!server->start(&startError)) {
            delete server;
            server = nullptr;
        }
    }
    static void TearDownTestSuite() {
        if (server)
            server->shutDown();
        delete server;
        server = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(server, nullptr) << startError.toStdString();
        ASSERT_TRUE(root.isValid());
        QString error;
        // Settings, templates and the schema (already there: kept) for the collector.
        ASSERT_TRUE(Installation::createMySql(root.path(), server->info, QString(), &error))
            << error.toStdString();
        ASSERT_TRUE(info.load(root.path(), &error)) << error.toStdString();
        OwnConnection admin(info);
        for (const QString& table : everyRequestTable())
            admin.exec(QStringLiteral("DELETE FROM %1").arg(table));
    }
    void TearDown() override { KTrel::release(); }

    qint64 count(const QString& table) {
        OwnConnection observer(info);
        return observer.scalar(QStringLiteral("SELECT COUNT(*) FROM %1").arg(table)).toLongLong();
    }

    static PrivateServer* server;
    static QString startError;
    QTemporaryDir root;
    KolvServerInfo info;
};

PrivateServer* ServerRestart::server = nullptr;
QString ServerRestart::startError;

TEST_F(ServerRestart, StatementsAndWritesAfterARestartRunOnReopenedConnections) {
    KTrel* trel = KTrel::instance();
    trel->initialize(info, 1);
    setRequestFacts(trel, QStringLiteral("http://restart.example/before"));
    addEverySection(trel, QStringLiteral("before"));
    trel->write();
    ASSERT_EQ(count(QStringLiteral("trel_requests")), 1);
    const QString limits = QStringLiteral("SELECT @@max_allowed_packet");
    {
        // The session's limits were read by the first write on it, and hold for it.
        SqlTrace trace;
        trel->reset();
        setRequestFacts(trel, QStringLiteral("http://restart.example/kept"));
        trel->write();
        EXPECT_EQ(trace.count(limits), 0) << trace.statements().join('\n').toStdString();
    }
    ASSERT_EQ(count(QStringLiteral("trel_requests")), 2);
    OwnConnection cleaner(info);
    cleaner.exec(QStringLiteral("DELETE FROM trel_requests WHERE page_id = 'abc' AND url_id IN "
                                "(SELECT id FROM trel_requests_urls WHERE url LIKE '%/kept')"));

    // A connection of its own that ran a statement before the restart.
    OwnConnection connection(info);
    {
        KSafeSqlQuery query(connection.db());
        query.prepare(
            QStringLiteral("SELECT COUNT(*) FROM trel_requests WHERE page_id = :page_id"));
        query.bindValue(QStringLiteral(":page_id"), QVariant(QStringLiteral("abc")));
        ASSERT_TRUE(query.exec(1, 0));
    }

    ASSERT_TRUE(server->restart());

    LogCapture log;
    {
        KSafeSqlQuery query(connection.db());
        query.prepare(
            QStringLiteral("INSERT INTO trel_monitor_events (id, request_id, agg_key) VALUES "
                           "(NULL, :request_id, :agg_key)"));
        query.bindValue(QStringLiteral(":request_id"), QVariant(qlonglong(-5)));
        query.bindValue(QStringLiteral(":agg_key"), QVariant(QStringLiteral("after-restart")));
        EXPECT_TRUE(query.exec(1, 0)) << "no retry is needed: the connection is reopened once";
    }
    OwnConnection observer(info);
    EXPECT_EQ(observer
                  .scalar(QStringLiteral(
                      "SELECT COUNT(*) FROM trel_monitor_events WHERE request_id = -5"))
                  .toLongLong(),
              1);

    // The collector's pooled connection died while idle: the write begins its
    // transaction on a reopened connection, and the whole request is still committed
    // at once.
    QList<qint64> seen;
    {
        SqlTrace trace([&](const QString&) {
            seen << observer.scalar(QStringLiteral("SELECT COUNT(*) FROM trel_requests"))
                        .toLongLong();
        });
        trel->reset();
        setRequestFacts(trel, QStringLiteral("http://restart.example/after"));
        addEverySection(trel, QStringLiteral("after"));
        trel->write();
        // The reopened session is another: its limits are read again, once (a
        // successful statement is traced twice).
        EXPECT_EQ(trace.count(limits), 2) << trace.statements().join('\n').toStdString();
    }
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
    ASSERT_FALSE(seen.isEmpty());
    EXPECT_THAT(seen, Each(1)) << "the second request is visible only after its commit";
    EXPECT_EQ(count(QStringLiteral("trel_requests")), 2);
    EXPECT_EQ(count(QStringLiteral("trel_sql_queries")), 4);
    EXPECT_EQ(
        observer
            .scalar(QStringLiteral("SELECT COUNT(*) FROM trel_requests r JOIN trel_requests_urls u "
                                   "ON u.id = r.url_id"))
            .toLongLong(),
        2);
}

TEST_F(ServerRestart, ServerDownFailsCleanlyAndTheNextWriteAfterItsReturnSucceeds) {
    KTrel* trel = KTrel::instance();
    trel->initialize(info, 1);
    setRequestFacts(trel, QStringLiteral("http://down.example/"));
    trel->write();
    OwnConnection connection(info);
    ASSERT_TRUE(connection.db().isOpen());

    ASSERT_TRUE(server->stop());
    LogCapture log;
    PauseRecorder pauses;
    {
        KSafeSqlQuery query(connection.db());
        query.prepare(QStringLiteral("SELECT 1"));
        try {
            query.exec(1, 10);
            ADD_FAILURE() << "exec returned with the server down";
        } catch (const KException& e) {
            EXPECT_THAT(e.what(), HasSubstr("QSafeSqlQuery::exec -> error in query"));
        }
    }
    trel->write();
    EXPECT_EQ(log.count(QStringLiteral("KTrel::write:"), 0), 1)
        << log.texts().join('\n').toStdString();
    EXPECT_TRUE(pauses.pauses().empty());

    ASSERT_TRUE(server->startAgain());
    log.clear();
    trel->write();
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
    EXPECT_EQ(count(QStringLiteral("trel_requests")), 2);
}

} // namespace
