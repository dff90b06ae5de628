#include <kolv/kolvinstallationwatch.h>
#include <kolv/kolvserverinfo.h>

#include "support/logcapture.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

class ServerInfoLoad : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        newRoot();
    }
    // Each settings file of a test gets a root of its own: QSettings answers a file
    // rewritten at once with the same size from what it read before.
    void newRoot() {
        root = QDir(dir.path()).filePath(QString::number(++roots));
        ASSERT_TRUE(QDir(root).mkpath(QStringLiteral("etc")));
    }
    void writeFile(const QString& relative, const QByteArray& content) {
        QFile file(QDir(root).filePath(relative));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    }
    void writeSettings(const QByteArray& content) {
        newRoot();
        writeFile(QStringLiteral("etc/trel.ini"), content);
    }
    // A loaded object with known values, to show that a failed load leaves it alone.
    static KolvServerInfo preset() {
        KolvServerInfo info;
        info.setRoot(QStringLiteral("/before"));
        info.setDbType(QStringLiteral("QMYSQL"));
        info.setDbHostName(QStringLiteral("db.before"));
        info.setDbPort(3307);
        info.setDbName(QStringLiteral("name_before"));
        info.setDbUsername(QStringLiteral("user_before"));
        info.setDbPassword(QStringLiteral("pw_before"));
        return info;
    }
    static void expectPreset(const KolvServerInfo& info) {
        EXPECT_EQ(info.getRoot(), "/before");
        EXPECT_EQ(info.getDbType(), "QMYSQL");
        EXPECT_EQ(info.getDbHostName(), "db.before");
        EXPECT_EQ(info.getDbPort(), 3307);
        EXPECT_EQ(info.getDbName(), "name_before");
        EXPECT_EQ(info.getDbUsername(), "user_before");
        EXPECT_EQ(info.getDbPassword(), "pw_before");
    }
    // Loads into a preset object and expects the failure to leave it unchanged.
    QString expectRefused() {
        KolvServerInfo info = preset();
        QString error;
        EXPECT_FALSE(info.load(root, &error));
        EXPECT_FALSE(error.isEmpty());
        expectPreset(info);
        return error;
    }

    QTemporaryDir dir;
    QString root;
    int roots = 0;
};

TEST(ServerInfo, DefaultNamesSqliteAndNothingElse) {
    KolvServerInfo info;
    EXPECT_EQ(info.getDbType(), "SQLITE");
    EXPECT_FALSE(info.isMySQL());
    EXPECT_TRUE(info.getRoot().isEmpty());
    EXPECT_TRUE(info.getDbHostName().isEmpty());
    EXPECT_EQ(info.getDbPort(), 0);
    EXPECT_TRUE(info.getDbName().isEmpty());
    EXPECT_TRUE(info.getDbUsername().isEmpty());
    EXPECT_TRUE(info.getDbPassword().isEmpty());
}

TEST(ServerInfo, SettersAndGettersAndCopies) {
    KolvServerInfo info;
    info.setRoot(QStringLiteral("/srv/app"));
    info.setDbType(QStringLiteral("DRIZZLE"));
    info.setDbHostName(QStringLiteral("db.local"));
    info.setDbPort(3306);
    info.setDbName(QStringLiteral("trel"));
    info.setDbUsername(QStringLiteral("u"));
    info.setDbPassword(QStringLiteral("p"));
    const KolvServerInfo copy = info;
    info.setDbPort(1);
    EXPECT_EQ(copy.getRoot(), "/srv/app");
    EXPECT_EQ(copy.getDbType(), "DRIZZLE");
    EXPECT_EQ(copy.getDbHostName(), "db.local");
    EXPECT_EQ(copy.getDbPort(), 3306);
    EXPECT_EQ(copy.getDbName(), "trel");
    EXPECT_EQ(copy.getDbUsername(), "u");
    EXPECT_EQ(copy.getDbPassword(), "p");
    EXPECT_EQ(info.getDbPort(), 1);
}

