#include "installation.h"

#include "sqlscript.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

namespace {

bool writeFile(const QString& path, const QByteArray& content, QString* error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() ||
        !file.commit()) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

// A named connection that is removed when the scope ends.
class ScopedConnection {
public:
    explicit ScopedConnection(const QString& driver)
        : m_name(QStringLiteral("trel_install_%1").arg(QUuid::createUuid().toString())) {
        m_db = QSqlDatabase::addDatabase(driver, m_name);
    }
    ~ScopedConnection() {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
    }
    QSqlDatabase& db() { return m_db; }

private:
    QString m_name;
    QSqlDatabase m_db;
};

QStringList trelTables(QSqlDatabase& db) {
    QStringList names;
    QSqlQuery query(db);
    if (query.exec(QStringLiteral("SHOW TABLES LIKE 'trel\\_%'"))) {
        while (query.next())
            names << query.value(0).toString();
    }
    return names;
}

} // namespace

QString Installation::databasePath(const QString& root) {
    return QDir(root).absoluteFilePath(QStringLiteral("data/trel.db"));
}

// The bar's templates. The header (before </head>) styles the bar and holds its script;
// the footer (before </body>) is the bar itself. The page carries no data of its
// request: the request is stored only after the page is sent, so the script asks the
// same address for the request's summary (?__trel_summary=PAGE) a few times until it
// is there, and the details link opens the stored request's view (?__trel=PAGE). Both
// answer only a browser that presents a token for the request's URL.
QString Installation::headerTemplate() {
    return QStringLiteral(
        "<!-- trel diagnostics bar -->\n"
        "<style>\n"
        "#trel-bar{position:fixed;bottom:0;left:0;right:0;z-index:2147483647;box-sizing:border-box;"
        "display:flex;flex-wrap:wrap;gap:4px 14px;align-items:center;margin:0;padding:4px 10px;"
        "font:12px/1.5 system-ui,sans-serif;background:#263238;color:#eceff1;text-align:left;"
        "box-shadow:0 -1px 4px rgba(0,0,0,.35)}\n"
        "#trel-bar a{color:#80cbc4;text-decoration:underline;cursor:pointer}\n"
        "#trel-bar .trel-bar-facts span{margin-right:12px;font-variant-numeric:tabular-nums}\n"
        "#trel-bar .trel-bar-bad{color:#ff8a80;font-weight:600}\n"
        "</style>\n"
        "<script>\n"
        "(function () {\n"
        "  function show(bar, s) {\n"
        "    var facts = bar.querySelector('.trel-bar-facts');\n"
        "    facts.textContent = '';\n"
        "    function add(name, text, bad) {\n"
        "      var span = document.createElement('span');\n"
        "      span.setAttribute('data-trel', name);\n"
        "      span.textContent = text;\n"
        "      if (bad) span.className = 'trel-bar-bad';\n"
        "      facts.appendChild(span);\n"
        "    }\n"
        "    add('time', s.time);\n"
        "    add('queries', s.queries + (s.queries === 1 ? ' query' : ' queries'));\n"
        "    add('failed', s.failed_queries + ' failed', s.failed_queries > 0);\n"
        "    add('errors', s.errors + (s.errors === 1 ? ' error' : ' errors'), s.errors > 0);\n"
        "    add('memory', s.memory);\n"
        "    bar.setAttribute('data-trel-state', 'shown');\n"
        "  }\n"
        "  function load(bar, tries) {\n"
        "    var page = encodeURIComponent(bar.getAttribute('data-trel-page'));\n"
        "    var xhr = new XMLHttpRequest();\n"
        "    xhr.open('GET', location.pathname + '?__trel_summary=' + page);\n"
        "    xhr.onload = function () {\n"
        "      if (xhr.status === 200) {\n"
        "        try { show(bar, JSON.parse(xhr.responseText)); return; } catch (e) {}\n"
        "      }\n"
        "      retry();\n"
        "    };\n"
        "    xhr.onerror = retry;\n"
        "    function retry() {\n"
        "      if (tries > 1) { setTimeout(function () { load(bar, tries - 1); }, 300); return; }\n"
        "      bar.querySelector('.trel-bar-facts').textContent = 'not stored';\n"
        "      bar.setAttribute('data-trel-state', 'missing');\n"
        "    }\n"
        "    xhr.send();\n"
        "  }\n"
        "  function start() {\n"
        "    var bar = document.getElementById('trel-bar');\n"
        "    if (!bar) return;\n"
        "    var details = bar.querySelector('.trel-bar-details');\n"
        "    details.href = location.pathname + '?__trel=' +\n"
        "        encodeURIComponent(bar.getAttribute('data-trel-page'));\n"
        "    load(bar, 20);\n"
        "  }\n"
        "  if (document.readyState === 'loading')\n"
        "    document.addEventListener('DOMContentLoaded', start);\n"
        "  else\n"
        "    start();\n"
        "})();\n"
        "</script>\n");
}

QString Installation::footerTemplate() {
    return QStringLiteral(
        "<div id=\"trel-bar\" data-trel-page=\"{{trel-page-id}}\"><strong>trel</strong> "
        "<span class=\"trel-bar-facts\"></span>"
        "<a class=\"trel-bar-details\" target=\"_blank\" rel=\"noopener\">details</a>"
        "<a onclick=\"document.getElementById('trel-bar').style.display='none';return false\">"
        "hide</a></div>\n");
}

