#include "installation.h"

#include "sqlscript.h"

#include <kolv/kolvinstallationwatch.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
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

// The bar's templates. The header (before </head>) holds the bar's script; the footer
// (before </body>) is the bar's element, which the script fills in a shadow root of its
// own, so that the page's styles do not reach into the bar (and the bar's do not leak
// out). The page carries no data of its request: the request is stored only after the
// page is sent, so the script asks the same address for the request's summary
// (?__trel_summary=PAGE) until it is there, a few times at most, and stops at the first
// 404 (a page served by a cache to a visitor without the token). It also watches the page's
// fetch() and XMLHttpRequest calls: each answer that names its page (X-Trel-Page) was
// collected, and the bar lists it with its own summary. Everything it asks for answers
// only a browser that presents a token for the request's URL.
QString Installation::headerTemplate() {
    return QStringLiteral(R"trelbar(<!-- trel diagnostics bar -->
<script>
(function () {
  'use strict';
  if (window.__trelBar) return;
  window.__trelBar = true;
  var Xhr = window.XMLHttpRequest, open = Xhr.prototype.open, send = Xhr.prototype.send;
  var fetch = window.fetch, later = [], listeners = [];

  function here(query) { return location.pathname + '?' + query; }
  function shortUrl(url) {
    try { var u = new URL(url, location.href); return u.origin === location.origin ? u.pathname + u.search : u.href; }
    catch (e) { return String(url); }
  }
  // The bar's own requests go around the watch. A page is written once the browser has
  // it: "202" says it is not stored yet, and the bar asks again, waiting twice as long
  // each time, six times in all; a 404 (no token, or not the token's) ends the asking.
  function get(query, done, asked) {
    asked = asked || 1;
    var xhr = new Xhr();
    open.call(xhr, 'GET', here(query));
    function retry() {
      if (asked < 6) setTimeout(function () { get(query, done, asked + 1); }, 250 << (asked - 1));
      else done(null);
    }
    xhr.onload = function () {
      var value = null;
      if (xhr.status === 200) { try { value = JSON.parse(xhr.responseText); } catch (e) {} }
      if (value) done(value);
      else if (xhr.status === 202 || xhr.status >= 500) retry();
      else done(null);
    };
    xhr.onerror = retry;
    send.call(xhr);
  }
  function noted(method, url, status, page) {
    if (!page) return;
    var entry = {method: String(method || 'GET').toUpperCase(), url: shortUrl(url), status: status,
                 page: page, summary: null, state: 'waiting'};
    later.push(entry);
    listeners.forEach(function (listener) { listener(entry); });
    get('__trel_summary=' + encodeURIComponent(page), function (summary) {
      entry.summary = summary;
      entry.state = summary ? 'shown' : 'missing';
      listeners.forEach(function (listener) { listener(entry); });
    });
  }
  if (fetch) {
    window.fetch = function (input, init) {
      var method = (init && init.method) || (input && typeof input === 'object' && input.method) || 'GET';
      var url = input && typeof input === 'object' && input.url ? input.url : String(input);
      return fetch.apply(this, arguments).then(function (response) {
        try { noted(method, response.url || url, response.status, response.headers.get('X-Trel-Page')); } catch (e) {}
        return response;
      });
    };
  }
  Xhr.prototype.open = function (method, url) {
    this.__trelCall = {method: method, url: url};
    return open.apply(this, arguments);
  };
  Xhr.prototype.send = function () {
    var xhr = this, call = xhr.__trelCall;
    if (call && !xhr.__trelWatched) {
      xhr.__trelWatched = true;
      xhr.addEventListener('loadend', function () {
        try { noted(call.method, xhr.responseURL || call.url, xhr.status, xhr.getResponseHeader('X-Trel-Page')); } catch (e) {}
      });
    }
    return send.apply(this, arguments);
  };

  var Style =
    ':host{all:initial!important;display:block!important;position:fixed!important;left:0!important;right:0!important;' +
    'bottom:0!important;top:auto!important;width:auto!important;height:auto!important;margin:0!important;padding:0!important;' +
    'z-index:2147483647!important;visibility:visible!important;opacity:1!important;transform:none!important;' +
    'font:12px/1.5 system-ui,-apple-system,"Segoe UI",sans-serif!important;color:#eceff1!important}' +
    '*{box-sizing:border-box}[hidden]{display:none!important}' +
    '.bar{display:flex;flex-wrap:wrap;align-items:center;gap:4px 12px;padding:4px 10px;background:#263238;' +
    'box-shadow:0 -1px 4px rgba(0,0,0,.35);cursor:pointer}' +
    '.brand{font-weight:700;color:#80cbc4;letter-spacing:.5px}' +
    '.facts{white-space:nowrap}.facts span{margin-right:10px;font-variant-numeric:tabular-nums}' +
    '.bad{color:#ff8a80;font-weight:600}' +
    'a{color:#80cbc4;text-decoration:underline;cursor:pointer}' +
    '.later{flex:1 1 0;min-width:0;display:flex;flex-wrap:wrap;gap:3px 6px}' +
    '.xhr{flex:none;display:inline-flex;gap:6px;padding:0 8px;border-radius:3px;background:#37474f;' +
    'color:#eceff1;text-decoration:none;font-variant-numeric:tabular-nums;white-space:nowrap;border-left:3px solid #80cbc4}' +
    '.xhr:hover{background:#455a64}.xhr .url{overflow:hidden;text-overflow:ellipsis;max-width:200px}' +
    '.xhr .m{color:#b0bec5}.xhr.failed{border-left-color:#ff8a80}.more{flex:none;color:#b0bec5}' +
    '.links{margin-left:auto;display:flex;gap:12px;white-space:nowrap}' +
    '.panel{max-height:55vh;overflow:auto;background:#fff;color:#1f2933;border-top:3px solid #263238;' +
    'box-shadow:0 -6px 18px rgba(0,0,0,.25);padding:10px 14px;display:grid;grid-template-columns:repeat(auto-fit,minmax(320px,1fr));gap:10px 22px}' +
    '.panel h4{margin:0 0 6px;font-size:12px;text-transform:uppercase;letter-spacing:.6px;color:#627d98}' +
    '.panel ol,.panel ul{margin:0;padding:0;list-style:none}' +
    '.panel li{padding:4px 0;border-bottom:1px solid #e4e7eb;word-break:break-word}' +
    '.panel code{font:11px/1.4 ui-monospace,"DejaVu Sans Mono",monospace;color:#243b53}' +
    '.panel .t{font-weight:600;font-variant-numeric:tabular-nums;margin-right:6px}' +
    '.panel .f{color:#d64545;font-weight:600}.panel .w{color:#829ab1;font-size:11px}' +
    '.panel a{color:#0b6bcb}.panel .none{color:#829ab1}';

  function el(tag, className, text) {
    var node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }
  function plural(n, one, many) { return n + ' ' + (n === 1 ? one : many); }
  function duration(us) {
    return us < 1000 ? us + ' us' : us < 1000000 ? (us / 1000).toFixed(us < 100000 ? 2 : 1) + ' ms' : (us / 1e6).toFixed(2) + ' s';
  }
  function details(page) { return here('__trel=' + encodeURIComponent(page)); }

  function start() {
    var host = document.getElementById('trel-bar');
    if (!host || host.shadowRoot || !host.attachShadow) return;
    var page = host.getAttribute('data-trel-page');
    var root = host.attachShadow({mode: 'open'});
    var style = el('style');
    style.textContent = Style;
    var wrap = el('div', 'wrap'), panel = el('div', 'panel'), bar = el('div', 'bar');
    panel.hidden = true;
    var facts = el('span', 'facts', 'loading\u2026'), chips = el('span', 'later');
    var more = chips.appendChild(el('span', 'more'));
    more.hidden = true;
    var links = el('span', 'links');
    var detailsLink = el('a', 'details', 'details'), requestsLink = el('a', 'requests', 'requests');
    var hide = el('a', 'hide', '\u00d7');
    detailsLink.href = details(page);
    requestsLink.href = here('__trel_requests=1');
    detailsLink.target = requestsLink.target = '_blank';
    detailsLink.rel = requestsLink.rel = 'noopener';
    hide.title = 'hide the bar';
    links.appendChild(detailsLink);
    links.appendChild(requestsLink);
    links.appendChild(hide);
    bar.appendChild(el('span', 'brand', 'trel'));
    bar.appendChild(facts);
    bar.appendChild(chips);
    bar.appendChild(links);
    wrap.appendChild(panel);
    wrap.appendChild(bar);
    root.appendChild(style);
    root.appendChild(wrap);
    hide.addEventListener('click', function (event) { event.stopPropagation(); wrap.hidden = true; });
    links.addEventListener('click', function (event) { event.stopPropagation(); });
    chips.addEventListener('click', function (event) { if (event.target !== more) event.stopPropagation(); });

    function figure(name, text, bad) {
      var span = el('span', bad ? 'bad' : '', text);
      span.setAttribute('data-trel', name);
      return span;
    }
    function entryFigures(node, entry) {
      var s = entry.summary;
      node.textContent = '';
      node.setAttribute('data-trel-state', entry.state);
      node.appendChild(figure('method', entry.method)).className = 'm';
      var url = node.appendChild(figure('url', entry.url));
      url.className = 'url';
      node.appendChild(figure('status', String(entry.status), entry.status >= 400));
      if (!s) { node.appendChild(figure('time', entry.state === 'waiting' ? '\u2026' : 'not stored')); return; }
      node.appendChild(figure('time', s.time));
      node.appendChild(figure('queries', plural(s.queries, 'query', 'queries') + (s.failed_queries ? ' (' + s.failed_queries + ' failed)' : ''), s.failed_queries > 0));
      node.appendChild(figure('errors', plural(s.errors, 'error', 'errors'), s.errors > 0));
      if (s.failed_queries || s.errors || s.status >= 400) node.className += ' failed';
    }
    var chipOf = {}, rowOf = {};
    function laterEntry(entry) {
      var chip = chipOf[entry.page];
      if (!chip) {
        chip = chipOf[entry.page] = el('a', 'xhr');
        chip.href = details(entry.page);
        chip.target = '_blank';
        chip.rel = 'noopener';
        chip.setAttribute('data-trel-page', entry.page);
        chips.insertBefore(chip, more);
        while (chips.children.length > 4) chips.removeChild(chips.firstChild);
        more.hidden = later.length <= 3;
        more.textContent = '+' + (later.length - 3) + ' more';
      }
      chip.className = 'xhr';
      entryFigures(chip, entry);
      var row = rowOf[entry.page];
      if (row) {
        var link = row.firstChild;
        link.className = '';
        entryFigures(link, entry);
      } else if (laterList) {
        addRow(entry);
      }
    }

    var laterList = null, loaded = false;
    function addRow(entry) {
      if (laterList.firstChild && laterList.firstChild.className === 'none') laterList.textContent = '';
      var row = rowOf[entry.page] = el('li');
      var link = el('a');
      link.href = details(entry.page);
      link.target = '_blank';
      link.rel = 'noopener';
      link.style.cssText = 'display:flex;gap:6px;flex-wrap:wrap;text-decoration:none';
      entryFigures(link, entry);
      row.appendChild(link);
      laterList.appendChild(row);
    }
    function section(name, title) {
      var box = el('section');
      box.setAttribute('data-trel-panel', name);
      box.appendChild(el('h4', '', title));
      var list = box.appendChild(el(name === 'queries' ? 'ol' : 'ul'));
      panel.appendChild(box);
      return list;
    }
    function fillPanel() {
      panel.textContent = '';
      var queries = section('queries', 'Slowest queries'), errors = section('errors', 'Errors'),
          requests = section('later', 'Later requests');
      queries.appendChild(el('li', 'none', 'loading\u2026'));
      laterList = requests;
      if (!later.length) requests.appendChild(el('li', 'none', 'none so far: the page\u2019s fetch and XHR calls show here'));
      later.forEach(addRow);
      get('__trel_json=' + encodeURIComponent(page), function (r) {
        queries.textContent = '';
        if (!r) { queries.appendChild(el('li', 'none', 'not stored')); return; }
        r.query_list.slice(0, 5).forEach(function (q) {
          var li = el('li');
          li.appendChild(el('span', 't', duration(q.time_us)));
          if (q.failed) li.appendChild(el('span', 'f', 'failed '));
          li.appendChild(el('code', '', q.statement));
          queries.appendChild(li);
        });
        if (!r.query_list.length) queries.appendChild(el('li', 'none', 'no queries'));
        r.error_list.slice(0, 10).forEach(function (e) {
          var li = el('li');
          li.appendChild(el('span', e.severe ? 'f' : 't', e.type));
          li.appendChild(document.createTextNode(e.message + ' '));
          li.appendChild(el('span', 'w', e.file + ':' + e.line));
          errors.appendChild(li);
        });
        if (!r.error_list.length) errors.appendChild(el('li', 'none', 'no errors'));
        panel.setAttribute('data-trel-state', 'shown');
      });
    }
    bar.addEventListener('click', function () {
      panel.hidden = !panel.hidden;
      if (!panel.hidden && !loaded) { loaded = true; fillPanel(); }
    });

    listeners.push(laterEntry);
    later.forEach(laterEntry);
    get('__trel_summary=' + encodeURIComponent(page), function (s) {
      facts.textContent = '';
      if (!s) { facts.textContent = 'not stored'; host.setAttribute('data-trel-state', 'missing'); return; }
      facts.appendChild(figure('time', s.time));
      facts.appendChild(figure('queries', plural(s.queries, 'query', 'queries')));
      if (s.queries_not_kept) facts.appendChild(figure('queries-not-kept', s.queries_not_kept + ' not kept'));
      facts.appendChild(figure('failed', s.failed_queries + ' failed', s.failed_queries > 0));
      facts.appendChild(figure('errors', plural(s.errors, 'error', 'errors'), s.errors > 0));
      if (s.errors_not_kept) facts.appendChild(figure('errors-not-kept', s.errors_not_kept + ' not kept'));
      facts.appendChild(figure('memory', s.memory));
      host.setAttribute('data-trel-state', 'shown');
    });
  }
  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})();
</script>
)trelbar");
}