TEST(ServerInfo, OnlyTheThreeUpperCaseTypesNameMySql) {
    KolvServerInfo info;
    for (const char* type : {"QMYSQL", "DRIZZLE", "MYSQL"}) {
        info.setDbType(QString::fromLatin1(type));
        EXPECT_TRUE(info.isMySQL()) << type;
    }
    for (const char* type : {"mysql", "QMySQL", "SQLITE", "QSQLITE", "", "MYSQL "}) {
        info.setDbType(QString::fromLatin1(type));
        EXPECT_FALSE(info.isMySQL()) << type;
    }
}

TEST(ServerInfo, SettingsPathIsUnderEtc) {
    EXPECT_EQ(KolvServerInfo::settingsPath(QStringLiteral("/srv/app")), "/srv/app/etc/trel.ini");
}

TEST_F(ServerInfoLoad, EveryDatabaseSettingIsRead) {
    writeSettings("[database]\ntype=QMYSQL\nhost=10.0.0.5\nport=3310\nname=diag\nuser=collector\n"
                  "password=s3cret\n");
    KolvServerInfo info;
    QString error;
    ASSERT_TRUE(info.load(root, &error)) << error.toStdString();
    EXPECT_EQ(info.getRoot(), root);
    EXPECT_EQ(info.getDbType(), "QMYSQL");
    EXPECT_TRUE(info.isMySQL());
    EXPECT_EQ(info.getDbHostName(), "10.0.0.5");
    EXPECT_EQ(info.getDbPort(), 3310);
    EXPECT_EQ(info.getDbName(), "diag");
    EXPECT_EQ(info.getDbUsername(), "collector");
    EXPECT_EQ(info.getDbPassword(), "s3cret");
}

TEST_F(ServerInfoLoad, ASqliteInstallationNeedsOnlyTheType) {
    writeSettings("[database]\ntype=SQLITE\n");
    KolvServerInfo info = preset();
    ASSERT_TRUE(info.load(root));
    EXPECT_EQ(info.getRoot(), root);
    EXPECT_EQ(info.getDbType(), "SQLITE");
    // Nothing of the earlier values survives a successful load.
    EXPECT_EQ(info.getDbPort(), 0);
    EXPECT_TRUE(info.getDbHostName().isEmpty());
    EXPECT_TRUE(info.getDbName().isEmpty());
    EXPECT_TRUE(info.getDbUsername().isEmpty());
    EXPECT_TRUE(info.getDbPassword().isEmpty());
}

TEST_F(ServerInfoLoad, TheTypeKeepsItsCaseButLosesSurroundingBlanks) {
    writeSettings("[database]\ntype=\"  mysql \"\n");
    KolvServerInfo info;
    ASSERT_TRUE(info.load(root));
    EXPECT_EQ(info.getDbType(), "mysql");
    EXPECT_FALSE(info.isMySQL());
}

TEST_F(ServerInfoLoad, ValuesWrittenByQSettingsReadBackUnchanged) {
    // How an installation tool writes the file; passwords hold any character.
    const QStringList passwords = {QStringLiteral("a,b\\c\"d;e#f"), QStringLiteral(" spaced "),
                                   QStringLiteral("@at"), QStringLiteral("x=y"),
                                   QString::fromUtf8("caf\xc3\xa9\tend")};
    for (const QString& password : passwords) {
        newRoot();
        {
            QSettings settings(KolvServerInfo::settingsPath(root), QSettings::IniFormat);
            settings.beginGroup(QStringLiteral("database"));
            settings.setValue(QStringLiteral("type"), QStringLiteral("QMYSQL"));
            settings.setValue(QStringLiteral("password"), password);
            settings.setValue(QStringLiteral("port"), 3306);
            settings.endGroup();
        }
        KolvServerInfo info;
        QString error;
        ASSERT_TRUE(info.load(root, &error)) << error.toStdString();
        EXPECT_EQ(info.getDbPassword(), password);
        EXPECT_EQ(info.getDbPort(), 3306);
    }
}

TEST_F(ServerInfoLoad, AHandWrittenValueWithCommasKeepsThem) {
    writeSettings("[database]\ntype=QMYSQL\npassword=a,b,c\nuser=\"x, y\"\n");
    KolvServerInfo info;
    ASSERT_TRUE(info.load(root));
    EXPECT_EQ(info.getDbPassword(), "a,b,c");
    EXPECT_EQ(info.getDbUsername(), "x, y");
}

