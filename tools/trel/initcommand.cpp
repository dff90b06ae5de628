#include "initcommand.h"

#include "argumentcheck.h"
#include "installation.h"
#include "installationaccess.h"
#include "toolerror.h"

#include <kolv/kolvserverinfo.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUuid>
#include <QVariant>

namespace {

// Whether a folder holds what an installation (or the remnant of one) holds.
bool looksLikeInstallation(const QDir& dir) {
    return QFileInfo::exists(dir.filePath(QStringLiteral("etc/trel.ini"))) ||
           QFileInfo::exists(dir.filePath(QStringLiteral("data/trel.db"))) ||
           QFileInfo::exists(dir.filePath(QStringLiteral("share/scripts/trel_header.html"))) ||
           QFileInfo::exists(dir.filePath(QStringLiteral("share/scripts/trel_footer.html")));
}

// Holds the write lock of the SQLite database being replaced while the new installation
// is moved in. A worker that still has the old file open checks, while it holds that
// lock for a request, that its file is still the one at the path: so it either commits
// before the replacement or finds the new file and writes there, and never commits
// into the file that was moved aside.
class OldDatabaseLock {
public:
    explicit OldDatabaseLock(const QString& path)
        : m_name(QStringLiteral("trel_init_old_%1").arg(QUuid::createUuid().toString())) {
        if (!QFileInfo(path).isFile())
            return;
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
        // A database too broken to lock is replaced all the same: that is what --force
        // is for, and no worker writes into a file it cannot lock either.
        if (db.open())
            m_locked = QSqlQuery(db).exec(QStringLiteral("BEGIN IMMEDIATE"));
    }
    ~OldDatabaseLock() {
        if (!QSqlDatabase::contains(m_name))
            return;
        {
            QSqlDatabase db = QSqlDatabase::database(m_name, false);
            if (m_locked)
                QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
            db.close();
        }
        QSqlDatabase::removeDatabase(m_name);
    }
    OldDatabaseLock(const OldDatabaseLock&) = delete;
    OldDatabaseLock& operator=(const OldDatabaseLock&) = delete;

private:
    QString m_name;
    bool m_locked = false;
};

int countTrelTables(const KolvServerInfo& info) {
    const QString name = QStringLiteral("trel_init_%1").arg(QUuid::createUuid().toString());
    int count = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
        QString error;
        if (!InstallationAccess::openMySql(db, info, &error)) {
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(name);
            throw ToolError(InstallationAccess::connectFailure(info, error) +
                            QStringLiteral("; check that the server runs, the database exists "
                                           "and the arguments are right"));
        }
        QSqlQuery query(db);
        if (query.exec(QStringLiteral("SHOW TABLES LIKE 'trel\\_%'"))) {
            count = 0;
            while (query.next())
                ++count;
        }
        query = QSqlQuery();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return count;
}

} // namespace

int InitCommand::addMissingParts(const QString& shownRoot) {
    // An installation made by an older trel gets what the schema gained since (its rows
    // stay as they are); a whole one is left alone.
    QStringList missing;
    {
        InstallationAccess access(shownRoot);
        missing = access.missingParts();
        if (!missing.isEmpty()) {
            access.addMissingParts();
            // Running workers keep prepared statements made before the new parts existed.
            access.markChanged(QStringLiteral("adding what the installation lacks"));
        }
        const QStringList left = access.missingParts();
        if (!left.isEmpty())
            throw ToolError(QStringLiteral("%1 still lacks %2 after the schema was applied")
                                .arg(shownRoot, left.join(QStringLiteral(", "))));
    }
    if (missing.isEmpty())
        throw ToolError(
            QStringLiteral("%1 already holds an installation; add --force to replace it")
                .arg(shownRoot));
    out(QStringLiteral("added to the installation at %1, its requests kept: %2\n")
            .arg(shownRoot, missing.join(QStringLiteral(", "))));
    return 0;
}

QString InitCommand::summary() const {
    return QStringLiteral(
        "Create an installation: settings, the bar's templates and the database.");
}

void InitCommand::setUp(QCommandLineParser& parser) {
    parser.setApplicationDescription(QStringLiteral(
        "Creates an installation under ROOT: etc/trel.ini, the bar's templates "
        "share/scripts/trel_header.html and trel_footer.html, and the database: data/trel.db "
        "(SQLite, WAL) or, with --mysql, the schema applied to a MariaDB/MySQL database that "
        "exists on the server. An existing installation is replaced only with --force. Without "
        "--force, an installation made by an older trel gets the tables and indexes it lacks, "
        "with its requests kept. A MySQL database that already holds an installation (another "
        "web server's) is joined: only the settings and templates are written, and its tables, "
        "trigger, tokens and patterns are shared as they are; with --force the schema is "
        "applied again, tables and rows kept."));
    parser.addPositionalArgument(QStringLiteral("ROOT"),
                                 QStringLiteral("The installation's folder."));
    parser.addOption(
        {QStringLiteral("force"), QStringLiteral("Replace an existing installation.")});
    parser.addOption({QStringLiteral("mysql"),
                      QStringLiteral("Store the requests on this MariaDB/MySQL server: "
                                     "HOST:PORT, or the absolute path of its unix socket."),
                      QStringLiteral("HOST:PORT|SOCKET")});
    parser.addOption({QStringLiteral("database"),
                      QStringLiteral("The database on the server (with --mysql)."),
                      QStringLiteral("NAME")});
    parser.addOption({QStringLiteral("user"), QStringLiteral("The server's user (with --mysql)."),
                      QStringLiteral("USER")});
    parser.addOption({QStringLiteral("password-file"),
                      QStringLiteral("A file holding the user's password (with --mysql); the "
                                     "settings name the file, never the password."),
                      QStringLiteral("FILE")});
}

