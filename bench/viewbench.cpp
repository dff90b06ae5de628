// The bar's and the viewer's reads on a SQLite installation of 1,000 and of 1,000,000
// stored requests (1,000 and 20,000 in the test command's short run): each view should
// take the same time whatever the number of requests. The rows are made with SQL, far
// faster than the simulator: every request has a URL, an owner, two queries, a
// function's statistics, a time breakdown and a context (one in seven a redirect to a URL
// no request of the token has: the look-up of what redirected to a page examines its
// whole bound).

#include "benchsupport.h"

#include <trel/ktrelhtmlreport.h>
#include <trel/ktrelrequestjson.h>
#include <trel/ktrelstoredrequest.h>
#include <trel/ktreltoken.h>
#include <trel/trel.h>

#include <benchmark/benchmark.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <cstdio>
#include <map>
#include <memory>

namespace {

// The stream freshCollector() logs on.
const KDebug::StreamId Stream = 1;

// The tokens: one for the /admin/ path of a host with a port (a tenth of the requests
// are its own), one for /app/ (the rest), one of another host that admitted nothing.
const char* const AdminToken = "bench-admin";
const char* const AppToken = "bench-app";
const char* const OtherToken = "bench-other";
const char* const RareUrl = "http://127.0.0.1:8080/admin/rare-report";

qint64 sizeOf(const QString& path) {
    return QFileInfo(path).size() + QFileInfo(path + QStringLiteral("-wal")).size();
}

// An installation filled with `total` requests, made once per size.
struct Filled {
    SqliteInstall install;
    int total = 0;
    QString middlePage; // an admin request's page id, in the middle of the history
    bool ok = false;

