// The `trel` program, run as a user runs it: each test starts the built binary on real
// installations (SQLite files and databases on the test MariaDB server) and checks what
// it prints, its exit code and what the database holds afterwards.

#include "support/logcapture.h"
#include "support/testinstallation.h"

#include <trel/trel.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>
#include <QUuid>

#include <algorithm>
#include <functional>
#include <memory>

#include <sys/stat.h>

#ifndef TREL_CLI
#error "TREL_CLI must name the built trel program"
#endif

// Readable texts in failure messages.
void PrintTo(const QString& text, std::ostream* stream) {
    *stream << '"' << text.toStdString() << '"';
}

namespace {

void ensureApplication() {
    static int argc = 1;
    static char name[] = "trel_cli_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app =
        QCoreApplication::instance() ? nullptr : new QCoreApplication(argc, argv);
    (void)app;
}

struct Result {
    int code = -1;
    QString out;
    QString err;
};

std::ostream& operator<<(std::ostream& stream, const Result& result) {
    return stream << "exit " << result.code << "\n--- stdout\n"
                  << result.out.toStdString() << "--- stderr\n"
                  << result.err.toStdString();
}

Result trel(const QStringList& arguments, int timeoutMs = 180000) {
    QProcess process;
    process.start(QStringLiteral(TREL_CLI), arguments);
    Result result;
    if (!process.waitForStarted()) {
        ADD_FAILURE() << "cannot start " << TREL_CLI;
        return result;
    }
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        ADD_FAILURE() << "trel " << arguments.join(' ').toStdString() << " did not finish";
    }
    result.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

// Bad input: exit code 2, nothing on standard output, one line on standard error that
// starts with "trel: " and says `phrase`.
void expectOneLineError(const Result& result, const QString& phrase) {
    EXPECT_EQ(result.code, 2) << result;
    EXPECT_TRUE(result.out.isEmpty()) << result;
    EXPECT_TRUE(result.err.startsWith(QLatin1String("trel: "))) << result;
    EXPECT_EQ(result.err.count(QLatin1Char('\n')), 1) << result;
    EXPECT_TRUE(result.err.endsWith(QLatin1Char('\n'))) << result;
    EXPECT_TRUE(result.err.contains(phrase, Qt::CaseInsensitive))
        << "wanted: " << phrase.toStdString() << "\n"
        << result;
}

// A number from the summary of `trel simulate`, e.g. "requests written".
qint64 summaryValue(const QString& text, const QString& label) {
    const QRegularExpression pattern(QRegularExpression::escape(label) +
                                     QStringLiteral("\\s+(\\d+)"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch()) {
        ADD_FAILURE() << "no '" << label.toStdString() << "' in:\n" << text.toStdString();
        return -1;
    }
    return match.captured(1).toLongLong();
}

// Every file of a folder with its size, to see that a command changed nothing. SQLite's
// shared-memory and log files come and go with any reader and are left out.
QStringList snapshot(const QString& root) {
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.endsWith(QLatin1String("-shm")) || path.endsWith(QLatin1String("-wal")))
            continue;
        const QFileInfo info(path);
        files << QStringLiteral("%1 %2 %3")
                     .arg(path)
                     .arg(info.size())
                     .arg(info.lastModified().toMSecsSinceEpoch());
    }
    files.sort();
    return files;
}

bool writeText(const QString& path, const QByteArray& content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

// An empty database of its own on the test server, dropped at the end.
class ServerDatabase {
public:
    ServerDatabase()
        : m_connection(QStringLiteral("cli_admin_%1").arg(QUuid::createUuid().toString())) {
        if (!TestInstallation::mysqlSettings(&m_info))
            return;
        m_name =
            QStringLiteral("trel_cli_%1").arg(QUuid::createUuid().toString(QUuid::Id128).left(12));
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), m_connection);
        db.setHostName(m_info.getDbHostName());
        db.setPort(m_info.getDbPort());
        db.setUserName(m_info.getDbUsername());
        db.setPassword(m_info.getDbPassword());
        if (!db.open()) {
            ADD_FAILURE() << "cannot reach the test server: "
                          << db.lastError().text().toStdString();
            return;
        }
        QSqlQuery create(db);
        m_ok = create.exec(QStringLiteral("CREATE DATABASE %1 CHARACTER SET utf8mb4").arg(m_name));
        EXPECT_TRUE(m_ok) << create.lastError().text().toStdString();
    }
    ~ServerDatabase() {
        {
            QSqlDatabase db = QSqlDatabase::database(m_connection, false);
            if (db.isOpen() && m_ok) {
                QSqlQuery drop(db);
                drop.exec(QStringLiteral("DROP DATABASE IF EXISTS %1").arg(m_name));
            }
            db.close();
        }
        QSqlDatabase::removeDatabase(m_connection);
    }
    bool ok() const { return m_ok; }
    const QString& name() const { return m_name; }
    const KolvServerInfo& server() const { return m_info; }
    const QString& connectionName() const { return m_connection; }
    QString hostPort() const {
        return QStringLiteral("%1:%2").arg(m_info.getDbHostName()).arg(m_info.getDbPort());
    }
    QStringList tables() {
        QStringList names;
        QSqlQuery query(QSqlDatabase::database(m_connection, false));
        query.exec(QStringLiteral(
                       "SELECT table_name FROM information_schema.tables WHERE table_schema = '%1'")
                       .arg(m_name));
        while (query.next())
            names << query.value(0).toString();
        names.sort();
        return names;
    }

private:
    QString m_connection;
    KolvServerInfo m_info;
    QString m_name;
    bool m_ok = false;
};

const QStringList allTables = {QStringLiteral("trel_backtrace"),
                               QStringLiteral("trel_functions_stats"),
                               QStringLiteral("trel_log_entries"),
                               QStringLiteral("trel_monitor_events"),
                               QStringLiteral("trel_processing_breakdown"),
                               QStringLiteral("trel_request_context"),
                               QStringLiteral("trel_request_owners"),
                               QStringLiteral("trel_requests"),
                               QStringLiteral("trel_requests_urls"),
                               QStringLiteral("trel_sql_queries"),
                               QStringLiteral("trel_sql_statements"),
                               QStringLiteral("trel_superglobals_data"),
                               QStringLiteral("trel_tokens"),
                               QStringLiteral("trel_user_agent")};
// A shared database also holds the installation's generation.
const QStringList allServerTables = [] {
    QStringList tables = allTables;
    tables.insert(2, QStringLiteral("trel_generation"));
    return tables;
}();

const char* const Firefox =
    "Mozilla/5.0 (X11; Linux x86_64; rv:125.0) Gecko/20100101 Firefox/125.0";

timeval microseconds(qint64 us) {
    timeval value;
    value.tv_sec = static_cast<time_t>(us / 1000000);
    value.tv_usec = static_cast<suseconds_t>(us % 1000000);
    return value;
}

// One request with known content, written through the library in this process: three
// queries of 0.1, 0.9 and 0.5 ms (one failed, two in transaction 2), an error with a
// backtrace, function statistics, an event, samples at start and end, and a breakdown
// of 30 ms database, 10 ms network, 20 ms local in a request of 100 ms. Texts carry
// markup, which a page must show as text. Returns the request's id.
qint64 writeKnownRequest(TestInstallation& inst) {
    LogCapture log;
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    trel->reset();
    trel->setPageId(QStringLiteral("known-page"));
    trel->setRequest(QStringLiteral("https://shop.example/app/known?x=1"));
    trel->setRequestMethod(QStringLiteral("POST"));
    trel->setRequestStatus(201);
    trel->setRequestStartTime(QDateTime::currentDateTime());
    trel->setIsPrimaryPage(true);
    // PHP reports memory_limit=-1 as -1: no limit.
    trel->getRequest().setMemoryLimit(-1);
    trel->getRequest().setPeakMemoryUsage(830976);
    struct Q {
        const char* prepared;
        const char* resolved;
        qint64 time;
        qint64 transaction;
        int status;
        const char* error;
    } queries[] = {
        {"SELECT * FROM fast WHERE id = ?", "SELECT * FROM fast WHERE id = 1", 100, 0, 0, ""},
        {"UPDATE slow SET a = ? WHERE b = ?",
         "UPDATE slow SET a = '<script>alert(1)</script>' WHERE b = 2", 900, 2, 0, ""},
        {"INSERT INTO middle VALUES (?)", "INSERT INTO middle VALUES (3)", 500, 2, 1213,
         "Deadlock found <img src=x onerror=alert(1)>"},
    };
    for (const Q& q : queries) {
        KTrel::SqlQuery query;
        query.preparedStatement = QString::fromLatin1(q.prepared);
        query.resolvedStatement = QString::fromLatin1(q.resolved);
        query.hasPreparedStatement = true;
        query.queryTime = q.time;
        query.transactionId = q.transaction;
        query.status = q.status;
        query.errorMessage = QString::fromLatin1(q.error);
        query.rowsAffected = 4;
        query.fileName = QStringLiteral("/srv/app/known.php");
        query.lineNumber = 12;
        query.backtraceId =
            trel->addBacktrace(QStringLiteral("#0 /srv/app/known.php(12): run_%1()").arg(q.time));
        trel->addRequestSqlQuery(query);
    }
    const int backtrace =
        trel->addBacktrace(QStringLiteral("#0 /srv/app/view.php(7): render()\n#1 {main}"));
    trel->addPhpError(2, "/srv/app/view.php", 7, "Undefined array key \"<b>sort</b>\"", backtrace);
    KFunctionStats stats;
    stats.setFunctionScope("App\\Known");
    stats.setFunctionName("handle");
    stats.setFilename("/srv/app/known.php");
    stats.setLine(3);
    stats.setCalls(2);
    stats.updateTimers(7000, 90000);
    trel->getFunctionsStats().insert("App\\Known::handle", stats);
    trel->addEventAggKey("known.event");
    trel->addSerializedSuperGlobal("_GET", "a:1:{s:1:\"x\";s:1:\"1\";}", KTrel::SAMPLE_START);
    trel->addSerializedSuperGlobal("_SESSION", "a:0:{}", KTrel::SAMPLE_END);
    trel->setRequestTime(100000);
    trel->addProcessingBreakdownData(microseconds(30000), microseconds(10000), microseconds(0),
                                     microseconds(20000));
    trel->write();
    const qint64 id = trel->getRequestId();
    KTrel::release();
    EXPECT_EQ(log.count(QStringLiteral("KTrel::write:")), 0)
        << log.texts().join('\n').toStdString();
    return id;
}

// Lets the simulated browsers in: a token for the shop and a pattern for Mozilla.
void admitBrowsers(const QString& root) {
    const Result token =
        trel({QStringLiteral("token"), QStringLiteral("add"), root, QStringLiteral("shop"),
              QStringLiteral("--base-url"), QStringLiteral("https://shop.example/")});
    ASSERT_EQ(token.code, 0) << token;
    const Result agent = trel({QStringLiteral("agent"), QStringLiteral("add"), root,
                               QStringLiteral("Browsers"), QStringLiteral("Mozilla")});
    ASSERT_EQ(agent.code, 0) << agent;
}

class TrelCli : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override { ensureApplication(); }
    void TearDown() override { KTrel::release(); }
    bool mysql() const { return GetParam() == Backend::MySql; }
};

// ---- help ---------------------------------------------------------------------------