QString Installation::footerTemplate() {
    return QStringLiteral("<div id=\"trel-bar\" data-trel-page=\"{{trel-page-id}}\"></div>\n");
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
    // Workers that used an installation at this place before read this one anew.
    if (!KolvInstallationWatch::markChanged(root, QStringLiteral("trel init"), error))
        return false;
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
    const QString privilege = triggerPrivilegeProblem(db);
    if (!privilege.isEmpty()) {
        if (error)
            *error = privilege;
        return false;
    }
    // The server's data-definition statements cannot be rolled back: on failure, the
    // tables this run created are dropped again, and those that were there stay.
    const QStringList before = trelTables(db);
    if (SqlScript::apply(db, schema, error))
        return addPrimaryKeys(db, error);
    const QStringList after = trelTables(db);
    for (const QString& table : after) {
        if (!before.contains(table)) {
            QSqlQuery drop(db);
            drop.exec(QStringLiteral("DROP TABLE IF EXISTS `%1`").arg(table));
        }
    }
    return false;
}

QString Installation::triggerPrivilegeProblem(QSqlDatabase& db) {
    // With binary logging on (every replicating or Galera server), MariaDB lets only SUPER
    // create or drop a trigger unless log_bin_trust_function_creators is set.
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral(
            "SELECT @@log_bin, @@log_bin_trust_function_creators, (SELECT COUNT(*) FROM "
            "information_schema.USER_PRIVILEGES WHERE PRIVILEGE_TYPE = 'SUPER')")) ||
        !query.next())
        return QString();
    if (query.value(0).toInt() == 0 || query.value(1).toInt() == 1 || query.value(2).toInt() > 0)
        return QString();
    return QStringLiteral(
        "the server logs changes (log_bin) and the user may not create a trigger: set "
        "log_bin_trust_function_creators = 1 on the server (every node of a cluster) or grant "
        "the user SUPER, then run trel init again; nothing was created");
}