int InitCommand::run(QCommandLineParser& parser) {
    const QString shownRoot = positionals(parser, {QStringLiteral("ROOT")}).at(0);
    const QString root = InstallationAccess::absoluteRoot(shownRoot);
    const bool force = parser.isSet(QStringLiteral("force"));
    const bool mysql = parser.isSet(QStringLiteral("mysql"));

    KolvServerInfo server;
    QString passwordFile;
    if (mysql) {
        QString host;
        QString socket;
        int port = 0;
        const QString target = parser.value(QStringLiteral("mysql")).trimmed();
        if (target.startsWith(QLatin1Char('/')) && !target.contains(QLatin1Char(';')))
            socket = target;
        else if (!ArgumentCheck::hostAndPort(target, &host, &port))
            throw usageError(
                QStringLiteral("--mysql wants HOST:PORT or the server's socket path, not '%1'")
                    .arg(parser.value(QStringLiteral("mysql"))));
        for (const char* required : {"database", "user"}) {
            if (parser.value(QString::fromLatin1(required)).trimmed().isEmpty())
                throw usageError(
                    QStringLiteral("--mysql needs --%1").arg(QString::fromLatin1(required)));
        }
        // Names go into the settings file as they are: plain characters only.
        static const QRegularExpression plainName(QStringLiteral("^[A-Za-z0-9_$@.-]{1,64}$"));
        for (const char* option : {"database", "user"}) {
            const QString value = parser.value(QString::fromLatin1(option)).trimmed();
            if (!plainName.match(value).hasMatch())
                throw usageError(
                    QStringLiteral("--%1 '%2' may hold only letters, digits and _ $ @ . -")
                        .arg(QString::fromLatin1(option), value));
        }
        server.setDbType(QStringLiteral("QMYSQL"));
        server.setDbHostName(host);
        server.setDbPort(port);
        server.setDbSocket(socket);
        server.setDbName(parser.value(QStringLiteral("database")).trimmed());
        server.setDbUsername(parser.value(QStringLiteral("user")).trimmed());
        if (parser.isSet(QStringLiteral("password-file"))) {
            passwordFile =
                QFileInfo(parser.value(QStringLiteral("password-file"))).absoluteFilePath();
            QFile file(passwordFile);
            if (!QFileInfo(passwordFile).isFile() || !file.open(QIODevice::ReadOnly))
                throw usageError(QStringLiteral("cannot read the password file '%1'")
                                     .arg(parser.value(QStringLiteral("password-file"))));
            // Read as the settings loader reads it: UTF-8, surrounding white space dropped.
            server.setDbPassword(QString::fromUtf8(file.readAll()).trimmed());
        }
    } else {
        for (const char* option : {"database", "user", "password-file"}) {
            if (parser.isSet(QString::fromLatin1(option)))
                throw usageError(
                    QStringLiteral("--%1 goes with --mysql").arg(QString::fromLatin1(option)));
        }
    }

    // Where the installation goes: a new folder, an empty one, or (with --force) one
    // that holds an installation. Anything else is somebody's files.
    const QFileInfo rootInfo(root);
    const QDir parent = rootInfo.dir();
    bool replacing = false;
    bool hadInstallation = false;
    if (rootInfo.isRoot() || rootInfo.fileName().isEmpty())
        throw usageError(QStringLiteral("'%1' cannot be an installation's folder").arg(shownRoot));
    if (!parent.exists())
        throw ToolError(
            QStringLiteral("cannot create %1: the folder %2 does not exist; create it first")
                .arg(shownRoot, QDir::toNativeSeparators(parent.path())));
    if (rootInfo.exists() || rootInfo.isSymLink()) {
        if (!rootInfo.isDir() || rootInfo.isSymLink())
            throw ToolError(QStringLiteral("%1 exists and is not a folder; choose another ROOT")
                                .arg(shownRoot));
        const QDir dir(root);
        const bool empty =
            dir.isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        if (!empty) {
            if (!looksLikeInstallation(dir))
                throw ToolError(QStringLiteral("%1 exists and holds other files; choose a new or "
                                               "empty folder")
                                    .arg(shownRoot));
            if (!force)
                return addMissingParts(shownRoot);
            hadInstallation = true;
        }
        replacing = true;
    }

    int existingTables = 0;
    if (mysql)
        existingTables = countTrelTables(server);

    QTemporaryDir temp(
        parent.filePath(QStringLiteral(".%1.trel-init-XXXXXX").arg(rootInfo.fileName())));
    if (!temp.isValid())
        throw ToolError(QStringLiteral("cannot create a temporary folder in %1: %2")
                            .arg(QDir::toNativeSeparators(parent.path()), temp.errorString()));
    QString error;
    // Another web server's installation in the database is joined, not replaced: its
    // trigger is live, and dropping it while that server writes fails its writes.
    const bool joining = mysql && existingTables > 0 && !force;
    bool created = false;
    if (joining)
        created = Installation::joinMySql(temp.path(), server, passwordFile, &error);
    else if (mysql)
        created = Installation::createMySql(temp.path(), server, passwordFile, &error);
    else
        created = Installation::createSqlite(temp.path(), &error);
    if (!created)
        throw ToolError(
            QStringLiteral("cannot create the installation: %1").arg(error.simplified()));

    // The settings must read back as given, or the library would see another installation.
    KolvServerInfo loaded;
    if (!loaded.load(temp.path(), &error))
        throw ToolError(
            QStringLiteral("the settings just written do not read back: %1").arg(error));
    if (mysql &&
        (loaded.getDbHostName() != server.getDbHostName() ||
         loaded.getDbPort() != server.getDbPort() || loaded.getDbSocket() != server.getDbSocket() ||
         loaded.getDbName() != server.getDbName() ||
         loaded.getDbUsername() != server.getDbUsername() ||
         loaded.getDbPassword() != server.getDbPassword()))
        throw ToolError(QStringLiteral("the settings just written read back differently; nothing "
                                       "was installed"));
    QFile::setPermissions(temp.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                           QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                           QFile::ExeOther);

    if (replacing) {
        OldDatabaseLock oldLock(QDir(root).filePath(QStringLiteral("data/trel.db")));
        const QString old = parent.filePath(
            QStringLiteral(".%1.trel-old-%2")
                .arg(rootInfo.fileName(), QUuid::createUuid().toString(QUuid::Id128).left(8)));
        if (!QDir().rename(root, old))
            throw ToolError(QStringLiteral("cannot move the old installation at %1 aside; check "
                                           "the permissions of %2")
                                .arg(shownRoot, QDir::toNativeSeparators(parent.path())));
        if (!QDir().rename(temp.path(), root)) {
            QDir().rename(old, root);
            throw ToolError(QStringLiteral("cannot move the new installation into %1; the old one "
                                           "is unchanged")
                                .arg(shownRoot));
        }
        temp.setAutoRemove(false);
        QDir(old).removeRecursively();
    } else {
        if (!QDir().rename(temp.path(), root))
            throw ToolError(QStringLiteral("cannot move the new installation into %1; check the "
                                           "permissions of %2")
                                .arg(shownRoot, QDir::toNativeSeparators(parent.path())));
        temp.setAutoRemove(false);
    }

    QString text =
        joining ? QStringLiteral("%1 the MariaDB/MySQL installation in database %2 at %3\n")
                      .arg(hadInstallation ? QStringLiteral("replaced with one joining")
                                           : QStringLiteral("joined"),
                           server.getDbName(), shownRoot)
                : QStringLiteral("%1 a %2 installation at %3\n")
                      .arg(hadInstallation ? QStringLiteral("replaced with")
                                           : QStringLiteral("created"),
                           mysql ? QStringLiteral("MariaDB/MySQL") : QStringLiteral("SQLite"),
                           shownRoot);
    text += QStringLiteral("  settings   %1\n")
                .arg(QDir(shownRoot).filePath(QStringLiteral("etc/trel.ini")));
    text += QStringLiteral("  templates  %1, trel_footer.html\n")
                .arg(QDir(shownRoot).filePath(QStringLiteral("share/scripts/trel_header.html")));
    if (mysql) {
        text += QStringLiteral("  database   %1 on %2:%3, user %4%5\n")
                    .arg(server.getDbName(), server.getDbHostName())
                    .arg(server.getDbPort())
                    .arg(server.getDbUsername(),
                         passwordFile.isEmpty()
                             ? QStringLiteral(", no password")
                             : QStringLiteral(", password read from ") + passwordFile);
        if (joining)
            text += QStringLiteral("             (its %1 trel tables, trigger, tokens and "
                                   "patterns are shared and were left as they are; --force "
                                   "applies the schema again)\n")
                        .arg(existingTables);
        else if (existingTables > 0)
            text += QStringLiteral("             (the %1 trel tables that were there are kept, "
                                   "with their rows)\n")
                        .arg(existingTables);
    } else {
        text += QStringLiteral("  database   %1 (SQLite, WAL)\n")
                    .arg(QDir(shownRoot).filePath(QStringLiteral("data/trel.db")));
    }
    text += QStringLiteral("next: `trel token add %1 NAME` and `trel agent add %1 LABEL PATTERN` "
                           "decide which browsers' requests are collected\n")
                .arg(shownRoot);
    out(text);
    return 0;
}