TEST(TrelCliHelp, ListsEveryCommandAndExplainsEach) {
    ensureApplication();
    const Result help = trel({QStringLiteral("help")});
    ASSERT_EQ(help.code, 0) << help;
    for (const char* command :
         {"init", "simulate", "requests", "show", "cleanup", "token", "agent", "check"}) {
        EXPECT_TRUE(help.out.contains(QStringLiteral("\n  %1 ").arg(QString::fromLatin1(command))))
            << command << "\n"
            << help;
        const Result own = trel({QString::fromLatin1(command), QStringLiteral("--help")});
        EXPECT_EQ(own.code, 0) << own;
        EXPECT_TRUE(
            own.out.startsWith(QStringLiteral("Usage: trel %1 ").arg(QString::fromLatin1(command))))
            << own;
        const Result viaHelp = trel({QStringLiteral("help"), QString::fromLatin1(command)});
        EXPECT_EQ(viaHelp.out, own.out);
    }
    EXPECT_FALSE(help.out.contains(QLatin1String("simulate-worker")));
    // Admission compares the path's text: what the help says of it.
    const Result token = trel({QStringLiteral("token"), QStringLiteral("--help")});
    EXPECT_TRUE(token.out.simplified().contains(
        QLatin1String("a path that starts with the base path's text (a base path /shop also "
                      "covers /shop-admin/ and /shopping;")))
        << token;
    EXPECT_FALSE(token.out.contains(QLatin1String("under the base path"))) << token;
    expectOneLineError(trel({QStringLiteral("frobnicate")}),
                       QStringLiteral("no command 'frobnicate'"));
    expectOneLineError(trel({QStringLiteral("help"), QStringLiteral("frobnicate")}),
                       QStringLiteral("no command 'frobnicate'"));
    const Result none = trel({});
    EXPECT_EQ(none.code, 2);
    EXPECT_TRUE(none.err.contains(QLatin1String("Usage: trel COMMAND")));
}

// ---- init ---------------------------------------------------------------------------

TEST_P(TrelCli, InitCreatesACompleteInstallationAndReplacesOneOnlyWithForce) {
    QTemporaryDir parent;
    ASSERT_TRUE(parent.isValid());
    const QString root = parent.filePath(QStringLiteral("site"));
    QStringList init{QStringLiteral("init"), root};
    std::unique_ptr<ServerDatabase> server;
    // A path with characters that INI files treat specially must still read back.
    const QString passwordFile =
        parent.filePath(QStringLiteral("pass, word; #1 \\ \"q\"/password"));
    if (mysql()) {
        server = std::make_unique<ServerDatabase>();
        ASSERT_TRUE(server->ok());
        ASSERT_TRUE(QDir().mkpath(QFileInfo(passwordFile).path()));
        ASSERT_TRUE(writeText(passwordFile, server->server().getDbPassword().toUtf8() + "\n"));
        init << QStringLiteral("--mysql") << server->hostPort() << QStringLiteral("--database")
             << server->name() << QStringLiteral("--user") << server->server().getDbUsername()
             << QStringLiteral("--password-file") << passwordFile;
    }
    const Result created = trel(init);
    ASSERT_EQ(created.code, 0) << created;
    EXPECT_TRUE(created.err.isEmpty()) << created;

    // Settings the host loads, templates of a real bar, the schema.
    KolvServerInfo settings;
    QString error;
    ASSERT_TRUE(settings.load(root, &error)) << error.toStdString();
    const QDir dir(root);
    for (const char* name : {"share/scripts/trel_header.html", "share/scripts/trel_footer.html"}) {
        QFile file(dir.filePath(QString::fromLatin1(name)));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name;
        EXPECT_FALSE(file.readAll().trimmed().isEmpty()) << name;
    }
    QFile header(dir.filePath(QStringLiteral("share/scripts/trel_header.html")));
    ASSERT_TRUE(header.open(QIODevice::ReadOnly));
    const QByteArray headerText = header.readAll();
    EXPECT_TRUE(headerText.contains("<script>"));
    QFile footer(dir.filePath(QStringLiteral("share/scripts/trel_footer.html")));
    ASSERT_TRUE(footer.open(QIODevice::ReadOnly));
    const QByteArray footerText = footer.readAll();
    EXPECT_TRUE(footerText.contains("id=\"trel-bar\" data-trel-page=\"{{trel-page-id}}\""));
    // Every page that shows the bar carries both: 13,110 bytes was the bar's weight
    // before it had its timeline, its keyboard and its phone layout, and it stays there.
    EXPECT_LE(headerText.size() + footerText.size(), 13110);
    EXPECT_FALSE(headerText.contains("\n ")) << "the script is written without its indentation";
    QFile ini(KolvServerInfo::settingsPath(root));
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    const QByteArray iniText = ini.readAll();
    if (mysql()) {
        EXPECT_TRUE(settings.isMySQL());
        EXPECT_EQ(settings.getDbName(), server->name());
        EXPECT_EQ(settings.getDbPassword(), server->server().getDbPassword());
        // The password stays in its file; the settings name the file by its full path.
        EXPECT_FALSE(iniText.contains(server->server().getDbPassword().toUtf8()))
            << iniText.toStdString();
        QSettings read(KolvServerInfo::settingsPath(root), QSettings::IniFormat);
        EXPECT_EQ(read.value(QStringLiteral("database/password_file")).toString(),
                  QFileInfo(passwordFile).absoluteFilePath())
            << iniText.toStdString();
        EXPECT_EQ(server->tables(), allServerTables);
        EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("data/trel.db"))));
    } else {
        EXPECT_EQ(settings.getDbType(), QStringLiteral("SQLITE"));
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("init_check"));
        db.setDatabaseName(dir.filePath(QStringLiteral("data/trel.db")));
        ASSERT_TRUE(db.open());
        {
            QSqlQuery mode(db);
            ASSERT_TRUE(mode.exec(QStringLiteral("PRAGMA journal_mode")) && mode.next());
            EXPECT_EQ(mode.value(0).toString().toLower(), QStringLiteral("wal"));
            QSqlQuery tables(db);
            ASSERT_TRUE(tables.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type = "
                                                   "'table' AND name LIKE 'trel%' ORDER BY name")));
            QStringList names;
            while (tables.next())
                names << tables.value(0).toString();
            EXPECT_EQ(names, allTables);
        }
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("init_check"));
    }
    // Nothing of the temporary folder is left beside the installation.
    EXPECT_EQ(QDir(parent.path())
                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                  .size(),
              mysql() ? 2 : 1);

    // An existing installation is kept without --force.
    ASSERT_EQ(
        trel({QStringLiteral("token"), QStringLiteral("add"), root, QStringLiteral("keepme")}).code,
        0);
    const QStringList before = snapshot(root);
    expectOneLineError(trel(init), QStringLiteral("--force"));
    EXPECT_EQ(snapshot(root), before);
    EXPECT_TRUE(trel({QStringLiteral("token"), QStringLiteral("list"), root})
                    .out.contains(QLatin1String("keepme")));

    // With --force it is replaced by a new one; a server's tables keep their rows.
    const Result replaced = trel(init << QStringLiteral("--force"));
    ASSERT_EQ(replaced.code, 0) << replaced;
    EXPECT_TRUE(replaced.out.startsWith(QLatin1String("replaced with"))) << replaced;
    const Result tokens = trel({QStringLiteral("token"), QStringLiteral("list"), root});
    ASSERT_EQ(tokens.code, 0) << tokens;
    EXPECT_EQ(tokens.out.contains(QLatin1String("keepme")), mysql()) << tokens;
    EXPECT_EQ(QDir(parent.path())
                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                  .size(),
              mysql() ? 2 : 1);
}

// An installation that names the server's unix socket: init writes it to the settings,
// the tool and the library reach the server through it (the server shows such sessions
// as from "localhost"; the test's own are over TCP).
TEST(TrelCliInit, AMySqlInstallationCanNameTheServersSocket) {
    const QString socket = qEnvironmentVariable("TREL_TEST_MYSQL_SOCKET");
    ASSERT_FALSE(socket.isEmpty()) << "no TREL_TEST_MYSQL_SOCKET";
    ServerDatabase server;
    ASSERT_TRUE(server.ok());
    QTemporaryDir parent;
    const QString root = parent.filePath(QStringLiteral("site"));
    const QString passwordFile = parent.filePath(QStringLiteral("password"));
    ASSERT_TRUE(writeText(passwordFile, server.server().getDbPassword().toUtf8()));
    const Result created =
        trel({QStringLiteral("init"), root, QStringLiteral("--mysql"), socket,
              QStringLiteral("--database"), server.name(), QStringLiteral("--user"),
              server.server().getDbUsername(), QStringLiteral("--password-file"), passwordFile});
    ASSERT_EQ(created.code, 0) << created;
    KolvServerInfo settings;
    ASSERT_TRUE(settings.load(root));
    EXPECT_EQ(settings.getDbSocket(), socket);
    EXPECT_EQ(server.tables(), allServerTables);
    ASSERT_EQ(
        trel({QStringLiteral("token"), QStringLiteral("add"), root, QStringLiteral("t")}).code, 0);

    KTrel* collector = KTrel::instance();
    collector->initialize(settings, 1);
    collector->reset();
    collector->setPageId(QStringLiteral("p"));
    collector->setRequest(QStringLiteral("http://socket.example/"));
    LogCapture log;
    collector->write();
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
    QSqlQuery check(QSqlDatabase::database(server.connectionName(), false));
    ASSERT_TRUE(check.exec(QStringLiteral("SELECT (SELECT COUNT(*) FROM %1.trel_requests), "
                                          "(SELECT COUNT(*) FROM information_schema.PROCESSLIST "
                                          "WHERE DB = '%1' AND HOST = 'localhost')")
                               .arg(server.name())) &&
                check.next());
    EXPECT_EQ(check.value(0).toInt(), 1);
    EXPECT_GE(check.value(1).toInt(), 1);
    KTrel::release();
}

// A second web server's init joins the installation in the shared database: it writes
// its own settings and leaves the live trigger, tables and tokens alone. --force applies
// the schema again and gives a table of an older installation its primary key, which
// check reports until then.
TEST(TrelCliInit, ASecondServerJoinsTheSharedDatabaseAndForceAddsMissingKeys) {
    ensureApplication();
    ServerDatabase server;
    ASSERT_TRUE(server.ok());
    QTemporaryDir parent;
    const QString passwordFile = parent.filePath(QStringLiteral("password"));
    ASSERT_TRUE(writeText(passwordFile, server.server().getDbPassword().toUtf8()));
    auto init = [&](const QString& root) {
        return QStringList{QStringLiteral("init"),
                           root,
                           QStringLiteral("--mysql"),
                           server.hostPort(),
                           QStringLiteral("--database"),
                           server.name(),
                           QStringLiteral("--user"),
                           server.server().getDbUsername(),
                           QStringLiteral("--password-file"),
                           passwordFile};
    };
    const QString first = parent.filePath(QStringLiteral("web1"));
    const QString second = parent.filePath(QStringLiteral("web2"));
    const Result created = trel(init(first));
    ASSERT_EQ(created.code, 0) << created;
    EXPECT_TRUE(created.out.startsWith(QLatin1String("created a MariaDB/MySQL installation")))
        << created;
    ASSERT_EQ(
        trel({QStringLiteral("token"), QStringLiteral("add"), first, QStringLiteral("shared")})
            .code,
        0);

    QSqlQuery sql(QSqlDatabase::database(server.connectionName(), false));
    // What an older installation looks like, and a trigger that the join must not touch.
    ASSERT_TRUE(sql.exec(QStringLiteral("ALTER TABLE %1.trel_processing_breakdown DROP PRIMARY "
                                        "KEY, ADD KEY (request_id)")
                             .arg(server.name())))
        << sql.lastError().text().toStdString();
    ASSERT_TRUE(
        sql.exec(QStringLiteral("DROP TRIGGER %1.trel_requests_delete").arg(server.name())));
    auto triggers = [&]() {
        sql.exec(QStringLiteral("SELECT COUNT(*) FROM information_schema.TRIGGERS WHERE "
                                "TRIGGER_SCHEMA = '%1'")
                     .arg(server.name()));
        return sql.next() ? sql.value(0).toInt() : -1;
    };

    const Result joined = trel(init(second));
    ASSERT_EQ(joined.code, 0) << joined;
    EXPECT_TRUE(joined.out.startsWith(
        QStringLiteral("joined the MariaDB/MySQL installation in database %1 at %2\n")
            .arg(server.name(), second)))
        << joined;
    EXPECT_TRUE(joined.out.contains(QLatin1String("its 15 trel tables, trigger, tokens and "
                                                  "patterns are shared and were left as they are")))
        << joined;
    EXPECT_EQ(triggers(), 0);
    EXPECT_EQ(server.tables(), allServerTables);
    EXPECT_TRUE(trel({QStringLiteral("token"), QStringLiteral("list"), second})
                    .out.contains(QLatin1String("shared")));
    const QStringList check{QStringLiteral("check"),   second,
                            QStringLiteral("--token"), QStringLiteral("shared"),
                            QStringLiteral("--url"),   QStringLiteral("https://shop.example/"),
                            QStringLiteral("--agent"), QStringLiteral("Mozilla/5.0")};
    EXPECT_TRUE(trel(check).out.contains(
        QLatin1String("  schema      warning: trel_processing_breakdown without a primary key")));

    const Result forced = trel(init(second) << QStringLiteral("--force"));
    ASSERT_EQ(forced.code, 0) << forced;
    EXPECT_TRUE(forced.out.startsWith(QLatin1String("replaced with a MariaDB/MySQL installation")))
        << forced;
    EXPECT_EQ(triggers(), 1);
    const Result checked = trel(check);
    EXPECT_FALSE(checked.out.contains(QLatin1String("schema"))) << checked;
    EXPECT_TRUE(trel({QStringLiteral("token"), QStringLiteral("list"), first})
                    .out.contains(QLatin1String("shared")));
    sql = QSqlQuery();
}