QStringList Installation::tablesWithoutPrimaryKey(QSqlDatabase& db) {
    QStringList names;
    QSqlQuery query(db);
    if (query.exec(QStringLiteral(
            "SELECT t.TABLE_NAME FROM information_schema.TABLES t WHERE t.TABLE_SCHEMA = "
            "DATABASE() AND t.TABLE_NAME LIKE 'trel\\_%' AND t.TABLE_TYPE = 'BASE TABLE' AND "
            "NOT EXISTS (SELECT 1 FROM information_schema.TABLE_CONSTRAINTS c WHERE "
            "c.TABLE_SCHEMA = t.TABLE_SCHEMA AND c.TABLE_NAME = t.TABLE_NAME AND "
            "c.CONSTRAINT_TYPE = 'PRIMARY KEY') ORDER BY t.TABLE_NAME"))) {
        while (query.next())
            names << query.value(0).toString();
    }
    return names;
}

bool Installation::addPrimaryKeys(QSqlDatabase& db, QString* error) {
    // A request has one breakdown row; a sample row gets a number of its own.
    static const QMap<QString, QString> keys{
        {QStringLiteral("trel_processing_breakdown"),
         QStringLiteral("ADD PRIMARY KEY (request_id)")},
        {QStringLiteral("trel_superglobals_data"),
         QStringLiteral("ADD COLUMN id BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY FIRST")}};
    for (const QString& table : tablesWithoutPrimaryKey(db)) {
        if (!keys.contains(table))
            continue;
        QSqlQuery alter(db);
        if (!alter.exec(QStringLiteral("ALTER TABLE %1 %2").arg(table, keys.value(table)))) {
            if (error)
                *error = QStringLiteral("cannot give %1 its primary key: %2")
                             .arg(table, alter.lastError().text().simplified());
            return false;
        }
    }
    return true;
}

bool Installation::createMySql(const QString& root, const KolvServerInfo& info,
                               const QString& passwordFile, QString* error) {
    if (!applyMySqlSchema(info, error))
        return false;
    return joinMySql(root, info, passwordFile, error);
}

bool Installation::joinMySql(const QString& root, const KolvServerInfo& info,
                             const QString& passwordFile, QString* error) {
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
