#include "installationaccess.h"

#include "installation.h"
#include "sqlscript.h"
#include "toolerror.h"

#include <kolv/kolvinstallationwatch.h>

#include <QAtomicInt>
#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QSqlError>
#include <QVariant>

namespace {

QAtomicInt connectionSerial;

QString oneLine(const QString& text) {
    return text.simplified();
}

} // namespace

QStringList InstallationAccess::tables() {
    return {QStringLiteral("trel_requests"),
            QStringLiteral("trel_requests_urls"),
            QStringLiteral("trel_sql_statements"),
            QStringLiteral("trel_sql_queries"),
            QStringLiteral("trel_log_entries"),
            QStringLiteral("trel_functions_stats"),
            QStringLiteral("trel_monitor_events"),
            QStringLiteral("trel_processing_breakdown"),
            QStringLiteral("trel_superglobals_data"),
            QStringLiteral("trel_backtrace"),
            QStringLiteral("trel_tokens"),
            QStringLiteral("trel_user_agent")};
}

QString InstallationAccess::absoluteRoot(const QString& root) {
    return QDir::cleanPath(QDir(root).absolutePath());
}

InstallationAccess::InstallationAccess(const QString& root)
    : m_shownRoot(root), m_root(absoluteRoot(root)),
      m_connectionName(QStringLiteral("trel_tool_%1").arg(connectionSerial.fetchAndAddRelaxed(1))) {
    loadSettings();
    checkFiles();
    openDatabase();
    checkTables();
}

InstallationAccess::~InstallationAccess() {
    // A change that a ToolError interrupted is not kept.
    if (m_inChange)
        m_db.rollback();
    if (m_db.isValid())
        m_db.close();
    m_db = QSqlDatabase();
    if (QSqlDatabase::contains(m_connectionName))
        QSqlDatabase::removeDatabase(m_connectionName);
}

QString InstallationAccess::backendName() const {
    return isMySql() ? QStringLiteral("MariaDB/MySQL") : QStringLiteral("SQLite");
}

ToolError InstallationAccess::incomplete(const QString& what) const {
    return ToolError(QStringLiteral("the installation at %1 is incomplete: %2; recreate it with "
                                    "`trel init %1 --force`")
                         .arg(m_shownRoot, what));
}

void InstallationAccess::loadSettings() {
    const QFileInfo rootInfo(m_root);
    if (!rootInfo.exists())
        throw ToolError(QStringLiteral("no installation at %1: the folder does not exist; create "
                                       "one with `trel init %1`")
                            .arg(m_shownRoot));
    if (!rootInfo.isDir())
        throw ToolError(QStringLiteral("no installation at %1: it is not a folder; give the "
                                       "folder that `trel init` created")
                            .arg(m_shownRoot));
    const QDir dir(m_root);
    if (!QFileInfo::exists(KolvServerInfo::settingsPath(m_root))) {
        const bool remnant = QFileInfo::exists(dir.filePath(QStringLiteral("data"))) ||
                             QFileInfo::exists(dir.filePath(QStringLiteral("share/scripts")));
        if (remnant)
            throw incomplete(QStringLiteral("etc/trel.ini is missing"));
        throw ToolError(QStringLiteral("no installation at %1 (etc/trel.ini is missing); create "
                                       "one with `trel init %1`")
                            .arg(m_shownRoot));
    }
    QString error;
    KolvServerInfo loaded;
    if (!loaded.load(m_root, &error))
        throw ToolError(QStringLiteral("the settings of %1 are broken: %2; fix etc/trel.ini or "
                                       "recreate the installation with `trel init %1 --force`")
                            .arg(m_shownRoot, oneLine(error)));
    const QString type = loaded.getDbType();
    const bool sqlite = type.compare(QLatin1String("SQLITE"), Qt::CaseInsensitive) == 0 ||
                        type.compare(QLatin1String("QSQLITE"), Qt::CaseInsensitive) == 0;
    if (!sqlite && !loaded.isMySQL())
        throw ToolError(QStringLiteral("the settings of %1 are broken: the database type '%2' is "
                                       "neither SQLITE nor QMYSQL; fix [database] type= in "
                                       "etc/trel.ini")
                            .arg(m_shownRoot, type));
    if (loaded.isMySQL() && ((loaded.getDbHostName().isEmpty() && loaded.getDbSocket().isEmpty()) ||
                             loaded.getDbName().isEmpty() || loaded.getDbUsername().isEmpty()))
        throw ToolError(QStringLiteral("the settings of %1 are broken: a MySQL installation needs "
                                       "host (or socket), name and user in [database]; fix "
                                       "etc/trel.ini")
                            .arg(m_shownRoot));
    m_settings = loaded;
    m_settings.setRoot(m_root);
}