TEST(TrelCliInit, RefusesBadArgumentsAndForeignFoldersWithoutWritingAnything) {
    ensureApplication();
    QTemporaryDir parent;
    ASSERT_TRUE(parent.isValid());
    const QString root = parent.filePath(QStringLiteral("site"));
    auto nothingCreated = [&]() {
        EXPECT_EQ(
            QDir(parent.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList{});
    };
    expectOneLineError(trel({QStringLiteral("init")}), QStringLiteral("missing ROOT"));
    expectOneLineError(
        trel({QStringLiteral("init"), root, QStringLiteral("--database"), QStringLiteral("x")}),
        QStringLiteral("--database goes with --mysql"));
    expectOneLineError(trel({QStringLiteral("init"), root, QStringLiteral("--mysql"),
                             QStringLiteral("localhost")}),
                       QStringLiteral("HOST:PORT"));
    expectOneLineError(trel({QStringLiteral("init"), root, QStringLiteral("--mysql"),
                             QStringLiteral("localhost:99999"), QStringLiteral("--database"),
                             QStringLiteral("d"), QStringLiteral("--user"), QStringLiteral("u")}),
                       QStringLiteral("HOST:PORT"));
    expectOneLineError(
        trel({QStringLiteral("init"), root, QStringLiteral("--mysql"),
              QStringLiteral("127.0.0.1:3306"), QStringLiteral("--database"), QStringLiteral("d")}),
        QStringLiteral("needs --user"));
    expectOneLineError(
        trel({QStringLiteral("init"), root, QStringLiteral("--mysql"),
              QStringLiteral("127.0.0.1:3306"), QStringLiteral("--database"),
              QStringLiteral("bad;name"), QStringLiteral("--user"), QStringLiteral("u")}),
        QStringLiteral("--database"));
    expectOneLineError(
        trel({QStringLiteral("init"), root, QStringLiteral("--mysql"),
              QStringLiteral("127.0.0.1:3306"), QStringLiteral("--database"), QStringLiteral("d"),
              QStringLiteral("--user"), QStringLiteral("u"), QStringLiteral("--password-file"),
              parent.filePath(QStringLiteral("none"))}),
        QStringLiteral("cannot read the password file"));
    // An unreachable server: nothing is created, not even the temporary folder.
    ASSERT_TRUE(writeText(parent.filePath(QStringLiteral("pw")), "secret\n"));
    expectOneLineError(
        trel({QStringLiteral("init"), root, QStringLiteral("--mysql"),
              QStringLiteral("127.0.0.1:1"), QStringLiteral("--database"), QStringLiteral("d"),
              QStringLiteral("--user"), QStringLiteral("u"), QStringLiteral("--password-file"),
              parent.filePath(QStringLiteral("pw"))}),
        QStringLiteral("cannot connect to the MySQL server at 127.0.0.1:1"));
    QFile::remove(parent.filePath(QStringLiteral("pw")));
    nothingCreated();
    expectOneLineError(
        trel({QStringLiteral("init"), parent.filePath(QStringLiteral("no/such/site"))}),
        QStringLiteral("does not exist"));
    nothingCreated();

    // Somebody's folder is never replaced, --force or not.
    ASSERT_TRUE(QDir(parent.path()).mkpath(QStringLiteral("site")));
    ASSERT_TRUE(writeText(parent.filePath(QStringLiteral("site/notes.txt")), "mine"));
    expectOneLineError(trel({QStringLiteral("init"), root, QStringLiteral("--force")}),
                       QStringLiteral("other files"));
    EXPECT_EQ(QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("notes.txt")});
    EXPECT_EQ(QDir(parent.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("site")});

    // An empty folder is fine.
    ASSERT_TRUE(QFile::remove(parent.filePath(QStringLiteral("site/notes.txt"))));
    const Result created = trel({QStringLiteral("init"), root});
    EXPECT_EQ(created.code, 0) << created;
}

// ---- tokens and user-agent patterns --------------------------------------------------

TEST_P(TrelCli, TokensAreAddedListedAndRemovedAndBadOnesRefused) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    const QString root = inst.root();
    auto token = [&](QStringList arguments) {
        return trel(QStringList{QStringLiteral("token")} + arguments);
    };
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    Result added =
        token({QStringLiteral("add"), root, QStringLiteral("t1"), QStringLiteral("--ttl"),
               QStringLiteral("3600"), QStringLiteral("--base-url"),
               QStringLiteral("https://shop.example:8443/app")});
    ASSERT_EQ(added.code, 0) << added;
    added = token({QStringLiteral("add"), root, QStringLiteral("t2"), QStringLiteral("--ttl"),
                   QStringLiteral("2030-01-01")});
    ASSERT_EQ(added.code, 0) << added;
    added = token({QStringLiteral("add"), root, QStringLiteral("t3"), QStringLiteral("--ttl"),
                   QStringLiteral("+2h"), QStringLiteral("--allowed-hosts"),
                   QStringLiteral("a.example,b.example:8080")});
    ASSERT_EQ(added.code, 0) << added;

    auto row = [&](const char* name) {
        const QList<QVariantList> rows = inst.rows(
            QStringLiteral(
                "SELECT ttl, base_url, allowed_hosts FROM trel_tokens WHERE token_id = ?"),
            {QString::fromLatin1(name)});
        return rows.isEmpty() ? QVariantList() : rows.first();
    };
    QVariantList t1 = row("t1");
    ASSERT_EQ(t1.size(), 3);
    EXPECT_GE(t1.at(0).toLongLong(), now + 3600);
    EXPECT_LE(t1.at(0).toLongLong(), now + 3660);
    EXPECT_EQ(t1.at(1).toString(), QStringLiteral("https://shop.example:8443/app"));
    EXPECT_EQ(t1.at(2).toString(), QStringLiteral("shop.example:8443"));
    EXPECT_EQ(row("t2").value(0).toLongLong(), 1893456000LL);
    EXPECT_EQ(row("t2").value(1).toString(), QString());
    EXPECT_GE(row("t3").value(0).toLongLong(), now + 7200);
    EXPECT_EQ(row("t3").value(2).toString(), QStringLiteral("a.example,b.example:8080"));

    const Result listed = token({QStringLiteral("list"), root});
    ASSERT_EQ(listed.code, 0) << listed;
    for (const char* name : {"t1", "t2", "t3"})
        EXPECT_TRUE(
            listed.out.contains(QStringLiteral("  %1  valid until").arg(QString::fromLatin1(name))))
            << listed;
    EXPECT_TRUE(listed.out.contains(QLatin1String("2030-01-01 00:00:00 UTC"))) << listed;

    // Refused before anything is written.
    const struct {
        QStringList arguments;
        const char* phrase;
    } bad[] = {
        {{QStringLiteral("add"), root, QStringLiteral("t1")}, "already has a token named 't1'"},
        {{QStringLiteral("add"), root, QStringLiteral("t4"), QStringLiteral("--ttl"),
          QStringLiteral("soon")},
         "TTL 'soon'"},
        {{QStringLiteral("add"), root, QStringLiteral("t4"), QStringLiteral("--ttl"),
          QStringLiteral("0")},
         "zero"},
        {{QStringLiteral("add"), root, QStringLiteral("t4"), QStringLiteral("--ttl"),
          QStringLiteral("2020-01-01")},
         "not in the future"},
        {{QStringLiteral("add"), root, QStringLiteral("t4"), QStringLiteral("--ttl"),
          QStringLiteral("2030-02-30")},
         "not a valid date"},
        {{QStringLiteral("add"), root, QStringLiteral("t4"), QStringLiteral("--ttl"),
          QStringLiteral("99999999999d")},
         "hundred years"},
        {{QStringLiteral("add"), root, QStringLiteral("bad name")}, "may hold only"},
        {{QStringLiteral("add"), root, QStringLiteral("a,b")}, "may hold only"},
        {{QStringLiteral("add"), root, QStringLiteral("t4"), QStringLiteral("--base-url"),
          QStringLiteral("shop.example")},
         "--base-url"},
        {{QStringLiteral("add"), root, QStringLiteral("t4"), QStringLiteral("--base-url"),
          QStringLiteral("ftp://shop.example/")},
         "--base-url"},
        {{QStringLiteral("add"), root, QStringLiteral("t4"), QStringLiteral("--base-url"),
          QStringLiteral("https://shop.example/?q=1")},
         "--base-url"},
        {{QStringLiteral("add"), root, QStringLiteral("t4"), QStringLiteral("--allowed-hosts"),
          QStringLiteral("a b")},
         "--allowed-hosts"},
        {{QStringLiteral("add"), root, QStringLiteral("t4"), QStringLiteral("--allowed-hosts"),
          QStringLiteral("a,,b")},
         "--allowed-hosts"},
        {{QStringLiteral("add"), root}, "missing NAME"},
        {{QStringLiteral("list"), root, QStringLiteral("--ttl"), QStringLiteral("1h")},
         "--ttl goes with `add`"},
        {{QStringLiteral("frob"), root}, "unknown action 'frob'"},
        {{QStringLiteral("remove"), root, QStringLiteral("nope")}, "no token named 'nope'"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.arguments.join(' ').toStdString());
        expectOneLineError(token(b.arguments), QString::fromLatin1(b.phrase));
        EXPECT_EQ(inst.count(QStringLiteral("trel_tokens")), 3);
    }

    const Result removed = token({QStringLiteral("remove"), root, QStringLiteral("t2")});
    ASSERT_EQ(removed.code, 0) << removed;
    EXPECT_EQ(inst.count(QStringLiteral("trel_tokens"), QStringLiteral("token_id = 't2'")), 0);
    EXPECT_EQ(inst.count(QStringLiteral("trel_tokens")), 2);
    expectOneLineError(token({QStringLiteral("remove"), root, QStringLiteral("t2")}),
                       QStringLiteral("no token named 't2'"));
}