    QString databasePath() const {
        return QDir(install.dir.path()).filePath(QStringLiteral("data/trel.db"));
    }
};

bool exec(QSqlQuery& query, const QString& sql, const QVariantList& binds = {}) {
    query.prepare(sql);
    for (int i = 0; i < binds.size(); ++i)
        query.bindValue(i, binds.at(i));
    if (query.exec())
        return true;
    std::fprintf(stderr, "filling the installation failed: %s\n",
                 qPrintable(query.lastError().text()));
    return false;
}

bool fill(Filled& filled) {
    KTrel* trel = freshCollector(filled.install.info);
    QSqlDatabase& db = trel->getDatabase();
    QSqlQuery q(db);
    const int total = filled.total;
    const int urls = qMin(total, 2000);
    const QString series = QStringLiteral(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1) ");
    const qint64 far = 4102444800; // 2100-01-01
    bool ok =
        exec(q, QStringLiteral("BEGIN")) &&
        exec(q,
             QStringLiteral("INSERT INTO trel_tokens (token_id, allowed_hosts, ttl, "
                            "base_url) VALUES (?, '127.0.0.1', ?, "
                            "'http://127.0.0.1:8080/admin/'), (?, '127.0.0.1', ?, "
                            "'http://127.0.0.1:8080/app/'), (?, 'other.example', ?, "
                            "'http://other.example:9090/')"),
             {AdminToken, far, AppToken, far, OtherToken, far}) &&
        // URL k: every tenth under /admin/; the last one is the rare URL.
        exec(q, series.arg(urls) +
                    QStringLiteral("INSERT INTO trel_requests_urls (id, url_hash, url) "
                                   "SELECT i, randomblob(20), CASE WHEN i % 10 = 0 THEN "
                                   "'http://127.0.0.1:8080/admin/page-' || i ELSE "
                                   "'http://127.0.0.1:8080/app/page-' || i || '?q=' || i "
                                   "END FROM n")) &&
        exec(q,
             QStringLiteral("INSERT INTO trel_requests_urls (id, url_hash, url) VALUES (?, "
                            "randomblob(20), ?)"),
             {urls + 1, RareUrl}) &&
        // One request in 100,000 (and the 500th) is on the rare URL.
        exec(q, series.arg(total) +
                    QStringLiteral("INSERT INTO trel_requests (id, page_id, url_id, "
                                   "status_code, method, start_time, request_time) SELECT "
                                   "i, printf('%032x', i), CASE WHEN i % 100000 = 500 "
                                   "THEN %1 ELSE 1 + i % %2 END, 200, 'GET', "
                                   "1700000000000 + i, 1000 + i % 5000 FROM n")
                        .arg(urls + 1)
                        .arg(urls)) &&
        exec(q,
             QStringLiteral("INSERT INTO trel_request_owners (request_id, token_hash) "
                            "SELECT id, CASE WHEN url_id % 10 = 0 OR url_id = ? THEN ? "
                            "ELSE ? END FROM trel_requests"),
             {urls + 1, KTrelToken::ownerHash(AdminToken), KTrelToken::ownerHash(AppToken)}) &&
        exec(q, QStringLiteral("INSERT INTO trel_sql_queries (request_id, "
                               "resolved_statement, status, query_time, error_message) "
                               "SELECT id, 'SELECT * FROM items WHERE id = ' || id, 0, 120, "
                               "'' FROM trel_requests UNION ALL SELECT id, 'UPDATE "
                               "stock SET n = n - 1', id % 50 = 0, 300, '' FROM "
                               "trel_requests")) &&
        exec(q, QStringLiteral("INSERT INTO trel_functions_stats (request_id, "
                               "function_name, times_called, time_exclusive, "
                               "time_inclusive) SELECT id, 'render', 3, 400, 900 FROM "
                               "trel_requests")) &&
        exec(q, QStringLiteral("INSERT INTO trel_processing_breakdown (request_id, "
                               "database_time, network_time, local_time, php_time) SELECT "
                               "id, 420, 0, 10, 570 FROM trel_requests")) &&
        exec(q, QStringLiteral("INSERT INTO trel_request_context (request_id, xhr, location) "
                               "SELECT id, id % 3 = 0, CASE WHEN id % 7 = 0 THEN "
                               "'http://127.0.0.1:8080/admin/nowhere' ELSE '' END FROM "
                               "trel_requests")) &&
        exec(q, QStringLiteral("COMMIT"));
    // The middle admin request: its URL id, 1 + i % urls, is a multiple of ten.
    filled.middlePage =
        QStringLiteral("%1").arg(total / 2 - (total / 2) % urls + 9, 32, 16, QLatin1Char('0'));
    KTrel::release();
    return ok;
}

Filled* filledWith(int total) {
    static std::map<int, std::unique_ptr<Filled>> made;
    std::unique_ptr<Filled>& filled = made[total];
    if (!filled) {
        filled = std::make_unique<Filled>();
        filled->total = total;
        filled->ok = filled->install.ok && fill(*filled);
    }
    return filled->ok ? filled.get() : nullptr;
}

int sizeFor(const benchmark::State& state) {
    return state.range(0) == 0 ? 1000 : (shortRun() ? 20000 : 1000000);
}

enum class View { Details, Json, Summary };

// The bar endpoint's path: the token checked first, the page looked up among the token's
// own requests, its URL checked, then the request read and rendered. Returns the size of
// the answer, 0 for a refusal.
qsizetype view(KTrel* trel, const QString& tokenName, const QString& pageId, View kind) {
    const KTrelToken token = trel->validToken(tokenName, Stream);
    if (!token.isOk())
        return 0;
    qint64 id = 0;
    QString url;
    QString error;
    if (KTrelStoredRequest::locateByPageId(trel->getDatabase(), pageId,
                                           KTrelToken::ownerHash(token.getTokenId()), &id, &url,
                                           &error) != KTrelStoredRequest::Outcome::Found ||
        !token.isUrlMatches(url, Stream))
        return 0;
    KTrelStoredRequest request;
    if (KTrelStoredRequest::load(trel->getDatabase(), id, &request, &error) !=
            KTrelStoredRequest::Outcome::Found ||
        KTrelStoredRequest::loadRelated(trel->getDatabase(),
                                        KTrelToken::ownerHash(token.getTokenId()), &request,
                                        &error) == KTrelStoredRequest::Outcome::Failed)
        return 0;
    switch (kind) {
    case View::Details:
        return KTrelHtmlReport::requestPage(request, QStringLiteral("/")).size();
    case View::Json:
        return QJsonDocument(KTrelRequestJson::request(request)).toJson().size();
    case View::Summary:
        return QJsonDocument(KTrelRequestJson::summary(request)).toJson().size();
    }
    return 0;
}

// Argument 0: 1,000 requests; 1: 1,000,000. The second: what is asked.
void BM_View(benchmark::State& state) {
    Filled* filled = filledWith(sizeFor(state));
    if (!filled) {
        state.SkipWithError("the installation could not be filled");
        return;
    }
    KTrel* trel = freshCollector(filled->install.info);
    const int asked = static_cast<int>(state.range(1));
    const QString token = QString::fromLatin1(asked == 3   ? "made-up-token"
                                              : asked == 4 ? OtherToken
                                                           : AdminToken);
    const View kind = asked == 1 ? View::Json : asked == 2 ? View::Summary : View::Details;
    qsizetype size = 0;
    for (auto _ : state)
        size = view(trel, token, filled->middlePage, kind);
    // A refusal answers nothing; every other view a whole page.
    if ((asked >= 3) != (size == 0))
        state.SkipWithError("the view did not answer as it should");
    state.counters["requests"] = filled->total;
    state.counters["bytes"] = static_cast<double>(size);
    KTrel::release();
}
// 0 details, 1 JSON, 2 summary, 3 a made-up token, 4 a real token of another host.
BENCHMARK(BM_View)
    ->ArgNames({"million", "view"})
    ->ArgsProduct({{0, 1}, {0, 1, 2, 3, 4}})
    ->Unit(benchmark::kMicrosecond);

// The requests list of the admin token (a path on a host with a port), as the viewer
// asks for it. Second argument: 0 unfiltered, 1 filtered to a rare URL, 2 to none.
void BM_List(benchmark::State& state) {
    Filled* filled = filledWith(sizeFor(state));
    if (!filled) {
        state.SkipWithError("the installation could not be filled");
        return;
    }
    KTrel* trel = freshCollector(filled->install.info);
    const KTrelToken token = trel->validToken(QString::fromLatin1(AdminToken), Stream);
    KTrelStoredRequest::ListFilter filter;
    filter.owner = KTrelToken::ownerHash(token.getTokenId());
    const int asked = static_cast<int>(state.range(1));
    if (asked == 1)
        filter.urlContains = QStringLiteral("rare-report");
    else if (asked == 2)
        filter.urlContains = QStringLiteral("no-such-page");
    KTrelStoredRequest::List list;
    qsizetype size = 0;
    for (auto _ : state) {
        QString error;
        if (KTrelStoredRequest::list(
                trel->getDatabase(), filter,
                [&](const QString& url) { return token.isUrlMatches(url, Stream); }, &list,
                &error) != KTrelStoredRequest::Outcome::Found) {
            state.SkipWithError(qPrintable(error));
            break;
        }
        size = KTrelHtmlReport::listPage(list, QJsonObject(), QStringLiteral("/")).size();
    }
    state.counters["requests"] = filled->total;
    state.counters["rows"] = list.rows.size();
    state.counters["stopped"] = list.stopped ? 1 : 0;
    state.counters["bytes"] = static_cast<double>(size);
    KTrel::release();
}
BENCHMARK(BM_List)
    ->ArgNames({"million", "filter"})
    ->ArgsProduct({{0, 1}, {0, 1, 2}})
    ->Unit(benchmark::kMicrosecond);

// Cleanup keeping the newest 1,000 requests, on a copy of the filled file, with the
// file's size before and after and the longest batch.
void BM_CleanupKeep1000(benchmark::State& state) {
    Filled* filled = filledWith(sizeFor(state));
    if (!filled) {
        state.SkipWithError("the installation could not be filled");
        return;
    }
    double before = 0, after = 0, longest = 0;
    for (auto _ : state) {
        state.PauseTiming();
        SqliteInstall copy;
        const QString path = QDir(copy.dir.path()).filePath(QStringLiteral("data/trel.db"));
        {
            // The filled file whole (its log checkpointed into it) in place of the copy's.
            KTrel* trel = freshCollector(filled->install.info);
            QSqlQuery(trel->getDatabase()).exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
            KTrel::release();
        }
        for (const char* suffix : {"", "-wal", "-shm"})
            QFile::remove(path + QLatin1String(suffix));
        QFile::copy(filled->databasePath(), path);
        before = static_cast<double>(sizeOf(path));
        KTrel* trel = freshCollector(copy.info);
        KDebug::setDebugLevel(Stream, 4);
        KDebug::setSink([&](int, KDebug::StreamId, const QString& text) {
            const QString marker = QStringLiteral("longest (ms): ");
            if (text.startsWith(QLatin1String("Trel: cleanup batches:")) && text.contains(marker))
                longest = text.mid(text.indexOf(marker) + marker.size()).toDouble();
        });
        state.ResumeTiming();
        trel->cleanupDb(1000);
        state.PauseTiming();
        KDebug::setSink(KDebug::Sink());
        KDebug::setDebugLevel(Stream, 0);
        KTrel::release();
        after = static_cast<double>(sizeOf(path));
        state.ResumeTiming();
    }
    state.counters["requests"] = filled->total;
    state.counters["MB_before"] = before / (1024 * 1024);
    state.counters["MB_after"] = after / (1024 * 1024);
    state.counters["longest_batch_ms"] = longest;
}
BENCHMARK(BM_CleanupKeep1000)
    ->ArgNames({"million"})
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

} // namespace