void InstallationAccess::checkFiles() {
    const QDir dir(m_root);
    for (const QString& file : {QStringLiteral("share/scripts/trel_header.html"),
                                QStringLiteral("share/scripts/trel_footer.html")}) {
        if (!QFileInfo(dir.filePath(file)).isFile())
            throw incomplete(QStringLiteral("%1 is missing").arg(file));
    }
    if (!isMySql() && !QFileInfo(Installation::databasePath(m_root)).isFile())
        throw incomplete(QStringLiteral("data/trel.db is missing"));
}

bool InstallationAccess::openMySql(QSqlDatabase& db, const KolvServerInfo& info, QString* error) {
    Installation::setUpMySql(db, info);
    if (db.open())
        return true;
    if (error)
        *error = oneLine(db.lastError().text());
    return false;
}

QString InstallationAccess::connectFailure(const KolvServerInfo& info, const QString& error) {
    const QString where = info.getDbSocket().isEmpty() ? info.getDbHostName() + QLatin1Char(':') +
                                                             QString::number(info.getDbPort())
                                                       : info.getDbSocket();
    return QStringLiteral("cannot connect to the MySQL server at %1 (database %2, user %3): %4")
        .arg(where, info.getDbName(), info.getDbUsername(), error);
}

void InstallationAccess::openDatabase() {
    if (isMySql()) {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), m_connectionName);
        QString error;
        if (!openMySql(m_db, m_settings, &error))
            throw ToolError(connectFailure(m_settings, error) +
                            QStringLiteral("; check that the server runs and the settings in "
                                           "%1/etc/trel.ini")
                                .arg(m_shownRoot));
        return;
    }
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    m_db.setDatabaseName(Installation::databasePath(m_root));
    // Writers of the library hold the database for the length of one request.
    m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
    if (!m_db.open())
        throw incomplete(QStringLiteral("data/trel.db cannot be opened (%1)")
                             .arg(oneLine(m_db.lastError().text())));
}

void InstallationAccess::checkTables() {
    QSqlQuery query(m_db);
    const QString sql =
        isMySql() ? QStringLiteral("SELECT table_name FROM information_schema.tables WHERE "
                                   "table_schema = DATABASE()")
                  : QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table'");
    if (!query.exec(sql)) {
        if (isMySql())
            throw ToolError(
                QStringLiteral("cannot read the tables of database %1: %2; check the "
                               "settings in %3/etc/trel.ini")
                    .arg(m_settings.getDbName(), oneLine(query.lastError().text()), m_shownRoot));
        throw incomplete(QStringLiteral("data/trel.db is not a database (%1)")
                             .arg(oneLine(query.lastError().text())));
    }
    QSet<QString> present;
    while (query.next())
        present.insert(query.value(0).toString().toLower());
    QStringList missing;
    for (const QString& table : tables()) {
        if (!present.contains(table))
            missing << table;
    }
    if (!missing.isEmpty())
        throw incomplete(QStringLiteral("the database lacks the table%1 %2")
                             .arg(missing.size() > 1 ? QStringLiteral("s") : QString(),
                                  missing.join(QStringLiteral(", "))));
}

void InstallationAccess::beginChange() {
    if (!m_db.transaction())
        throw ToolError(QStringLiteral("cannot begin a transaction in the database of %1: %2")
                            .arg(m_shownRoot, oneLine(m_db.lastError().text())));
    m_inChange = true;
}

void InstallationAccess::markChanged(const QString& change) {
    QString error;
    bool missingTable = false;
    const bool raised =
        !isMySql() || KolvInstallationWatch::raiseGeneration(m_db, &error, &missingTable);
    if (!raised && !missingTable) {
        if (m_inChange)
            m_db.rollback();
        m_inChange = false;
        throw ToolError(QStringLiteral("%1 failed in the database of %2: raising its generation: "
                                       "%3; nothing was changed")
                            .arg(change, m_shownRoot, oneLine(error)));
    }
    if (m_inChange && !m_db.commit())
        throw ToolError(QStringLiteral("%1 failed in the database of %2: the commit: %3")
                            .arg(change, m_shownRoot, oneLine(m_db.lastError().text())));
    m_inChange = false;
    if (!KolvInstallationWatch::markChanged(m_root, change, &error))
        throw ToolError(
            QStringLiteral("%1 is done, but running PHP workers do not notice it: %2; run `touch "
                           "%3` as a user who may, or restart PHP")
                .arg(change, error, KolvInstallationWatch::stampPath(m_shownRoot)));
    if (!raised)
        throw ToolError(QStringLiteral("%1 is done, but the PHP workers of other web servers "
                                       "sharing the database do not notice it before they "
                                       "restart: the database lacks table trel_generation; "
                                       "`trel init %2` adds it")
                            .arg(change, m_shownRoot));
}