TEST_P(TrelCli, UserAgentPatternsAreAddedListedAndRemovedAndInvalidOnesRefused) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    const QString root = inst.root();
    auto agent = [&](QStringList arguments) {
        return trel(QStringList{QStringLiteral("agent")} + arguments);
    };
    const Result added = agent(
        {QStringLiteral("add"), root, QStringLiteral("Firefox"), QStringLiteral("firefox/\\d+")});
    ASSERT_EQ(added.code, 0) << added;
    EXPECT_TRUE(added.out.contains(QLatin1String("admits 1 of the 6 browsers"))) << added;
    ASSERT_EQ(
        agent({QStringLiteral("add"), root, QStringLiteral("Chrome"), QStringLiteral("Chrome/")})
            .code,
        0);
    EXPECT_EQ(inst.count(QStringLiteral("trel_user_agent")), 2);
    EXPECT_EQ(
        inst.scalar(QStringLiteral(
                        "SELECT agent_string FROM trel_user_agent WHERE user_agent = 'Firefox'"))
            .toString(),
        QStringLiteral("firefox/\\d+"));

    const struct {
        QStringList arguments;
        const char* phrase;
    } bad[] = {
        {{QStringLiteral("add"), root, QStringLiteral("Broken"), QStringLiteral("(unclosed")},
         "not a valid regular expression"},
        {{QStringLiteral("add"), root, QStringLiteral("Empty"), QStringLiteral(" ")},
         "pattern is empty"},
        {{QStringLiteral("add"), root, QStringLiteral("Nolabel")}, "missing PATTERN"},
        {{QStringLiteral("remove"), root, QStringLiteral("x")}, "ID wants"},
        {{QStringLiteral("remove"), root, QStringLiteral("999")},
         "no user-agent pattern with id 999"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.arguments.join(' ').toStdString());
        expectOneLineError(agent(b.arguments), QString::fromLatin1(b.phrase));
        EXPECT_EQ(inst.count(QStringLiteral("trel_user_agent")), 2);
    }

    // A row another program wrote with a broken pattern is marked, as the collector skips it.
    ASSERT_TRUE(inst.exec(QStringLiteral("INSERT INTO trel_user_agent (user_agent, extra, "
                                         "agent_string) VALUES ('Old', '', '[a-')")));
    const Result listed = agent({QStringLiteral("list"), root});
    ASSERT_EQ(listed.code, 0) << listed;
    EXPECT_TRUE(listed.out.contains(QLatin1String("Firefox  firefox/\\d+\n"))) << listed;
    EXPECT_TRUE(listed.out.contains(QLatin1String("Old  [a-  (INVALID"))) << listed;

    const qint64 chrome =
        inst.scalar(QStringLiteral("SELECT id FROM trel_user_agent WHERE user_agent = 'Chrome'"))
            .toLongLong();
    // Running PHP workers learn of a change from the stamp, which each change writes
    // afresh: another file, whatever the file system's times.
    const QString stamp = QDir(root).filePath(QStringLiteral("data/trel.stamp"));
    struct stat before = {}, after = {};
    ASSERT_EQ(::stat(QFile::encodeName(stamp).constData(), &before), 0);
    const Result removed = agent({QStringLiteral("remove"), root, QString::number(chrome)});
    ASSERT_EQ(removed.code, 0) << removed;
    EXPECT_EQ(
        inst.count(QStringLiteral("trel_user_agent"), QStringLiteral("user_agent = 'Chrome'")), 0);
    ASSERT_EQ(::stat(QFile::encodeName(stamp).constData(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino);
    QFile written(stamp);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_TRUE(written.readAll().startsWith(
        QStringLiteral("removing pattern %1 at ").arg(chrome).toUtf8()));

    // A stamp that cannot be written (a folder in its place stops root too) fails the
    // command, which says that the change itself was made.
    ASSERT_TRUE(QFile::remove(stamp) && QDir().mkdir(stamp));
    const Result unmarked =
        agent({QStringLiteral("add"), root, QStringLiteral("Edge"), QStringLiteral("Edg/")});
    expectOneLineError(unmarked, QStringLiteral("running PHP workers do not notice it"));
    EXPECT_TRUE(unmarked.err.contains(QLatin1String("adding pattern"))) << unmarked;
    EXPECT_EQ(inst.count(QStringLiteral("trel_user_agent"), QStringLiteral("user_agent = 'Edge'")),
              1);
    ASSERT_TRUE(QDir().rmdir(stamp));
}

// ---- check --------------------------------------------------------------------------

TEST_P(TrelCli, CheckGivesTheHostsDecisionAndWhy) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    const QString root = inst.root();
    ASSERT_EQ(trel({QStringLiteral("token"), QStringLiteral("add"), root, QStringLiteral("shop"),
                    QStringLiteral("--base-url"), QStringLiteral("https://shop.example/app"),
                    QStringLiteral("--allowed-hosts"), QStringLiteral("shop.example,cdn.example")})
                  .code,
              0);
    ASSERT_EQ(trel({QStringLiteral("agent"), QStringLiteral("add"), root,
                    QStringLiteral("Browsers"), QStringLiteral("Mozilla")})
                  .code,
              0);
    ASSERT_TRUE(inst.exec(QStringLiteral("INSERT INTO trel_tokens (token_id, allowed_hosts, ttl, "
                                         "base_url) VALUES (?, '', ?, '')"),
                          {QStringLiteral("old"), QDateTime::currentSecsSinceEpoch() - 3600}));

    auto check = [&](const QString& token, const QString& url, const QString& agent) {
        return trel({QStringLiteral("check"), root, QStringLiteral("--token"), token,
                     QStringLiteral("--url"), url, QStringLiteral("--agent"), agent});
    };
    const QString firefox = QString::fromLatin1(Firefox);
    const Result admitted = check(QStringLiteral("shop"),
                                  QStringLiteral("https://shop.example/app/cart?id=3"), firefox);
    EXPECT_EQ(admitted.code, 0) << admitted;
    EXPECT_TRUE(admitted.out.startsWith(QLatin1String("admitted"))) << admitted;
    EXPECT_TRUE(admitted.out.contains(QLatin1String("pattern 1 'Browsers' (Mozilla)"))) << admitted;
    EXPECT_TRUE(admitted.out.contains(QLatin1String("allowed hosts: shop.example,cdn.example")))
        << admitted;
    EXPECT_FALSE(admitted.out.contains(QLatin1String("farm"))) << admitted;
    // Asked about a server behind a balancer: per-server SQLite cannot serve the bar there,
    // one shared MariaDB database can.
    const Result farm =
        trel({QStringLiteral("check"), root, QStringLiteral("--token"), QStringLiteral("shop"),
              QStringLiteral("--url"), QStringLiteral("https://shop.example/app/cart?id=3"),
              QStringLiteral("--agent"), firefox, QStringLiteral("--farm")});
    EXPECT_EQ(farm.code, 0) << farm;
    EXPECT_EQ(farm.out.contains(QLatin1String("  farm        warning: this SQLite installation "
                                              "holds only the requests this server served")),
              !mysql())
        << farm;

    const struct {
        QString token;
        QString url;
        QString agent;
        const char* reason;
    } refused[] = {
        {QStringLiteral("nope"), QStringLiteral("https://shop.example/app/"), firefox,
         "there is no token named 'nope'"},
        {QStringLiteral("old"), QStringLiteral("https://shop.example/app/"), firefox,
         "'old' expired at"},
        {QStringLiteral("shop"), QStringLiteral("https://other.example/app/"), firefox,
         "the URL's host 'other.example' is not the token's host 'shop.example'"},
        {QStringLiteral("shop"), QStringLiteral("https://shop.example/admin"), firefox,
         "the URL's path '/admin' is not under the token's path '/app'"},
        {QStringLiteral("shop"), QStringLiteral("https://shop.example/app/../admin"), firefox,
         "is not under the token's path"},
        {QStringLiteral("shop"), QStringLiteral("https://shop.example/app/"),
         QStringLiteral("curl/8.5.0"), "does not match the only pattern"},
        {QStringLiteral("shop"), QStringLiteral("https://shop.example/app/"), QStringLiteral("   "),
         "the user agent is empty"},
        {QString(), QStringLiteral("https://shop.example/app/"), firefox, "no token presented"},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.reason);
        const Result result = check(r.token, r.url, r.agent);
        EXPECT_EQ(result.code, 1) << result;
        EXPECT_TRUE(result.out.startsWith(QLatin1String("refused"))) << result;
        EXPECT_TRUE(result.out.contains(QString::fromLatin1(r.reason))) << result;
    }

    expectOneLineError(check(QStringLiteral("shop"), QStringLiteral("shop.example/app"), firefox),
                       QStringLiteral("--url"));
    expectOneLineError(trel({QStringLiteral("check"), root, QStringLiteral("--url"),
                             QStringLiteral("https://a.example/")}),
                       QStringLiteral("--token is required"));
}

// ---- simulate -----------------------------------------------------------------------

TEST_P(TrelCli, SimulateStoresTheAdmittedRequestsAndNothingOfTheRefusedOnes) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    admitBrowsers(inst.root());
    ASSERT_TRUE(inst.exec(QStringLiteral("INSERT INTO trel_tokens (token_id, allowed_hosts, ttl, "
                                         "base_url) VALUES ('gone', '', 1000, '')")));
    const Result run = trel({QStringLiteral("simulate"), inst.root(), QStringLiteral("--requests"),
                             QStringLiteral("40"), QStringLiteral("--seed"), QStringLiteral("3"),
                             QStringLiteral("--unauthorised-share"), QStringLiteral("0.4")});
    ASSERT_EQ(run.code, 0) << run;
    const qint64 written = summaryValue(run.out, QStringLiteral("requests written"));
    const qint64 refused = summaryValue(run.out, QStringLiteral("requests refused"));
    EXPECT_EQ(summaryValue(run.out, QStringLiteral("requests failed")), 0) << run;
    EXPECT_EQ(written + refused, 40) << run;
    EXPECT_GT(refused, 5) << run;
    EXPECT_GT(written, 10) << run;
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), written);
    EXPECT_EQ(inst.orphanRows(), 0);
    EXPECT_TRUE(run.out.contains(QLatin1String("requests per second"))) << run;
    EXPECT_TRUE(run.out.contains(QLatin1String("database size"))) << run;
    // Each admitted request is stored with the token that admitted it.
    EXPECT_EQ(inst.count(QStringLiteral("trel_request_owners")), written);
    // The summary counts the rows of the tables every installation has, as they are.
    for (const QString& table : allTables) {
        if (table != QLatin1String("trel_request_owners") &&
            table != QLatin1String("trel_request_context")) {
            EXPECT_EQ(summaryValue(run.out, QStringLiteral("    %1").arg(table)), inst.count(table))
                << table.toStdString();
        }
    }
}

