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

// The lines of `source` without their leading white space, and without the lines that
// are only a // comment: for a script whose statements each end their line, the same
// program in fewer bytes.
QString compacted(const QString& source) {
    QStringList lines;
    for (const QString& line : source.split(QLatin1Char('\n'))) {
        const QString text = line.trimmed();
        if (!text.startsWith(QLatin1String("//")))
            lines << text;
    }
    return lines.join(QLatin1Char('\n'));
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
// (?__trel_summary=PAGE) until it is there, waiting twice as long each time, six times
// at most ("202" says it is not stored yet), and stops at the first 404 (a page served
// by a cache to a visitor without the token). Its own requests go around the watch of
// the page's fetch() and XMLHttpRequest calls: each answer that names its page
// (X-Trel-Page) was collected, and the bar lists it with its own summary. Everything it
// asks for answers only a browser that presents a token for the request's URL.
//
// The bar keeps to one row at any width: the chips of the page's calls that do not fit
// collapse into a count that opens the panel, and the page gets the bar's height as
// padding below its content so that its bottom stays visible. The toggle and × are
// buttons, Escape closes the panel, and × hides the bar until the browser's session
// ends. The panel draws the request on one time axis (queries, errors and the page's
// later calls at their start), the slowest queries with the slow ones in red, and the
// errors with PHP's log messages.
//
// The script is written without its indentation and its comment lines: every byte of
// it goes into each page that shows the bar (trel_cli_test holds it to its budget).
QString Installation::headerTemplate() {
    static const QString text = compacted(QStringLiteral(R"trelbar(<!-- trel diagnostics bar -->
<script>
(function () {
  'use strict';
  if (window.__trelBar) return;
  window.__trelBar = true;
  var Xhr = window.XMLHttpRequest, open = Xhr.prototype.open, send = Xhr.prototype.send;
  var fetch = window.fetch, later = [], listeners = [], Key = 'trel-bar-hidden';

  function here(query) { return location.pathname + '?' + query; }
  function shortUrl(url) {
    try { var u = new URL(url, location.href); return u.origin === location.origin ? u.pathname + u.search : u.href; }
    catch (e) { return String(url); }
  }
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
  function tell(entry) { listeners.forEach(function (listener) { listener(entry); }); }
  function noted(method, url, status, page) {
    if (!page) return;
    var entry = {method: String(method || 'GET').toUpperCase(), url: shortUrl(url), status: status,
                 page: page, summary: null, state: 'waiting'};
    later.push(entry);
    tell(entry);
    get('__trel_summary=' + encodeURIComponent(page), function (summary) {
      entry.summary = summary;
      entry.state = summary ? 'shown' : 'missing';
      tell(entry);
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
    'font:12px/1.5 system-ui,sans-serif!important;color:#eceff1!important}' +
    '*{box-sizing:border-box}[hidden]{display:none!important}:focus-visible{outline:2px solid #ffd54f}' +
    '.bar{display:flex;align-items:center;gap:10px;padding:4px 8px;background:#263238;white-space:nowrap;' +
    'box-shadow:0 -1px 4px #0006;cursor:pointer}' +
    'button{all:unset;cursor:pointer}' +
    '.brand{font-weight:700;color:#80cbc4}' +
    '.facts{flex:0 1 auto;min-width:0;overflow:hidden;text-overflow:ellipsis}.facts>*{margin-right:8px}' +
    '.bad,.f{color:#ff8a80;font-weight:600}' +
    'a{color:#80cbc4;cursor:pointer}' +
    '.later{flex:1 1 0;min-width:0;display:flex;gap:6px;overflow:hidden}' +
    '.xhr{flex:none;display:inline-flex;gap:6px;padding:0 6px;border-radius:3px;background:#37474f;' +
    'color:#eceff1;text-decoration:none;border-left:3px solid #80cbc4}' +
    '.xhr .url{overflow:hidden;text-overflow:ellipsis;max-width:120px}' +
    '.m{color:#b0bec5}.xhr.failed{border-left-color:#ff8a80}.more{flex:none;color:#ffd54f}' +
    '.links{margin-left:auto;display:flex;gap:10px}' +
    '.panel{max-height:55vh;overflow:auto;background:#fff;color:#1f2933;border-top:3px solid #263238;' +
    'padding:10px 14px;display:grid;grid-template-columns:repeat(auto-fit,minmax(min(320px,100%),1fr));gap:10px 22px}' +
    'h4{margin:0 0 6px;color:#627d98}ol,ul{margin:0;padding:0;list-style:none}ul:empty:after{content:"none"}' +
    'li{padding:4px 0;border-bottom:1px solid #e4e7eb;word-break:break-word}' +
    'code{font:11px/1.4 ui-monospace,monospace}.t{font-weight:600;margin-right:6px}.panel a{color:#0b6bcb}.w{color:#829ab1}li a{display:flex;gap:6px;flex-wrap:wrap;text-decoration:none}.panel .f,.panel .bad{color:#e5534b}' +
    '.tl{position:relative;height:14px;background:#eceff1;grid-column:1/-1}.tl a{position:absolute;width:3px;height:100%;' +
    'background:#42a5f5}.tl .f{background:#e53935}' +
    '@media(prefers-color-scheme:dark){.panel{background:#1c2327;color:#dde3e7}li{border-color:#37474f}' +
    '.panel a{color:#80cbc4}.tl{background:#37474f}}' +
    '@media(max-width:600px){.bar{gap:4px;padding:4px 6px}.facts>*{margin-right:5px}.links{gap:8px}.later,[data-trel=method],[data-trel=memory],[data-trel=redirect],.requests,' +
    '.facts>[data-trel=status]:not(.bad),.more span{display:none}}';

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
  function link(node, page) {
    node.href = details(page);
    node.target = '_blank';
    node.rel = 'noopener';
    return node;
  }

  function start() {
    var host = document.getElementById('trel-bar');
    if (!host || host.shadowRoot || !host.attachShadow) return;
    var page = host.getAttribute('data-trel-page'), root = host.attachShadow({mode: 'open'});
    root.appendChild(el('style', '', Style));
    var wrap = root.appendChild(el('div')), panel = wrap.appendChild(el('div', 'panel')), bar = wrap.appendChild(el('div', 'bar'));
    try { if (sessionStorage.getItem(Key)) { wrap.hidden = true; host.setAttribute('data-trel-state', 'hidden'); } } catch (e) {}
    panel.hidden = true;
    var toggle = bar.appendChild(el('button', 'brand', 'trel'));
    toggle.setAttribute('aria-expanded', 'false');
    var facts = bar.appendChild(el('span', 'facts', 'loading\u2026')), chips = bar.appendChild(el('span', 'later'));
    var more = bar.appendChild(el('button', 'more')), links = bar.appendChild(el('span', 'links'));
    more.hidden = true;
    link(links.appendChild(el('a', 'details', 'details')), page);
    link(links.appendChild(el('a', 'requests', 'requests')), '').href = here('__trel_requests=1');
    var hide = links.appendChild(el('button', 'hide', '\u00d7'));
    hide.title = 'hide for this session';
    var pad = parseFloat(getComputedStyle(document.documentElement).paddingBottom) || 0, shown = 0;
    function fit() {
      var kids = chips.children, room = chips.clientWidth, hidden = 0, i;
      for (i = 0; i < kids.length; i++) kids[i].hidden = false;
      for (i = kids.length - 1; i >= 0; i--) {
        room -= kids[i].offsetWidth + 6;
        if (room < 0) { kids[i].hidden = true; hidden++; }
      }
      more.hidden = !hidden;
      more.textContent = '+' + hidden;
      more.appendChild(el('span', '', ' more'));
      var height = wrap.hidden ? 0 : bar.offsetHeight;
      if (height !== shown) {
        shown = height;
        document.documentElement.style.setProperty('padding-bottom', pad + height + 'px', 'important');
      }
    }
    addEventListener('resize', fit);
    hide.addEventListener('click', function () {
      wrap.hidden = true;
      host.setAttribute('data-trel-state', 'hidden');
      try { sessionStorage.setItem(Key, '1'); } catch (e) {}
      fit();
    });

    function figure(node, name, text, bad, tag) {
      var span = node.appendChild(el(tag || 'span', bad ? 'bad' : '', text));
      span.setAttribute('data-trel', name);
      return span;
    }
    function entryFigures(node, entry) {
      var s = entry.summary;
      node.textContent = '';
      node.setAttribute('data-trel-state', entry.state);
      figure(node, 'method', entry.method).className = 'm';
      figure(node, 'url', entry.url).className = 'url';
      figure(node, 'status', String(entry.status), entry.status >= 400);
      if (!s) return figure(node, 'time', entry.state === 'waiting' ? '\u2026' : 'not stored');
      figures(node, s);
      if (s.failed_queries || s.errors || s.status >= 400) node.className += ' failed';
    }
    function figures(node, s) {
      figure(node, 'time', s.time);
      figure(node, 'queries', plural(s.queries, 'query', 'queries') + (s.failed_queries ? ' (' + s.failed_queries + ' failed)' : ''), s.failed_queries);
      if (s.slow_queries) figure(node, 'slow', s.slow_queries + ' slow', 1);
      figure(node, 'errors', plural(s.errors, 'error', 'errors'), s.errors);
    }
    var chipOf = {}, laterList = null, loaded = false, track = null, data = null;
    function laterEntry(entry) {
      var chip = chipOf[entry.page] || (chipOf[entry.page] = chips.appendChild(link(el('a'), entry.page)));
      chip.setAttribute('data-trel-page', entry.page);
      chip.className = 'xhr';
      entryFigures(chip, entry);
      fit();
      if (laterList) { laterList.textContent = ''; later.forEach(addRow); draw(); }
    }
    function addRow(entry) {
      entryFigures(laterList.appendChild(el('li')).appendChild(link(el('a'), entry.page)), entry);
    }
    function section(name, title) {
      var box = panel.appendChild(el('section'));
      box.setAttribute('data-trel-panel', name);
      box.appendChild(el('h4', '', title));
      return box.appendChild(el(name === 'queries' ? 'ol' : 'ul'));
    }
    // The panel's time axis, from the page's start to its end or its latest call's start.
    function draw() {
      if (!data) return;
      var slow = data.slow_query_us || 1e5, start = data.start_ms, marks = [];
      data.query_list.forEach(function (q) { marks.push(['query', q.start_us, duration(q.time_us) + ' ' + q.statement, data.page_id, q.time_us >= slow || q.failed]); });
      data.error_list.forEach(function (e) { marks.push(['error', e.start_us, e.type + ': ' + e.message, data.page_id, 1]); });
      later.forEach(function (x) { if (x.summary) marks.push(['xhr', (x.summary.start_ms - start) * 1000, x.method + ' ' + x.url, x.page, x.status >= 400]); });
      marks = marks.filter(function (m) { return m[1] >= 0; });
      var end = Math.max.apply(null, marks.map(function (m) { return m[1]; }).concat(data.time_us, 1));
      track.textContent = '';
      marks.forEach(function (m) {
        var a = track.appendChild(link(el('a', m[4] ? 'f' : ''), m[3]));
        a.title = m[2];
        a.setAttribute('data-trel-kind', m[0]);
        a.setAttribute('data-us', m[1]);
        a.style.left = 'calc(' + 100 * m[1] / end + '% - 3px)';
      });
    }
    function fillPanel() {
      panel.textContent = '';
      track = panel.appendChild(el('div', 'tl'));
      track.setAttribute('data-trel-panel', 'timeline');
      var queries = section('queries', 'Slowest queries'), errors = section('errors', 'Errors and log');
      laterList = section('later', 'Later requests');
      later.forEach(addRow);
      get('__trel_json=' + encodeURIComponent(page), function (r) {
        if (!r) return queries.appendChild(el('li', 'none', 'not stored'));
        var slow = r.slow_query_us || 1e5;
        data = r;
        draw();
        r.query_list.slice(0, 5).forEach(function (q) {
          var li = queries.appendChild(el('li'));
          if (q.time_us >= slow) li.setAttribute('data-trel-slow', '');
          li.appendChild(el('span', q.time_us >= slow ? 't f' : 't', duration(q.time_us)));
          if (q.failed) li.appendChild(el('span', 'f', 'failed '));
          li.appendChild(el('code', '', q.statement));
        });
        r.error_list.slice(0, 10).forEach(function (e) {
          var li = errors.appendChild(el('li')), x = e.exception || e;
          li.appendChild(el('span', e.severe ? 'f' : 't', x.class || e.type));
          li.appendChild(document.createTextNode(x.message + ' '));
          li.appendChild(el('span', 'w', x.file + ':' + x.line));
        });
        (r.log_messages || []).slice(0, 10).forEach(function (m) { errors.appendChild(el('li', 'w', m.message)); });
        panel.setAttribute('data-trel-state', 'shown');
      });
    }
    function show(open) {
      panel.hidden = !open;
      toggle.setAttribute('aria-expanded', String(open));
      if (open && !loaded) { loaded = true; fillPanel(); }
    }
    bar.addEventListener('click', function (event) {
      var on = event.target.closest('a,button');
      if (!on || on === toggle || on === more) show(panel.hidden);
    });
    document.addEventListener('keydown', function (event) {
      if (event.key === 'Escape' && !panel.hidden) { show(false); toggle.focus(); }
    });

    listeners.push(laterEntry);
    later.forEach(laterEntry);
    get('__trel_summary=' + encodeURIComponent(page), function (s) {
      facts.textContent = '';
      if (!s) { facts.textContent = 'not stored'; host.setAttribute('data-trel-state', 'missing'); return; }
      var from = s.redirected_from;
      figure(facts, 'method', s.method);
      figure(facts, 'status', String(s.status), s.status >= 400);
      if (from) link(figure(facts, 'redirect', '\u21b3 from ' + from.method + ' ' + shortUrl(from.url) + ' ' + from.status, 0, 'a'), from.page_id);
      figures(facts, s);
      if (s.queries_not_kept + s.errors_not_kept) figure(facts, 'not-kept', s.queries_not_kept + ' queries, ' + s.errors_not_kept + ' errors not kept');
      figure(facts, 'memory', s.memory);
      if (!wrap.hidden) host.setAttribute('data-trel-state', 'shown');
      fit();
    });
    fit();
  }
  if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
  else start();
})();
</script>
)trelbar"));
    return text;
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