QStringList InstallationAccess::missingParts() {
    struct Part {
        const char* kind;
        const char* name;
    };
    const Part parts[] = {{"table", "trel_request_owners"},
                          {"index", "trel_requests_page"},
                          {"index", "trel_requests_url"},
                          {"index", "trel_request_owners_token"},
                          {"trigger", "trel_requests_delete_owner"},
                          {"table", "trel_request_context"},
                          {"trigger", "trel_requests_delete_context"},
                          {"table", "trel_generation"}};
    QStringList missing;
    for (const Part& part : parts) {
        // A SQLite installation is one server's own: its change stamp is enough.
        if (!isMySql() && qstrcmp(part.name, "trel_generation") == 0)
            continue;
        const QString kind = QString::fromLatin1(part.kind);
        const QString name = QString::fromLatin1(part.name);
        QString sql;
        if (!isMySql())
            sql = QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE type = ? AND name = ?");
        else if (kind == QLatin1String("table"))
            sql = QStringLiteral("SELECT COUNT(*) FROM information_schema.tables WHERE "
                                 "table_schema = DATABASE() AND ? <> '' AND table_name = ?");
        else if (kind == QLatin1String("index"))
            sql = QStringLiteral("SELECT COUNT(*) FROM information_schema.statistics WHERE "
                                 "table_schema = DATABASE() AND ? <> '' AND index_name = ?");
        else
            // On MySQL the owners and the context go with the one delete trigger: the
            // part's name ends with its table's.
            sql = QStringLiteral("SELECT COUNT(*) FROM information_schema.triggers WHERE "
                                 "trigger_schema = DATABASE() AND ? <> '' AND trigger_name = "
                                 "'trel_requests_delete' AND action_statement LIKE "
                                 "CONCAT('%trel_request_', SUBSTRING_INDEX(?, '_', -1), '%')");
        QVariantList binds{kind, name};
        QSqlQuery query = run(QStringLiteral("reading the schema"), sql, binds);
        if (!query.next() || query.value(0).toLongLong() == 0)
            missing << kind + QLatin1Char(' ') + name;
    }
    return missing;
}

void InstallationAccess::addMissingParts() {
    const QString schema =
        SqlScript::schemaFile(isMySql() ? QStringLiteral("mysql") : QStringLiteral("sqlite"));
    QString error;
    if (schema.isEmpty())
        throw ToolError(QStringLiteral("the schema file was not found (set TREL_SCHEMA_DIR)"));
    if (!SqlScript::apply(m_db, schema, &error))
        throw ToolError(QStringLiteral("adding what the database of %1 lacks failed: %2")
                            .arg(m_shownRoot, oneLine(error)));
}

QSqlQuery InstallationAccess::run(const QString& what, const QString& sql,
                                  const QVariantList& binds) {
    QSqlQuery query(m_db);
    bool ok = query.prepare(sql);
    if (ok) {
        for (int i = 0; i < binds.size(); ++i)
            query.bindValue(i, binds.at(i));
        ok = query.exec();
    }
    if (!ok)
        throw ToolError(QStringLiteral("%1 failed in the database of %2: %3")
                            .arg(what, m_shownRoot, oneLine(query.lastError().text())));
    return query;
}

QMap<QString, qint64> InstallationAccess::rowCounts() {
    QMap<QString, qint64> counts;
    for (const QString& table : tables()) {
        QSqlQuery query = run(QStringLiteral("counting rows"),
                              QStringLiteral("SELECT COUNT(*) FROM %1").arg(table));
        counts.insert(table, query.next() ? query.value(0).toLongLong() : 0);
    }
    return counts;
}

qint64 InstallationAccess::databaseSize() {
    if (isMySql()) {
        // The server's figures lag behind the writes until the statistics are renewed.
        QSqlQuery analyze(m_db);
        analyze.exec(QStringLiteral("ANALYZE TABLE ") + tables().join(QStringLiteral(", ")));
        QSqlQuery query = run(QStringLiteral("reading the table sizes"),
                              QStringLiteral("SELECT SUM(data_length + index_length) FROM "
                                             "information_schema.tables WHERE table_schema = "
                                             "DATABASE() AND table_name LIKE 'trel\\_%'"));
        return query.next() ? query.value(0).toLongLong() : 0;
    }
    const QString path = Installation::databasePath(m_root);
    return QFileInfo(path).size() + QFileInfo(path + QStringLiteral("-wal")).size();
}

QString InstallationAccess::databaseSizeNote() const {
    if (isMySql())
        return QStringLiteral("tables of database %1 on %2:%3, as the server reports them")
            .arg(m_settings.getDbName(), m_settings.getDbHostName(),
                 QString::number(m_settings.getDbPort()));
    return QStringLiteral("data/trel.db with its write-ahead log");
}