TEST_P(TrelCli, SimulatedRequestsAreVariedRealisticAndReproducible) {
    TestInstallation first(GetParam());
    TestInstallation second(GetParam());
    ASSERT_TRUE(first.ok() && second.ok());
    for (TestInstallation* inst : {&first, &second}) {
        admitBrowsers(inst->root());
        const Result run =
            trel({QStringLiteral("simulate"), inst->root(), QStringLiteral("--requests"),
                  QStringLiteral("30"), QStringLiteral("--seed"), QStringLiteral("5")});
        ASSERT_EQ(run.code, 0) << run;
        EXPECT_EQ(summaryValue(run.out, QStringLiteral("requests written")), 30) << run;
    }
    TestInstallation& inst = first;

    // Every PHP error type, named as the collector names them.
    QSet<QString> types;
    for (const QVariantList& row :
         inst.rows(QStringLiteral("SELECT DISTINCT type FROM trel_log_entries")))
        types.insert(row.at(0).toString());
    for (const char* type :
         {"E_ERROR", "E_WARNING", "E_PARSE", "E_NOTICE", "E_CORE_ERROR", "E_CORE_WARNING",
          "E_COMPILE_ERROR", "E_COMPILE_WARNING", "E_USER_ERROR", "E_USER_WARNING", "E_USER_NOTICE",
          "E_STRICT ", "E_RECOVERABLE_ERROR", "E_DEPRECATED", "E_USER_DEPRECATED"})
        EXPECT_TRUE(types.contains(QString::fromLatin1(type))) << type;
    EXPECT_EQ(types.size(), 15);
    // Formatted messages arrive formatted; errors carry backtraces where PHP has one.
    for (const QVariantList& row :
         inst.rows(QStringLiteral("SELECT message FROM trel_log_entries"))) {
        const QString message = row.at(0).toString();
        EXPECT_FALSE(message.contains(QLatin1String("%s")) || message.contains(QLatin1String("%d")))
            << message.toStdString();
    }
    EXPECT_GT(inst.count(QStringLiteral("trel_log_entries"), QStringLiteral("backtrace_id <> -1")),
              0);
    EXPECT_GT(inst.count(QStringLiteral("trel_log_entries"), QStringLiteral("backtrace_id = -1")),
              0);

    // Many URLs and statements; queries inside and outside transactions, some failed, each
    // with a backtrace from the generator.
    EXPECT_GE(inst.count(QStringLiteral("trel_requests_urls")), 15);
    EXPECT_GE(inst.count(QStringLiteral("trel_sql_statements")), 10);
    EXPECT_GT(inst.count(QStringLiteral("trel_sql_queries"), QStringLiteral("transaction_id = -1")),
              0);
    EXPECT_GT(inst.count(QStringLiteral("trel_sql_queries"), QStringLiteral("transaction_id > 0")),
              0);
    EXPECT_GT(inst.count(QStringLiteral("trel_sql_queries"),
                         QStringLiteral("status <> 0 AND error_message <> ''")),
              0);
    EXPECT_EQ(inst.count(QStringLiteral("trel_sql_queries"), QStringLiteral("backtrace_id = -1")),
              0);
    EXPECT_GT(inst.count(QStringLiteral("trel_sql_queries"),
                         QStringLiteral("file_name LIKE '/var/www/shop/%' AND line_number > 0")),
              0);
    EXPECT_GT(inst.count(QStringLiteral("trel_requests"), QStringLiteral("method = 'POST'")), 0);
    EXPECT_GT(inst.count(QStringLiteral("trel_requests"), QStringLiteral("status_code = 500")), 0);
    EXPECT_GT(inst.count(QStringLiteral("trel_functions_stats")), 30 * 5);
    EXPECT_GE(inst.count(QStringLiteral("trel_monitor_events")), 30);
    EXPECT_GT(inst.scalar(QStringLiteral("SELECT COUNT(DISTINCT agg_key) FROM trel_monitor_events"))
                  .toLongLong(),
              5);
    EXPECT_GT(inst.count(QStringLiteral("trel_superglobals_data"),
                         QStringLiteral("sample_type = 'SAMPLE_START'")),
              0);
    EXPECT_EQ(inst.count(QStringLiteral("trel_superglobals_data"),
                         QStringLiteral("sample_type = 'SAMPLE_END'")),
              30);
    // The breakdown accounts for the whole request time.
    EXPECT_EQ(
        inst.count(
            QStringLiteral(
                "trel_processing_breakdown b JOIN trel_requests r ON r.id = b.request_id"),
            QStringLiteral(
                "b.database_time + b.network_time + b.local_time + b.php_time <> r.request_time")),
        0);
    EXPECT_GT(
        inst.count(QStringLiteral("trel_processing_breakdown"), QStringLiteral("network_time > 0")),
        0);
    EXPECT_EQ(inst.orphanRows(), 0);

    // The same seed makes the same requests; another seed others.
    const QString facts = QStringLiteral(
        "SELECT r.page_id, u.url, r.method, r.status_code, r.request_time, (SELECT COUNT(*) FROM "
        "trel_sql_queries q WHERE q.request_id = r.id) FROM trel_requests r JOIN "
        "trel_requests_urls u ON "
        "u.id = r.url_id ORDER BY r.page_id");
    const QList<QVariantList> firstFacts = first.rows(facts);
    ASSERT_EQ(firstFacts.size(), 30);
    EXPECT_EQ(second.rows(facts), firstFacts);
    const QString statements = QStringLiteral(
        "SELECT resolved_statement FROM trel_sql_queries ORDER BY resolved_statement");
    EXPECT_EQ(second.rows(statements), first.rows(statements));

    TestInstallation third(GetParam());
    ASSERT_TRUE(third.ok());
    admitBrowsers(third.root());
    ASSERT_EQ(trel({QStringLiteral("simulate"), third.root(), QStringLiteral("--requests"),
                    QStringLiteral("30"), QStringLiteral("--seed"), QStringLiteral("6")})
                  .code,
              0);
    EXPECT_NE(third.rows(facts), firstFacts);
}

TEST_P(TrelCli, WorkerProcessesWriteTheSameDatabaseAtOnce) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    admitBrowsers(inst.root());
    const Result run = trel({QStringLiteral("simulate"), inst.root(), QStringLiteral("--requests"),
                             QStringLiteral("40"), QStringLiteral("--processes"),
                             QStringLiteral("2"), QStringLiteral("--seed"), QStringLiteral("8")});
    EXPECT_TRUE(run.out.contains(QLatin1String("2 processes"))) << run;
    const qint64 written = summaryValue(run.out, QStringLiteral("requests written"));
    const qint64 failed = summaryValue(run.out, QStringLiteral("requests failed"));
    EXPECT_EQ(written + failed, 40) << run;
    // On SQLite the writers take turns; on MariaDB a new statement inserted by both at
    // once can make one a deadlock victim, whose request is then reported failed, logged,
    // and left out whole.
    if (!mysql()) {
        EXPECT_EQ(failed, 0) << run;
    }
    EXPECT_GE(written, 30) << run;
    EXPECT_EQ(run.code, failed > 0 ? 1 : 0) << run;
    EXPECT_EQ(run.err.count(QStringLiteral("KTrel::write:")), failed) << run;
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), written);
    EXPECT_EQ(inst.scalar(QStringLiteral("SELECT COUNT(DISTINCT page_id) FROM trel_requests"))
                  .toLongLong(),
              written);
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests"), QStringLiteral("data_size = -1")), 0);
    EXPECT_EQ(inst.orphanRows(), 0);
}

TEST_P(TrelCli, SimulateNeedsATokenAndAPatternThatAdmitTheBrowsers) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    const QString root = inst.root();
    const QStringList simulate{QStringLiteral("simulate"), root, QStringLiteral("--requests"),
                               QStringLiteral("5")};
    expectOneLineError(trel(simulate), QStringLiteral("trel token add"));
    ASSERT_EQ(
        trel({QStringLiteral("token"), QStringLiteral("add"), root, QStringLiteral("t")}).code, 0);
    expectOneLineError(trel(simulate), QStringLiteral("trel agent add"));
    ASSERT_EQ(trel({QStringLiteral("agent"), QStringLiteral("add"), root, QStringLiteral("Bots"),
                    QStringLiteral("^curl/")})
                  .code,
              0);
    expectOneLineError(trel(simulate), QStringLiteral("no user-agent pattern"));
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 0);
}

// ---- requests, show, cleanup ------------------------------------------------------------

TEST_P(TrelCli, RequestsAndShowTellWhatWasStored) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    const QString root = inst.root();
    const Result empty = trel({QStringLiteral("requests"), root});
    EXPECT_EQ(empty.code, 0) << empty;
    EXPECT_TRUE(empty.out.startsWith(QLatin1String("no request is stored"))) << empty;
    expectOneLineError(trel({QStringLiteral("show"), root, QStringLiteral("last")}),
                       QStringLiteral("no request is stored"));

    admitBrowsers(root);
    ASSERT_EQ(
        trel({QStringLiteral("simulate"), root, QStringLiteral("--requests"), QStringLiteral("6")})
            .code,
        0);
    const qint64 known = writeKnownRequest(inst);
    ASSERT_GT(known, 0);

    const Result listed =
        trel({QStringLiteral("requests"), root, QStringLiteral("--last"), QStringLiteral("3")});
    ASSERT_EQ(listed.code, 0) << listed;
    QStringList lines = listed.out.trimmed().split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 4) << listed;
    EXPECT_TRUE(lines.at(0).contains(QLatin1String("ID"))) << listed;
    QList<qint64> ids;
    for (int i = 1; i < lines.size(); ++i)
        ids << lines.at(i).trimmed().section(QLatin1Char(' '), 0, 0).toLongLong();
    EXPECT_EQ(ids, (QList<qint64>{known - 2, known - 1, known})) << listed;
    EXPECT_TRUE(lines.last().contains(QLatin1String("POST")) &&
                lines.last().contains(QLatin1String("201")) &&
                lines.last().contains(QLatin1String("3 (1 failed)")) &&
                lines.last().endsWith(QLatin1String("https://shop.example/app/known?x=1")))
        << listed;

    const Result shown = trel({QStringLiteral("show"), root, QString::number(known)});
    ASSERT_EQ(shown.code, 0) << shown;
    const QString& text = shown.out;
    EXPECT_TRUE(text.startsWith(
        QStringLiteral("request %1  POST https://shop.example/app/known?x=1\n").arg(known)))
        << shown;
    EXPECT_TRUE(text.contains(QLatin1String("duration        100.0 ms"))) << shown;
    EXPECT_TRUE(text.contains(QLatin1String("peak memory     811.5 KiB (no limit)\n"))) << shown;
    EXPECT_TRUE(text.contains(QLatin1String("php          40.0 ms  40.0%"))) << shown;
    // Slowest first, with outcome, rows, transaction, place and backtrace.
    const int slow = text.indexOf(QLatin1String("UPDATE slow SET"));
    const int middle = text.indexOf(QLatin1String("INSERT INTO middle"));
    const int fast = text.indexOf(QLatin1String("SELECT * FROM fast"));
    EXPECT_TRUE(slow > 0 && slow < middle && middle < fast) << shown;
    EXPECT_TRUE(text.contains(QLatin1String("1. 900 us, ok, 4 rows, transaction 2"))) << shown;
    EXPECT_TRUE(text.contains(QLatin1String("2. 500 us, FAILED 1213: Deadlock found <img src=x "
                                            "onerror=alert(1)>, 4 rows, transaction 2")))
        << shown;
    EXPECT_TRUE(text.contains(QLatin1String("3. 100 us, ok, 4 rows, no transaction"))) << shown;
    EXPECT_TRUE(text.contains(QLatin1String("prepared: UPDATE slow SET a = ? WHERE b = ?")))
        << shown;
    EXPECT_TRUE(text.contains(QLatin1String("at /srv/app/known.php:12"))) << shown;
    EXPECT_TRUE(text.contains(QLatin1String("#0 /srv/app/known.php(12): run_900()"))) << shown;
    EXPECT_TRUE(text.contains(QLatin1String("E_WARNING  Undefined array key \"<b>sort</b>\"")))
        << shown;
    EXPECT_TRUE(text.contains(QLatin1String("#0 /srv/app/view.php(7): render()"))) << shown;
    EXPECT_TRUE(text.contains(
        QLatin1String("2    7.00 ms    90.0 ms  App\\Known::handle  /srv/app/known.php:3")))
        << shown;
    EXPECT_TRUE(text.contains(QLatin1String("events (1)\n  known.event\n"))) << shown;
    EXPECT_TRUE(text.contains(QLatin1String("_GET      start a:1:{s:1:\"x\";s:1:\"1\";}")))
        << shown;
    EXPECT_TRUE(text.contains(QLatin1String("_SESSION  end   a:0:{}"))) << shown;

    const Result last = trel({QStringLiteral("show"), root, QStringLiteral("last")});
    EXPECT_EQ(last.out, shown.out);
    // The same request as JSON, as the viewer reads it.
    const Result json =
        trel({QStringLiteral("show"), root, QString::number(known), QStringLiteral("--json")});
    ASSERT_EQ(json.code, 0) << json;
    const QJsonObject object = QJsonDocument::fromJson(json.out.toUtf8()).object();
    EXPECT_EQ(object.value(QStringLiteral("id")).toInteger(), known);
    EXPECT_EQ(object.value(QStringLiteral("failed_queries")).toInt(), 1);
    EXPECT_EQ(object.value(QStringLiteral("query_list"))
                  .toArray()
                  .at(0)
                  .toObject()
                  .value(QStringLiteral("time_us"))
                  .toInt(),
              900);
    EXPECT_EQ(object.value(QStringLiteral("samples"))
                  .toArray()
                  .at(0)
                  .toObject()
                  .value(QStringLiteral("data"))
                  .toString(),
              QStringLiteral("a:1:{s:1:\"x\";s:1:\"1\";}"));

    const QString html = QDir(root).filePath(QStringLiteral("page.html"));
    expectOneLineError(trel({QStringLiteral("show"), root, QString::number(known + 100),
                             QStringLiteral("--html"), html}),
                       QStringLiteral("no request with id %1").arg(known + 100));
    EXPECT_FALSE(QFileInfo::exists(html));
    expectOneLineError(trel({QStringLiteral("show"), root, QStringLiteral("abc")}),
                       QStringLiteral("ID wants"));
    expectOneLineError(
        trel({QStringLiteral("show"), root, QStringLiteral("1"), QStringLiteral("--html"),
              QDir(root).filePath(QStringLiteral("no/such/page.html"))}),
        QStringLiteral("does not exist"));
    const Result written = trel(
        {QStringLiteral("show"), root, QString::number(known), QStringLiteral("--html"), html});
    ASSERT_EQ(written.code, 0) << written;
    EXPECT_TRUE(QFileInfo(html).size() > 1000);
}