TEST_F(ServerInfoLoad, ABrokenFileIsRefused) {
    writeSettings("[database\ntype=SQLITE\n");
    EXPECT_TRUE(expectRefused().contains(QStringLiteral("INI"))) << "unclosed group";
    writeSettings("[database]\ntype=SQLITE\njust some words\n");
    EXPECT_TRUE(expectRefused().contains(QStringLiteral("INI"))) << "a line without '='";
}

TEST_F(ServerInfoLoad, AMissingFileIsRefused) {
    const QString error = expectRefused();
    EXPECT_TRUE(error.contains(KolvServerInfo::settingsPath(root))) << error.toStdString();
}

TEST_F(ServerInfoLoad, AMissingOrEmptyTypeIsRefused) {
    writeSettings("[database]\nhost=h\n");
    EXPECT_TRUE(expectRefused().contains(QStringLiteral("type")));
    writeSettings("[database]\ntype=\nhost=h\n");
    EXPECT_TRUE(expectRefused().contains(QStringLiteral("type")));
    writeSettings("[database]\ntype=\"   \"\n");
    expectRefused();
    // The type outside its group does not count.
    writeSettings("type=SQLITE\n[other]\ntype=SQLITE\n");
    expectRefused();
    writeSettings("");
    expectRefused();
}

TEST_F(ServerInfoLoad, ABadPortIsRefused) {
    for (const char* port : {"abc", "-1", "65536", "3306x", "99999999999"}) {
        writeSettings(QByteArray("[database]\ntype=QMYSQL\nport=") + port + "\n");
        const QString error = expectRefused();
        EXPECT_TRUE(error.contains(QString::fromLatin1(port)))
            << port << ": " << error.toStdString();
    }
    writeSettings("[database]\ntype=QMYSQL\nport=65535\n");
    KolvServerInfo info;
    ASSERT_TRUE(info.load(root));
    EXPECT_EQ(info.getDbPort(), 65535);
}

TEST_F(ServerInfoLoad, APasswordFileRelativeToTheRootGivesThePasswordTrimmed) {
    writeSettings("[database]\ntype=QMYSQL\npassword=inline\npassword_file=etc/db.pw\n");
    writeFile(QStringLiteral("etc/db.pw"), "  from-file \n");
    KolvServerInfo info;
    QString error;
    ASSERT_TRUE(info.load(root, &error)) << error.toStdString();
    EXPECT_EQ(info.getDbPassword(), "from-file");
}

TEST_F(ServerInfoLoad, AnAbsolutePasswordFileIsReadWhereItIs) {
    QTemporaryDir elsewhere;
    ASSERT_TRUE(elsewhere.isValid());
    const QString path = elsewhere.filePath(QStringLiteral("pw"));
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("abs");
    }
    writeSettings("[database]\ntype=QMYSQL\npassword_file=" + path.toUtf8() + "\n");
    KolvServerInfo info;
    ASSERT_TRUE(info.load(root));
    EXPECT_EQ(info.getDbPassword(), "abs");
}

TEST_F(ServerInfoLoad, AMissingPasswordFileIsRefused) {
    writeSettings("[database]\ntype=QMYSQL\npassword=inline\npassword_file=etc/none.pw\n");
    const QString error = expectRefused();
    EXPECT_TRUE(error.contains(QStringLiteral("none.pw"))) << error.toStdString();
}

TEST_F(ServerInfoLoad, ASettingsPathThatIsAFolderIsRefused) {
    ASSERT_TRUE(QDir(root).mkpath(QStringLiteral("etc/trel.ini")));
    expectRefused();
}

} // namespace