bool Installation::writeCommon(const QString& root, const QVariantMap& database, QString* error) {
    QDir dir(root);
    for (const char* sub : {"etc", "data", "share/scripts"}) {
        if (!dir.mkpath(QString::fromLatin1(sub))) {
            if (error)
                *error =
                    QStringLiteral("cannot create %1").arg(dir.filePath(QString::fromLatin1(sub)));
            return false;
        }
    }
    if (!writeFile(dir.filePath(QStringLiteral("share/scripts/trel_header.html")),
                   headerTemplate().toUtf8(), error) ||
        !writeFile(dir.filePath(QStringLiteral("share/scripts/trel_footer.html")),
                   footerTemplate().toUtf8(), error))
        return false;

    // QSettings writes the values the way KolvServerInfo::load reads them back, with
    // INI quoting and escaping of whatever characters a value holds.
    const QString path = KolvServerInfo::settingsPath(root);
    QFile::remove(path);
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("database"));
    for (auto it = database.constBegin(); it != database.constEnd(); ++it)
        settings.setValue(it.key(), it.value());
    settings.endGroup();
    settings.sync();
    if (settings.status() != QSettings::NoError || !QFileInfo::exists(path)) {
        if (error)
            *error = QStringLiteral("cannot write %1").arg(path);
        return false;
    }
    return true;
}

bool Installation::createSqlite(const QString& root, QString* error) {
    const QString schema = SqlScript::schemaFile(QStringLiteral("sqlite"));
    if (schema.isEmpty()) {
        if (error)
            *error = QStringLiteral("the SQLite schema file was not found (set TREL_SCHEMA_DIR)");
        return false;
    }
    if (!writeCommon(root, QVariantMap{{QStringLiteral("type"), QStringLiteral("SQLITE")}}, error))
        return false;
    const QString path = databasePath(root);
    QFile::remove(path);
    bool ok = false;
    {
        ScopedConnection connection(QStringLiteral("QSQLITE"));
        connection.db().setDatabaseName(path);
        if (!connection.db().open()) {
            if (error)
                *error = QStringLiteral("cannot create %1: %2")
                             .arg(path, connection.db().lastError().text());
        } else {
            ok = SqlScript::apply(connection.db(), schema, error);
        }
    }
    if (!ok) {
        QFile::remove(path);
        QFile::remove(path + QStringLiteral("-wal"));
        QFile::remove(path + QStringLiteral("-shm"));
    }
    return ok;
}

void Installation::setUpMySql(QSqlDatabase& db, const KolvServerInfo& info) {
    // The client takes a socket only for the host "localhost".
    db.setHostName(info.getDbSocket().isEmpty() ? info.getDbHostName()
                                                : QStringLiteral("localhost"));
    if (info.getDbPort() > 0)
        db.setPort(info.getDbPort());
    db.setDatabaseName(info.getDbName());
    db.setUserName(info.getDbUsername());
    db.setPassword(info.getDbPassword());
    // An unreachable server is reported in seconds, not after the client's default wait.
    QString options = QStringLiteral("MYSQL_OPT_CONNECT_TIMEOUT=5");
    if (!info.getDbSocket().isEmpty())
        options += QStringLiteral(";UNIX_SOCKET=") + info.getDbSocket();
    db.setConnectOptions(options);
}

bool Installation::applyMySqlSchema(const KolvServerInfo& info, QString* error) {
    const QString schema = SqlScript::schemaFile(QStringLiteral("mysql"));
    if (schema.isEmpty()) {
        if (error)
            *error = QStringLiteral("the MySQL schema file was not found (set TREL_SCHEMA_DIR)");
        return false;
    }
    ScopedConnection connection(QStringLiteral("QMYSQL"));
    QSqlDatabase& db = connection.db();
    setUpMySql(db, info);
    if (!db.open()) {
        if (error)
            *error = QStringLiteral("cannot connect to MySQL at %1:%2: %3")
                         .arg(info.getDbHostName())
                         .arg(info.getDbPort())
                         .arg(db.lastError().text().simplified());
        return false;
    }
    // The server's data-definition statements cannot be rolled back: on failure, the
    // tables this run created are dropped again, and those that were there stay.
    const QStringList before = trelTables(db);
    if (SqlScript::apply(db, schema, error))
        return true;
    const QStringList after = trelTables(db);
    for (const QString& table : after) {
        if (!before.contains(table)) {
            QSqlQuery drop(db);
            drop.exec(QStringLiteral("DROP TABLE IF EXISTS `%1`").arg(table));
        }
    }
    return false;
}

bool Installation::createMySql(const QString& root, const KolvServerInfo& info,
                               const QString& passwordFile, QString* error) {
    if (!applyMySqlSchema(info, error))
        return false;
    QVariantMap settings{{QStringLiteral("type"), QStringLiteral("QMYSQL")},
                         {QStringLiteral("host"), info.getDbHostName()},
                         {QStringLiteral("port"), QString::number(info.getDbPort())},
                         {QStringLiteral("name"), info.getDbName()},
                         {QStringLiteral("user"), info.getDbUsername()}};
    if (!info.getDbSocket().isEmpty())
        settings.insert(QStringLiteral("socket"), info.getDbSocket());
    // A password given in a file stays in that file: the settings name the file.
    if (!passwordFile.isEmpty())
        settings.insert(QStringLiteral("password_file"),
                        QFileInfo(passwordFile).absoluteFilePath());
    else if (!info.getDbPassword().isEmpty())
        settings.insert(QStringLiteral("password"), info.getDbPassword());
    return writeCommon(root, settings, error);
}