TEST_P(TrelCli, CleanupKeepsTheNewestRequestsAndWhatBelongsToThem) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    const QString root = inst.root();
    admitBrowsers(root);
    ASSERT_EQ(
        trel({QStringLiteral("simulate"), root, QStringLiteral("--requests"), QStringLiteral("12")})
            .code,
        0);
    const qint64 newest =
        inst.scalar(QStringLiteral("SELECT MAX(id) FROM trel_requests")).toLongLong();
    for (const QStringList& bad : {QStringList{QStringLiteral("cleanup"), root},
                                   QStringList{QStringLiteral("cleanup"), root,
                                               QStringLiteral("--keep"), QStringLiteral("-1")},
                                   QStringList{QStringLiteral("cleanup"), root,
                                               QStringLiteral("--keep"), QStringLiteral("five")}}) {
        expectOneLineError(trel(bad), QStringLiteral("--keep"));
        EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 12);
    }
    const Result cleaned =
        trel({QStringLiteral("cleanup"), root, QStringLiteral("--keep"), QStringLiteral("5")});
    ASSERT_EQ(cleaned.code, 0) << cleaned;
    EXPECT_TRUE(cleaned.out.startsWith(QLatin1String("deleted 7 requests"))) << cleaned;
    EXPECT_TRUE(cleaned.out.contains(QLatin1String("5 kept"))) << cleaned;
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 5);
    EXPECT_EQ(inst.scalar(QStringLiteral("SELECT MIN(id) FROM trel_requests")).toLongLong(),
              newest - 4);
    EXPECT_EQ(inst.orphanRows(), 0);
    const Result again =
        trel({QStringLiteral("cleanup"), root, QStringLiteral("--keep"), QStringLiteral("5")});
    EXPECT_TRUE(again.out.startsWith(QLatin1String("deleted 0 requests"))) << again;
    const Result all =
        trel({QStringLiteral("cleanup"), root, QStringLiteral("--keep"), QStringLiteral("0")});
    EXPECT_EQ(all.code, 0) << all;
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 0);
    EXPECT_EQ(inst.count(QStringLiteral("trel_sql_queries")), 0);
}

// The space of deleted requests goes back to the disk: on SQLite as cleanup goes in a
// file that `trel init` made, and with --vacuum once in a file made before it set
// auto_vacuum. The output says how much, with the sizes before and after.
TEST_P(TrelCli, CleanupGivesTheFreedSpaceBackToTheDisk) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    const QString root = inst.root();
    admitBrowsers(root);
    const QStringList simulate = {QStringLiteral("simulate"),   root,
                                  QStringLiteral("--requests"), QStringLiteral("1500"),
                                  QStringLiteral("--seed"),     QStringLiteral("7")};
    ASSERT_EQ(trel(simulate).code, 0);
    const QString file = inst.databasePath();
    auto size = [&] {
        return QFileInfo(file).size() + QFileInfo(file + QStringLiteral("-wal")).size();
    };
    auto mb = [](qint64 bytes) {
        return QString::number(static_cast<double>(bytes) / (1024.0 * 1024.0), 'f', 1) +
               QStringLiteral(" MB");
    };
    const QStringList cleanup = {QStringLiteral("cleanup"), root, QStringLiteral("--keep"),
                                 QStringLiteral("10")};
    const QString deleted = QStringLiteral("deleted %1 requests from %2; 10 kept\n")
                                .arg(inst.count(QStringLiteral("trel_requests")) - 10)
                                .arg(root);
    // The file header's incremental-vacuum flag (bytes 64 to 67).
    auto incremental = [&] {
        QFile header(inst.databasePath());
        if (!header.open(QIODevice::ReadOnly) || !header.seek(64))
            return -1;
        const QByteArray flag = header.read(4);
        return flag.size() == 4
                   ? (flag.at(0) << 24 | flag.at(1) << 16 | flag.at(2) << 8 | flag.at(3))
                   : -1;
    };
    if (mysql()) {
        const Result cleaned = trel(cleanup);
        ASSERT_EQ(cleaned.code, 0) << cleaned;
        EXPECT_TRUE(cleaned.out.startsWith(deleted + QStringLiteral("gave back "))) << cleaned;
        EXPECT_TRUE(cleaned.out.contains(QLatin1String("as the server reports them"))) << cleaned;
        return;
    }
    EXPECT_EQ(incremental(), 1);
    const qint64 full = size();
    ASSERT_GT(full, 4 * 1024 * 1024);
    const Result cleaned = trel(cleanup);
    ASSERT_EQ(cleaned.code, 0) << cleaned;
    const qint64 emptied = size();
    EXPECT_LT(emptied * 5, full);
    EXPECT_EQ(cleaned.out, deleted + QStringLiteral("gave back %1 to the disk: %2 before, %3 now "
                                                    "(data/trel.db with its write-ahead log)\n")
                                         .arg(mb(full - emptied), mb(full), mb(emptied)));
    EXPECT_EQ(inst.orphanRows(), 0);

    // A file made before auto_vacuum keeps its pages until one --vacuum.
    ASSERT_TRUE(inst.exec(QStringLiteral("PRAGMA auto_vacuum = NONE")));
    ASSERT_TRUE(inst.exec(QStringLiteral("VACUUM")));
    ASSERT_TRUE(inst.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)")));
    ASSERT_EQ(incremental(), 0);
    ASSERT_EQ(trel(simulate).code, 0);
    const Result kept = trel(cleanup);
    ASSERT_EQ(kept.code, 0) << kept;
    const qint64 refilled = size();
    EXPECT_GT(refilled, 4 * 1024 * 1024);
    EXPECT_TRUE(kept.out.contains(QStringLiteral("`trel cleanup %1 --keep 10 --vacuum` gives them "
                                                 "back once and from then on")
                                      .arg(root)))
        << kept;
    const Result vacuumed = trel(cleanup + QStringList{QStringLiteral("--vacuum")});
    ASSERT_EQ(vacuumed.code, 0) << vacuumed;
    EXPECT_TRUE(vacuumed.out.startsWith(
        QStringLiteral("deleted 0 requests from %1; 10 kept\ngave back ").arg(root)))
        << vacuumed;
    EXPECT_LT(size() * 5, refilled);
    EXPECT_EQ(incremental(), 1);
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 10);
}

// A token's views read only what that token admitted, through the owners' index: all
// of its requests, however many newer ones other tokens stored since, and none of the
// others', not even of a token whose path is the start of its own (/shop and
// /shop-admin/); a request stored without its token is shown to none.
TEST_P(TrelCli, ATokenSeesAllItsOwnRequestsAndNoOthers) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    const QString root = inst.root();
    const QString base = QStringLiteral("https://shop.example:8443");
    ASSERT_EQ(trel({QStringLiteral("token"), QStringLiteral("add"), root, QStringLiteral("shop"),
                    QStringLiteral("--base-url"), base + QStringLiteral("/shop")})
                  .code,
              0);
    ASSERT_EQ(
        trel({QStringLiteral("token"), QStringLiteral("add"), root, QStringLiteral("shopadmin"),
              QStringLiteral("--base-url"), base + QStringLiteral("/shop-admin/")})
            .code,
        0);
    KTrel* collector = KTrel::instance();
    collector->initialize(inst.serverInfo(), 1);
    auto admit = [&](const QString& token, const QString& path, const QString& page) {
        collector->reset();
        collector->setRequest(base + path);
        collector->setRequestMethod(QStringLiteral("GET"));
        collector->setPageId(page);
        collector->setRequestStartTime(QDateTime::currentDateTime());
        QString hosts;
        qint64 ttl = 0;
        if (!collector->isTokenOK(token, hosts, ttl, 1))
            return qint64(0);
        collector->write();
        return collector->getRequestId();
    };
    // The administrator's requests are the oldest.
    QList<qint64> adminIds;
    for (int i = 0; i < 30; ++i)
        adminIds.prepend(admit(QStringLiteral("shopadmin"),
                               QStringLiteral("/shop-admin/orders?page=%1").arg(i),
                               QStringLiteral("admin-%1").arg(i)));
    ASSERT_FALSE(adminIds.contains(0));
    // /shop admits /shop-admin/ too: admission compares the path's text.
    const qint64 shopInAdmin = admit(QStringLiteral("shop"), QStringLiteral("/shop-admin/settings"),
                                     QStringLiteral("shop-in-admin"));
    ASSERT_GT(shopInAdmin, 0);
    ASSERT_TRUE(inst.exec(QStringLiteral("INSERT INTO trel_requests (page_id, url_id, method) "
                                         "SELECT 'legacy', url_id, method FROM trel_requests "
                                         "WHERE id = ?"),
                          {adminIds.first()}));
    // Then 4,096 newer requests of /shop on the administrator's URL, made directly.
    const qint64 before =
        inst.scalar(QStringLiteral("SELECT MAX(id) FROM trel_requests")).toLongLong();
    ASSERT_TRUE(inst.exec(QStringLiteral("INSERT INTO trel_requests (page_id, url_id, method) "
                                         "SELECT 'noise', url_id, method FROM trel_requests "
                                         "WHERE id = ?"),
                          {adminIds.first()}));
    for (int i = 0; i < 12; ++i)
        ASSERT_TRUE(inst.exec(QStringLiteral("INSERT INTO trel_requests (page_id, url_id, method) "
                                             "SELECT page_id, url_id, method FROM trel_requests "
                                             "WHERE id > ?"),
                              {before}));
    ASSERT_TRUE(
        inst.exec(QStringLiteral("INSERT INTO trel_request_owners (request_id, "
                                 "token_hash) SELECT id, ? FROM trel_requests WHERE id > ?"),
                  {KTrelToken::ownerHash("shop"), before}));
    ASSERT_EQ(inst.count(QStringLiteral("trel_request_owners")), 30 + 1 + 4096);
    const qint64 newest =
        inst.scalar(QStringLiteral("SELECT MAX(id) FROM trel_requests")).toLongLong();

    QSqlDatabase& db = collector->getDatabase();
    auto list = [&](const QString& name, KTrelStoredRequest::ListFilter filter) {
        const KTrelToken token = collector->validToken(name, 1);
        filter.owner = KTrelToken::ownerHash(token.getTokenId());
        KTrelStoredRequest::List list;
        QString error;
        EXPECT_EQ(KTrelStoredRequest::list(
                      db, filter, [&](const QString& url) { return token.isUrlMatches(url, 1); },
                      &list, &error),
                  KTrelStoredRequest::Outcome::Found)
            << error.toStdString();
        return list;
    };
    auto ids = [](const KTrelStoredRequest::List& list) {
        QList<qint64> ids;
        for (const KTrelStoredRequest::ListRow& row : list.rows)
            ids << row.id;
        return ids;
    };

    // The administrator's whole history, behind 4,097 newer requests, page by page.
    KTrelStoredRequest::ListFilter filter;
    KTrelStoredRequest::List admin = list(QStringLiteral("shopadmin"), filter);
    EXPECT_EQ(ids(admin), adminIds);
    EXPECT_FALSE(admin.older || admin.newer || admin.stopped);
    filter.limit = 12;
    QList<qint64> paged;
    for (int page = 0; page < 3; ++page) {
        admin = list(QStringLiteral("shopadmin"), filter);
        paged += ids(admin);
        EXPECT_EQ(admin.older, page < 2);
        filter.before = admin.olderBefore;
    }
    EXPECT_EQ(paged, adminIds);

    // /shop sees its own, newest first, and nothing of the administrator's.
    KTrelStoredRequest::List shop = list(QStringLiteral("shop"), KTrelStoredRequest::ListFilter());
    ASSERT_EQ(shop.rows.size(), 50);
    EXPECT_EQ(shop.rows.first().id, newest);
    EXPECT_TRUE(shop.older);
    // A rare URL behind 2,000 examined rows: the list stops, says so and links on.
    KTrelStoredRequest::ListFilter rare;
    rare.urlContains = QStringLiteral("settings");
    QList<qint64> found;
    int stops = 0;
    for (int step = 0; step < 4; ++step) {
        const KTrelStoredRequest::List part = list(QStringLiteral("shop"), rare);
        found += ids(part);
        stops += part.stopped ? 1 : 0;
        if (!part.older)
            break;
        rare.before = part.olderBefore;
    }
    EXPECT_EQ(found, QList<qint64>{shopInAdmin});
    EXPECT_EQ(stops, 2);
    KTrelStoredRequest::ListFilter none;
    none.urlContains = QStringLiteral("no-such-page");
    const KTrelStoredRequest::List nothing = list(QStringLiteral("shop"), none);
    EXPECT_TRUE(nothing.rows.isEmpty());
    EXPECT_FALSE(nothing.older || nothing.stopped);

    // The details, the JSON and the summary find a page through its owner alone.
    auto locate = [&](const QString& page, const char* token) {
        qint64 id = 0;
        QString url;
        QString error;
        const auto outcome = KTrelStoredRequest::locateByPageId(
            db, page, KTrelToken::ownerHash(token), &id, &url, &error);
        EXPECT_NE(outcome, KTrelStoredRequest::Outcome::Failed) << error.toStdString();
        return outcome == KTrelStoredRequest::Outcome::Found ? id : qint64(0);
    };
    EXPECT_EQ(locate(QStringLiteral("admin-3"), "shopadmin"), adminIds.at(26));
    EXPECT_EQ(locate(QStringLiteral("admin-3"), "shop"), 0);
    EXPECT_EQ(locate(QStringLiteral("shop-in-admin"), "shop"), shopInAdmin);
    EXPECT_EQ(locate(QStringLiteral("shop-in-admin"), "shopadmin"), 0);
    EXPECT_EQ(locate(QStringLiteral("legacy"), "shopadmin"), 0);
    EXPECT_EQ(locate(QStringLiteral("legacy"), "shop"), 0);

    // Cleanup takes the owners with their requests.
    ASSERT_EQ(
        trel({QStringLiteral("cleanup"), root, QStringLiteral("--keep"), QStringLiteral("100")})
            .code,
        0);
    EXPECT_EQ(inst.count(QStringLiteral("trel_request_owners")), 100);
    EXPECT_EQ(inst.orphanRows(), 0);
}