// What a worker compares to follow its installation: the settings and the stamp by
// content, the database by which file it is; one look after another without a change
// gives no change.
TEST_F(ServerInfoLoad, TheWatchSeesTheInstallationsChangesAndOnlyThem) {
    writeSettings("[database]\ntype=SQLITE\n");
    ASSERT_TRUE(QDir(root).mkpath(QStringLiteral("data")));
    writeFile(QStringLiteral("data/trel.db"), "first");
    KolvInstallationWatch watch(root);
    EXPECT_FALSE(watch.changed()) << "the first look only records";
    EXPECT_FALSE(watch.changed());

    // Written to, the database is the same file; replaced or removed, it is not.
    writeFile(QStringLiteral("data/trel.db"), "written to, longer");
    EXPECT_FALSE(watch.changed());
    ASSERT_TRUE(QFile::rename(QDir(root).filePath(QStringLiteral("data/trel.db")),
                              QDir(root).filePath(QStringLiteral("data/old.db"))));
    writeFile(QStringLiteral("data/trel.db"), "new");
    EXPECT_TRUE(watch.changed());
    EXPECT_FALSE(watch.changed());
    ASSERT_TRUE(QFile::remove(QDir(root).filePath(QStringLiteral("data/trel.db"))));
    EXPECT_TRUE(watch.changed());

    // The stamp: written, and written again.
    QString error;
    ASSERT_TRUE(KolvInstallationWatch::markChanged(root, QStringLiteral("a test"), &error))
        << error.toStdString();
    EXPECT_TRUE(watch.changed());
    ASSERT_TRUE(KolvInstallationWatch::markChanged(root, QStringLiteral("a test"), &error));
    EXPECT_TRUE(watch.changed());
    QFile stamp(KolvInstallationWatch::stampPath(root));
    ASSERT_TRUE(stamp.open(QIODevice::ReadOnly));
    EXPECT_TRUE(stamp.readAll().startsWith("a test at "));
    EXPECT_EQ(stamp.fileName(), QDir(root).filePath(QStringLiteral("data/trel.stamp")));

    // The settings, edited in place to the same size.
    writeFile(QStringLiteral("etc/trel.ini"), "[database]\ntype=QMYSQL\n");
    EXPECT_TRUE(watch.changed());
    EXPECT_FALSE(watch.changed());

    // A stamp that cannot be written says why.
    ASSERT_TRUE(QFile::remove(KolvInstallationWatch::stampPath(root)));
    ASSERT_TRUE(QDir().mkdir(KolvInstallationWatch::stampPath(root)));
    EXPECT_FALSE(KolvInstallationWatch::markChanged(root, QStringLiteral("a test"), &error));
    EXPECT_TRUE(error.contains(KolvInstallationWatch::stampPath(root))) << error.toStdString();
}

// The generation of a shared database whose server takes connections but never answers:
// the first look gives up after its timeout and says so once; the looks after it do not
// ask again for a while (one connection in all), so that requests are not held up.
TEST_F(ServerInfoLoad, AServerThatDoesNotAnswerIsAskedOnceAndReportedOnce) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    writeSettings(QStringLiteral("[database]\ntype=QMYSQL\nhost=127.0.0.1\nport=%1\nname=trel\n"
                                 "user=trel\npassword=secret\n")
                      .arg(ntohs(address.sin_port))
                      .toUtf8());
    LogCapture log;
    KolvInstallationWatch watch(root);
    for (int look = 0; look < 3; ++look)
        EXPECT_FALSE(watch.changed()) << look;
    ASSERT_EQ(::fcntl(listener, F_SETFL, O_NONBLOCK), 0);
    int connections = 0;
    for (int fd; (fd = ::accept(listener, nullptr, nullptr)) >= 0; ++connections)
        ::close(fd);
    ::close(listener);
    EXPECT_EQ(connections, 1);
    const QStringList said = log.texts(0).filter(QStringLiteral("cannot read the generation"));
    ASSERT_EQ(said.size(), 1) << log.texts().join('\n').toStdString();
    EXPECT_TRUE(said.at(0).startsWith(
        QStringLiteral("trel: cannot read the generation of the installation at %1:").arg(root)))
        << said.at(0).toStdString();
    EXPECT_TRUE(said.at(0).endsWith(QLatin1String(
        "- a change made on another web server is noticed once the database answers; asked "
        "again every 30 s")))
        << said.at(0).toStdString();
    EXPECT_FALSE(said.at(0).contains(QLatin1String("secret")));
}