// An installation made before the views' indexes, the owners' and the context's tables:
// its requests are still stored, `trel check` says what it lacks, and `trel init` adds
// it, rows kept; cleanup then deletes the context of the requests it deletes.
TEST_P(TrelCli, InitAddsWhatAnOlderInstallationLacksAndCheckSaysSo) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    const QString root = inst.root();
    admitBrowsers(root);
    QStringList lacking;
    QStringList added;
    if (mysql()) {
        ASSERT_TRUE(inst.exec(QStringLiteral("DROP INDEX trel_requests_page ON trel_requests")));
        ASSERT_TRUE(inst.exec(QStringLiteral("DROP INDEX trel_requests_url ON trel_requests")));
        ASSERT_TRUE(inst.exec(QStringLiteral("DROP TABLE trel_generation")));
        ASSERT_TRUE(inst.exec(QStringLiteral("DROP TABLE trel_request_context")));
        lacking = QStringList{QStringLiteral("index trel_requests_page"),
                              QStringLiteral("index trel_requests_url"),
                              QStringLiteral("table trel_request_context")};
        added = lacking + QStringList{QStringLiteral("table trel_generation")};
        // A change is made all the same; that other web servers miss it is said.
        const Result unseen = trel({QStringLiteral("agent"), QStringLiteral("add"), root,
                                    QStringLiteral("Old"), QStringLiteral("Old/")});
        expectOneLineError(
            unseen, QStringLiteral("adding pattern 2 is done, but the PHP workers of other web "
                                   "servers sharing the database do not notice it before they "
                                   "restart: the database lacks table trel_generation; `trel "
                                   "init %1` adds it")
                        .arg(root));
        EXPECT_EQ(inst.count(QStringLiteral("trel_user_agent")), 2);
    } else {
        ASSERT_TRUE(inst.exec(QStringLiteral("DROP TRIGGER trel_requests_delete_owner")));
        ASSERT_TRUE(inst.exec(QStringLiteral("DROP TABLE trel_request_owners")));
        ASSERT_TRUE(inst.exec(QStringLiteral("DROP INDEX trel_requests_page")));
        ASSERT_TRUE(inst.exec(QStringLiteral("DROP TRIGGER trel_requests_delete_context")));
        ASSERT_TRUE(inst.exec(QStringLiteral("DROP TABLE trel_request_context")));
        lacking = QStringList{QStringLiteral("table trel_request_owners"),
                              QStringLiteral("index trel_requests_page"),
                              QStringLiteral("index trel_request_owners_token"),
                              QStringLiteral("trigger trel_requests_delete_owner"),
                              QStringLiteral("table trel_request_context"),
                              QStringLiteral("trigger trel_requests_delete_context")};
        added = lacking;
    }
    ASSERT_EQ(
        trel({QStringLiteral("simulate"), root, QStringLiteral("--requests"), QStringLiteral("5")})
            .code,
        0);
    ASSERT_EQ(inst.count(QStringLiteral("trel_requests")), 5);
    const QStringList check = {QStringLiteral("check"),   root,
                               QStringLiteral("--token"), QStringLiteral("shop"),
                               QStringLiteral("--url"),   QStringLiteral("https://shop.example/"),
                               QStringLiteral("--agent"), QString::fromLatin1(Firefox)};
    const Result told = trel(check);
    EXPECT_EQ(told.code, 0) << told;
    EXPECT_TRUE(told.out.contains(
        QStringLiteral("  database    lacks %1: the bar's views read the whole table, and no "
                       "token sees the requests it admits; `trel init %2` adds them\n")
            .arg(lacking.join(QStringLiteral(", ")), root)))
        << told;
    EXPECT_EQ(told.out.contains(
                  QStringLiteral("  database    lacks table trel_generation: PHP workers of other "
                                 "web servers sharing this database notice a token or pattern "
                                 "changed here only after a restart; `trel init %1` adds it\n")
                      .arg(root)),
              mysql())
        << told;

    const Result init = trel({QStringLiteral("init"), root});
    ASSERT_EQ(init.code, 0) << init;
    EXPECT_EQ(init.out, QStringLiteral("added to the installation at %1, its requests kept: %2\n")
                            .arg(root, added.join(QStringLiteral(", "))));
    if (mysql()) {
        // Made anew by the schema, raised by init.
        EXPECT_EQ(
            inst.scalar(QStringLiteral("SELECT generation FROM trel_generation")).toLongLong(), 2);
    }
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 5);
    EXPECT_EQ(inst.count(QStringLiteral("trel_tokens")), 1);
    ASSERT_EQ(
        trel({QStringLiteral("simulate"), root, QStringLiteral("--requests"), QStringLiteral("3")})
            .code,
        0);
    EXPECT_EQ(inst.count(QStringLiteral("trel_request_context")), 3);
    const Result whole = trel(check);
    EXPECT_FALSE(whole.out.contains(QLatin1String("lacks"))) << whole;
    expectOneLineError(trel({QStringLiteral("init"), root}), QStringLiteral("--force"));
    ASSERT_EQ(
        trel({QStringLiteral("cleanup"), root, QStringLiteral("--keep"), QStringLiteral("1")}).code,
        0);
    EXPECT_EQ(inst.orphanRows(), 0);
    EXPECT_EQ(inst.count(QStringLiteral("trel_request_context")), 1);
}

// ---- bad input ----------------------------------------------------------------------

TEST_P(TrelCli, BadArgumentsAreRefusedInOneLineBeforeAnythingIsWritten) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    const QString root = inst.root();
    admitBrowsers(root);
    const QStringList before = snapshot(root);
    const struct {
        QStringList arguments;
        const char* phrase;
    } bad[] = {
        {{QStringLiteral("simulate"), root}, "--requests N is required"},
        {{QStringLiteral("simulate"), root, QStringLiteral("--requests"), QStringLiteral("abc")},
         "--requests wants"},
        {{QStringLiteral("simulate"), root, QStringLiteral("--requests"), QStringLiteral("0")},
         "--requests wants"},
        {{QStringLiteral("simulate"), root, QStringLiteral("--requests"), QStringLiteral("10x")},
         "--requests wants"},
        {{QStringLiteral("simulate"), root, QStringLiteral("--requests"), QStringLiteral("5"),
          QStringLiteral("--seed"), QStringLiteral("-1")},
         "--seed wants"},
        {{QStringLiteral("simulate"), root, QStringLiteral("--requests"), QStringLiteral("5"),
          QStringLiteral("--processes"), QStringLiteral("0")},
         "--processes wants"},
        {{QStringLiteral("simulate"), root, QStringLiteral("--requests"), QStringLiteral("5"),
          QStringLiteral("--processes"), QStringLiteral("65")},
         "--processes wants"},
        {{QStringLiteral("simulate"), root, QStringLiteral("--requests"), QStringLiteral("5"),
          QStringLiteral("--unauthorised-share"), QStringLiteral("1.5")},
         "--unauthorised-share wants"},
        {{QStringLiteral("simulate"), root, QStringLiteral("--requests"), QStringLiteral("5"),
          QStringLiteral("--unauthorised-share"), QStringLiteral("half")},
         "--unauthorised-share wants"},
        {{QStringLiteral("simulate"), root, QStringLiteral("--requests")},
         "Missing value after '--requests'"},
        {{QStringLiteral("requests"), root, QStringLiteral("--last"), QStringLiteral("0")},
         "--last wants"},
        {{QStringLiteral("requests"), root, QStringLiteral("--bogus")}, "Unknown option 'bogus'"},
        {{QStringLiteral("requests"), root, QStringLiteral("extra")},
         "unexpected argument 'extra'"},
        {{QStringLiteral("requests")}, "missing ROOT"},
        {{QStringLiteral("show"), root}, "missing ID"},
        {{QStringLiteral("show"), root, QStringLiteral("0")}, "ID wants"},
        {{QStringLiteral("cleanup"), root, QStringLiteral("--keep"), QStringLiteral("3000000000")},
         "--keep wants"},
        {{QStringLiteral("token"), QStringLiteral("add"), root, QStringLiteral("x"),
          QStringLiteral("--ttl"), QStringLiteral("")},
         "TTL"},
        {{QStringLiteral("agent"), QStringLiteral("add"), root, QStringLiteral("L"),
          QStringLiteral("a)")},
         "regular expression"},
        {{QStringLiteral("check"), root, QStringLiteral("--token"), QStringLiteral("t"),
          QStringLiteral("--url"), QStringLiteral("ftp://x/"), QStringLiteral("--agent"),
          QStringLiteral("a")},
         "--url"},
        {{QStringLiteral("simulate-worker"), root}, "bad worker arguments"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.arguments.join(' ').toStdString());
        expectOneLineError(trel(b.arguments), QString::fromLatin1(b.phrase));
    }
    EXPECT_EQ(snapshot(root), before);
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 0);
    EXPECT_EQ(inst.count(QStringLiteral("trel_tokens")), 1);
    EXPECT_EQ(inst.count(QStringLiteral("trel_user_agent")), 1);
}

// Each command on an installation that is missing, half made, badly configured or whose
// server is away: one line saying what is wrong and what to do, and nothing written.
TEST_P(TrelCli, BrokenInstallationsAreReportedInOneLineByEveryCommand) {
    QTemporaryDir pages;
    ASSERT_TRUE(pages.isValid());
    const QString page = pages.filePath(QStringLiteral("page.html"));
    auto commands = [&page](const QString& root) {
        return QList<QStringList>{
            {QStringLiteral("requests"), root},
            {QStringLiteral("show"), root, QStringLiteral("1")},
            {QStringLiteral("show"), root, QStringLiteral("1"), QStringLiteral("--html"), page},
            {QStringLiteral("simulate"), root, QStringLiteral("--requests"), QStringLiteral("3")},
            {QStringLiteral("cleanup"), root, QStringLiteral("--keep"), QStringLiteral("1")},
            {QStringLiteral("token"), QStringLiteral("list"), root},
            {QStringLiteral("token"), QStringLiteral("add"), root, QStringLiteral("fresh")},
            {QStringLiteral("token"), QStringLiteral("remove"), root, QStringLiteral("shop")},
            {QStringLiteral("agent"), QStringLiteral("list"), root},
            {QStringLiteral("agent"), QStringLiteral("add"), root, QStringLiteral("L"),
             QStringLiteral("Mozilla")},
            {QStringLiteral("check"), root, QStringLiteral("--token"), QStringLiteral("shop"),
             QStringLiteral("--url"), QStringLiteral("https://shop.example/"),
             QStringLiteral("--agent"), QString::fromLatin1(Firefox)},
        };
    };
    struct Breakage {
        const char* name;
        std::function<void(TestInstallation&)> apply;
        const char* phrase;
        bool sqliteOnly;
        bool mysqlOnly;
    };
    const QList<Breakage> breakages = {
        {"settings file missing",
         [](TestInstallation& inst) { QFile::remove(KolvServerInfo::settingsPath(inst.root())); },
         "is incomplete: etc/trel.ini is missing", false, false},
        {"settings file garbage",
         [](TestInstallation& inst) {
             writeText(KolvServerInfo::settingsPath(inst.root()),
                       QByteArray("\x01\x02 garbage\n[[[\n=\n", 17));
         },
         "settings of", false, false},
        {"port not a number",
         [](TestInstallation& inst) {
             QFile file(KolvServerInfo::settingsPath(inst.root()));
             file.open(QIODevice::ReadOnly);
             QByteArray text = file.readAll();
             file.close();
             text = QRegularExpression(QStringLiteral("port=[^\n]*\n"))
                            .match(QString::fromUtf8(text))
                            .hasMatch()
                        ? QString::fromUtf8(text)
                              .replace(QRegularExpression(QStringLiteral("port=[^\n]*\n")),
                                       QStringLiteral("port=abc\n"))
                              .toUtf8()
                        : text + "port=abc\n";
             writeText(KolvServerInfo::settingsPath(inst.root()), text);
         },
         "settings of", false, false},
        {"header template missing",
         [](TestInstallation& inst) {
             QFile::remove(
                 QDir(inst.root()).filePath(QStringLiteral("share/scripts/trel_header.html")));
         },
         "share/scripts/trel_header.html is missing", false, false},
        {"table dropped",
         [](TestInstallation& inst) {
             inst.exec(QStringLiteral("DROP TABLE trel_monitor_events"));
         },
         "lacks the table trel_monitor_events", false, false},
        {"database file missing",
         [](TestInstallation& inst) {
             inst.db().close();
             QFile::remove(inst.databasePath());
         },
         "data/trel.db is missing", true, false},
        {"database file not a database",
         [](TestInstallation& inst) {
             inst.db().close();
             QFile::remove(inst.databasePath() + QStringLiteral("-wal"));
             QFile::remove(inst.databasePath() + QStringLiteral("-shm"));
             writeText(inst.databasePath(), QByteArray(8192, 'x'));
         },
         "not a database", true, false},
        {"server unreachable",
         [](TestInstallation& inst) {
             QFile file(KolvServerInfo::settingsPath(inst.root()));
             file.open(QIODevice::ReadOnly);
             const QString text = QString::fromUtf8(file.readAll());
             file.close();
             writeText(KolvServerInfo::settingsPath(inst.root()),
                       QString(text)
                           .replace(QRegularExpression(QStringLiteral("port=[^\n]*\n")),
                                    QStringLiteral("port=1\n"))
                           .toUtf8());
         },
         "cannot connect to the MySQL server", false, true},
    };
    for (const Breakage& breakage : breakages) {
        if ((breakage.sqliteOnly && mysql()) || (breakage.mysqlOnly && !mysql()))
            continue;
        SCOPED_TRACE(breakage.name);
        TestInstallation inst(GetParam());
        ASSERT_TRUE(inst.ok());
        admitBrowsers(inst.root());
        breakage.apply(inst);
        const QStringList before = snapshot(inst.root());
        for (const QStringList& command : commands(inst.root())) {
            SCOPED_TRACE(command.join(' ').toStdString());
            expectOneLineError(trel(command), QString::fromLatin1(breakage.phrase));
        }
        EXPECT_EQ(snapshot(inst.root()), before);
        EXPECT_FALSE(QFileInfo::exists(page));
        if (QString::fromLatin1(breakage.name) == QLatin1String("table dropped")) {
            EXPECT_EQ(inst.count(QStringLiteral("trel_tokens")), 1);
            EXPECT_EQ(inst.count(QStringLiteral("trel_user_agent")), 1);
            EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 0);
        }
    }

    // No installation at all.
    QTemporaryDir parent;
    const QString missing = parent.filePath(QStringLiteral("nothing-here"));
    for (const QStringList& command : commands(missing)) {
        SCOPED_TRACE(command.join(' ').toStdString());
        expectOneLineError(
            trel(command),
            QStringLiteral("no installation at %1: the folder does not exist").arg(missing));
    }
    EXPECT_FALSE(QFileInfo::exists(missing));
    for (const QStringList& command : commands(parent.path())) {
        SCOPED_TRACE(command.join(' ').toStdString());
        expectOneLineError(trel(command),
                           QStringLiteral("etc/trel.ini is missing); create one with `trel init"));
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, TrelCli, ::testing::Values(Backend::Sqlite, Backend::MySql),
                         [](const auto& info) { return backendName(info.param); });

// ---- the HTML page in a real browser -------------------------------------------------

// The page is opened in headless Chromium with a small script added that measures what
// the browser laid out: the width of each bar of the breakdown chart against its track,
// the order of the queries, and whether any markup from the stored texts came alive.
TEST(TrelCliHtml, TheBrowserDrawsTheBreakdownToScaleAndListsQueriesSlowestFirst) {
    ensureApplication();
    const QString chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    ASSERT_FALSE(chromium.isEmpty()) << "chromium is not installed; scripts/bootstrap installs it";
    TestInstallation inst(Backend::Sqlite);
    ASSERT_TRUE(inst.ok());
    const qint64 id = writeKnownRequest(inst);
    KTrel::release();
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    const QString page = work.filePath(QStringLiteral("request.html"));
    const Result written = trel(
        {QStringLiteral("show"), inst.root(), QString::number(id), QStringLiteral("--html"), page});
    ASSERT_EQ(written.code, 0) << written;

    QFile file(page);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QString html = QString::fromUtf8(file.readAll());
    file.close();
    // Self-contained: nothing is fetched from elsewhere; its one script is the viewer's,
    // which renders the request from the JSON the page carries.
    EXPECT_EQ(html.count(QLatin1String("<script")), 2) << "the viewer and its data";
    EXPECT_FALSE(html.contains(QLatin1String("src=\"http")))
        << "nothing is loaded from the network";
    EXPECT_FALSE(html.contains(QLatin1String("href=\"http")));

    const QString probe = QStringLiteral(
        "<script>(function () {"
        "var b = document.body;"
        "var bars = Array.prototype.slice.call(document.querySelectorAll('#breakdown .bar'));"
        "b.setAttribute('data-bars', bars.map(function (e) { return e.getAttribute('data-part') + "
        "':' + "
        "e.getAttribute('data-us') + ':' + e.getBoundingClientRect().width; }).join(' '));"
        "b.setAttribute('data-track', document.querySelector('#breakdown "
        ".track').getBoundingClientRect().width);"
        "b.setAttribute('data-queries', "
        "Array.prototype.slice.call(document.querySelectorAll('#queries li.query'))"
        ".map(function (e) { return e.getAttribute('data-us'); }).join(' '));"
        "b.setAttribute('data-images', document.images.length);"
        "b.setAttribute('data-scripts', document.scripts.length);"
        "b.setAttribute('data-bold', document.querySelectorAll('#errors b').length);"
        "b.setAttribute('data-view', document.querySelector('main#trel-request') ? 'yes' : 'no');"
        "})();</script>");
    ASSERT_TRUE(html.contains(QLatin1String("</body>")));
    html.replace(QLatin1String("</body>"), probe + QStringLiteral("</body>"));
    const QString measured = work.filePath(QStringLiteral("measured.html"));
    ASSERT_TRUE(writeText(measured, html.toUtf8()));

    QTemporaryDir profile;
    ASSERT_TRUE(profile.isValid());
    QProcess browser;
    browser.start(chromium,
                  {QStringLiteral("--headless"), QStringLiteral("--no-sandbox"),
                   QStringLiteral("--disable-gpu"), QStringLiteral("--disable-quic"),
                   QStringLiteral("--no-first-run"),
                   QStringLiteral("--disable-background-networking"),
                   QStringLiteral("--disable-component-update"), QStringLiteral("--disable-sync"),
                   QStringLiteral("--user-data-dir=") + profile.path(),
                   QStringLiteral("--window-size=1280,1000"), QStringLiteral("--dump-dom"),
                   QUrl::fromLocalFile(measured).toString()});
    ASSERT_TRUE(browser.waitForStarted());
    if (!browser.waitForFinished(60000)) {
        browser.kill();
        browser.waitForFinished();
        FAIL() << "chromium did not finish within a minute (a dialog from a stored script would "
                  "hold it)";
    }
    const QString dom = QString::fromUtf8(browser.readAllStandardOutput());
    ASSERT_EQ(browser.exitCode(), 0) << browser.readAllStandardError().toStdString();
    auto attribute = [&dom](const char* name) {
        const QRegularExpressionMatch match =
            QRegularExpression(
                QStringLiteral("<body[^>]* %1=\"([^\"]*)\"").arg(QString::fromLatin1(name)))
                .match(dom);
        return match.hasMatch() ? match.captured(1) : QStringLiteral("<missing>");
    };

    // The parts stored for the request: 30 ms database, 10 ms network, 20 ms local and
    // the 40 ms left to PHP; each bar is its share of the track.
    const QStringList bars = attribute("data-bars").split(QLatin1Char(' '));
    ASSERT_EQ(bars.size(), 4) << dom.toStdString();
    const double track = attribute("data-track").toDouble();
    ASSERT_GT(track, 100.0) << dom.toStdString();
    const QStringList parts = {QStringLiteral("database"), QStringLiteral("network"),
                               QStringLiteral("local"), QStringLiteral("php")};
    const qint64 stored[] = {30000, 10000, 20000, 40000};
    for (int i = 0; i < 4; ++i) {
        const QStringList fields = bars.at(i).split(QLatin1Char(':'));
        ASSERT_EQ(fields.size(), 3) << bars.at(i).toStdString();
        EXPECT_EQ(fields.at(0), parts.at(i));
        EXPECT_EQ(fields.at(1).toLongLong(), stored[i]);
        EXPECT_NEAR(fields.at(2).toDouble(), track * stored[i] / 100000.0, 1.0)
            << parts.at(i).toStdString();
    }
    EXPECT_EQ(
        inst.scalar(QStringLiteral(
                        "SELECT php_time FROM trel_processing_breakdown WHERE request_id = ?"),
                    {id})
            .toLongLong(),
        40000);

    // Queries slowest first, as stored.
    QList<qint64> times;
    for (const QVariantList& row : inst.rows(
             QStringLiteral("SELECT query_time FROM trel_sql_queries WHERE request_id = ?"), {id}))
        times << row.at(0).toLongLong();
    std::sort(times.begin(), times.end(), std::greater<qint64>());
    QStringList expected;
    for (qint64 time : times)
        expected << QString::number(time);
    EXPECT_EQ(attribute("data-queries"), expected.join(QLatin1Char(' ')));
    EXPECT_EQ(expected,
              (QStringList{QStringLiteral("900"), QStringLiteral("500"), QStringLiteral("100")}));

    // The stored markup is text: no image, no script but the viewer's and the probe, no
    // bold error; the texts are there as written.
    EXPECT_EQ(attribute("data-images"), QStringLiteral("0"));
    EXPECT_EQ(attribute("data-scripts"), QStringLiteral("3"));
    EXPECT_EQ(attribute("data-bold"), QStringLiteral("0"));
    EXPECT_EQ(attribute("data-view"), QStringLiteral("yes"));
    EXPECT_TRUE(dom.contains(QLatin1String("a = '&lt;script&gt;alert(1)&lt;/script&gt;'")))
        << dom.toStdString();
    EXPECT_TRUE(dom.contains(QLatin1String("Deadlock found &lt;img src=x onerror=alert(1)&gt;")));
    EXPECT_TRUE(dom.contains(
        QStringLiteral("<title>trel: request %1 · POST https://shop.example/app/known?x=1</title>")
            .arg(id)))
        << dom.toStdString().substr(0, 2000);
}

} // namespace
