#include <trel/ktrelstoredrequest.h>

#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QVariant>

#include <algorithm>
#include <climits>

namespace {

// N of a text made as `pattern` (made with the count 0) is: "N more queries not kept";
// 0 for any other text.
qint64 countIn(const QString& text, const QString& pattern) {
    const QString tail = pattern.mid(1);
    if (!text.endsWith(tail) || text.size() == tail.size())
        return 0;
    bool ok = false;
    const qint64 count = QStringView(text).left(text.size() - tail.size()).toLongLong(&ok);
    return ok && count > 0 ? count : 0;
}

using Outcome = KTrelStoredRequest::Outcome;

QString text(const QVariant& value) {
    return QString::fromUtf8(value.toByteArray());
}

bool run(QSqlQuery& query, const QString& sql, const QVariant& bind, QString* error,
         const QVariantList& binds = QVariantList()) {
    bool ok = query.prepare(sql);
    if (ok) {
        if (bind.isValid())
            query.bindValue(0, bind);
        for (int i = 0; i < binds.size(); ++i)
            query.bindValue(i, binds.at(i));
        ok = query.exec();
    }
    if (!ok && error)
        *error = query.lastError().text().simplified();
    return ok;
}

const char* const RequestColumns =
    "SELECT r.id, r.page_id, u.url, r.status_code, r.method, r.start_time, r.request_time, "
    "r.is_primary_page, r.peak_memory_usage, r.data_size, r.memory_limit FROM trel_requests r "
    "LEFT JOIN trel_requests_urls u ON u.id = r.url_id WHERE ";

QJsonArray jsonArray(const QVariant& value) {
    return QJsonDocument::fromJson(value.toByteArray()).array();
}

// The offsets are stored in the order of the rows' ids; `ids` are the rows' ids in the
// order the request holds them.
template <typename Row>
void giveStarts(const QJsonArray& starts, const QList<qint64>& ids, QList<Row>& rows) {
    QList<qint64> ordered = ids;
    std::sort(ordered.begin(), ordered.end());
    for (int i = 0; i < rows.size() && i < ids.size(); ++i) {
        const qsizetype rank =
            std::lower_bound(ordered.begin(), ordered.end(), ids.at(i)) - ordered.begin();
        rows[i].startUs = rank < starts.size() ? starts.at(rank).toInteger(-1) : -1;
    }
}

// Absent for a request stored before its context was kept, or on an installation that
// lacks the table (until `trel init` adds it): the request is then whole without it.
Outcome loadContext(const QSqlDatabase& db, qint64 id, const QList<qint64>& queryIds,
                    const QList<qint64>& entryIds, KTrelStoredRequest* request, QString* error) {
    QSqlQuery context(db);
    QString failure;
    if (!run(context,
             QStringLiteral("SELECT xhr, referer, location, query_starts, error_starts, spans, "
                            "response_headers, log_messages, exceptions FROM "
                            "trel_request_context WHERE request_id = ?"),
             id, &failure)) {
        if (failure.contains(QLatin1String("trel_request_context")))
            return Outcome::Found;
        if (error)
            *error = failure;
        return Outcome::Failed;
    }
    if (!context.next())
        return Outcome::Found;
    request->hasContext = true;
    request->xhr = context.value(0).toInt() != 0;
    request->referer = text(context.value(1));
    request->location = text(context.value(2));
    giveStarts(jsonArray(context.value(3)), queryIds, request->queries);
    giveStarts(jsonArray(context.value(4)), entryIds, request->entries);
    request->spans = jsonArray(context.value(5));
    for (const QJsonValue& header : jsonArray(context.value(6))) {
        const QJsonArray pair = header.toArray();
        request->responseHeaders << qMakePair(pair.at(0).toString(), pair.at(1).toString());
    }
    request->logMessages = jsonArray(context.value(7));
    // The exceptions name their error by its place among the errors in id order.
    QList<qint64> ordered = entryIds;
    std::sort(ordered.begin(), ordered.end());
    for (const QJsonValue& value : jsonArray(context.value(8))) {
        QJsonObject exception = value.toObject();
        const int place = exception.take(QStringLiteral("error")).toInt(-1);
        if (place < 0 || place >= ordered.size())
            continue;
        const qsizetype at = entryIds.indexOf(ordered.at(place));
        if (at >= 0 && at < request->entries.size())
            request->entries[at].exception = exception;
    }
    return Outcome::Found;
}

// The request's row is read; the sections follow by its id.
Outcome loadSections(const QSqlDatabase& db, qint64 id, KTrelStoredRequest* request,
                     QString* error) {
    using Query = KTrelStoredRequest::Query;
    using LogEntry = KTrelStoredRequest::LogEntry;
    using Function = KTrelStoredRequest::Function;
    using Sample = KTrelStoredRequest::Sample;
    QSqlQuery breakdown(db);
    if (!run(breakdown,
             QStringLiteral("SELECT database_time, network_time, local_time, "
                            "php_time FROM trel_processing_breakdown WHERE "
                            "request_id = ?"),
             id, error))
        return Outcome::Failed;
    if (breakdown.next()) {
        request->hasBreakdown = true;
        request->databaseTime = breakdown.value(0).toLongLong();
        request->networkTime = breakdown.value(1).toLongLong();
        request->localTime = breakdown.value(2).toLongLong();
        request->phpTime = breakdown.value(3).toLongLong();
    }

    QSqlQuery queries(db);
    if (!run(queries,
             QStringLiteral(
                 "SELECT q.resolved_statement, s.prepared_statement, q.status, "
                 "q.rows_affected, q.query_time, q.error_message, q.transaction_id, "
                 "q.file_name, q.line_number, b.backtrace, q.id FROM trel_sql_queries q LEFT JOIN "
                 "trel_sql_statements s ON s.id = q.prepared_statement_id LEFT JOIN "
                 "trel_backtrace b ON b.id = q.backtrace_id WHERE q.request_id = ? ORDER BY "
                 "q.query_time DESC, q.id"),
             id, error))
        return Outcome::Failed;
    QList<qint64> queryIds;
    while (queries.next()) {
        queryIds << queries.value(10).toLongLong();
        Query query;
        query.statement = text(queries.value(0));
        query.prepared = text(queries.value(1));
        query.status = queries.value(2).toInt();
        query.rows = queries.value(3).toInt();
        query.time = queries.value(4).toLongLong();
        query.error = text(queries.value(5));
        query.transaction = queries.value(6).isNull() ? -1 : queries.value(6).toLongLong();
        query.file = text(queries.value(7));
        query.line = queries.value(8).toInt();
        query.backtrace = QString::fromLocal8Bit(queries.value(9).toByteArray());
        if (query.prepared.isEmpty() && query.file.isEmpty() && query.backtrace.isEmpty()) {
            query.notKept = countIn(query.statement, KTrelStoredRequest::notKeptQueriesText(0));
            if (query.notKept)
                query.notKeptFailed =
                    countIn(query.error, KTrelStoredRequest::notKeptFailedText(0));
        }
        request->queries << query;
    }

    QSqlQuery entries(db);
    if (!run(entries,
             QStringLiteral(
                 "SELECT e.entry_time, e.type, e.message, e.filename, e.line, e.silenced, "
                 "b.backtrace, e.id FROM trel_log_entries e LEFT JOIN trel_backtrace b ON b.id = "
                 "e.backtrace_id WHERE e.request_id = ? ORDER BY e.id"),
             id, error))
        return Outcome::Failed;
    QList<qint64> entryIds;
    while (entries.next()) {
        entryIds << entries.value(7).toLongLong();
        LogEntry entry;
        entry.time = entries.value(0).toLongLong();
        entry.type = text(entries.value(1)).trimmed();
        entry.message = text(entries.value(2));
        entry.file = text(entries.value(3));
        entry.line = entries.value(4).toInt();
        entry.silenced = entries.value(5).toInt() != 0;
        entry.backtrace = QString::fromLocal8Bit(entries.value(6).toByteArray());
        if (entry.file.isEmpty() && entry.backtrace.isEmpty())
            entry.notKept = countIn(entry.message, KTrelStoredRequest::notKeptErrorsText(0));
        request->entries << entry;
    }

    QSqlQuery functions(db);
    if (!run(functions,
             QStringLiteral(
                 "SELECT function_scope, function_name, filename, line, times_called, "
                 "time_exclusive, time_inclusive FROM trel_functions_stats WHERE request_id "
                 "= ? ORDER BY time_exclusive DESC, id"),
             id, error))
        return Outcome::Failed;
    while (functions.next()) {
        Function function;
        function.scope = text(functions.value(0));
        function.name = text(functions.value(1));
        function.file = text(functions.value(2));
        function.line = functions.value(3).toInt();
        function.calls = functions.value(4).toInt();
        function.exclusive = functions.value(5).toLongLong();
        function.inclusive = functions.value(6).toLongLong();
        request->functions << function;
    }

    QSqlQuery events(db);
    if (!run(events,
             QStringLiteral(
                 "SELECT agg_key FROM trel_monitor_events WHERE request_id = ? ORDER BY id"),
             id, error))
        return Outcome::Failed;
    while (events.next())
        request->events << text(events.value(0));

    // The samples have no id; the database gives them back in the order they were stored.
    QSqlQuery samples(db);
    if (!run(samples,
             QStringLiteral("SELECT sg_name, data, sample_type FROM trel_superglobals_data WHERE "
                            "request_id = ?"),
             id, error))
        return Outcome::Failed;
    while (samples.next())
        request->samples << Sample{text(samples.value(0)), samples.value(1).toByteArray(),
                                   text(samples.value(2))};
    return loadContext(db, id, queryIds, entryIds, request, error);
}

Outcome loadWhere(const QSqlDatabase& db, const char* condition, const QVariant& key,
                  KTrelStoredRequest* request, QString* error) {
    QSqlQuery row(db);
    if (!run(row, QLatin1String(RequestColumns) + QLatin1String(condition), key, error))
        return Outcome::Failed;
    if (!row.next())
        return Outcome::Missing;
    *request = KTrelStoredRequest();
    request->id = row.value(0).toLongLong();
    request->pageId = text(row.value(1));
    request->url = text(row.value(2));
    request->status = row.value(3).toInt();
    request->method = text(row.value(4));
    request->startTime = row.value(5).toLongLong();
    request->requestTime = row.value(6).toLongLong();
    request->primaryPage = row.value(7).toInt() != 0;
    request->peakMemory = row.value(8).toLongLong();
    request->dataSize = row.value(9).toLongLong();
    request->memoryLimit = row.value(10).toLongLong();
    row.finish();
    return loadSections(db, request->id, request, error);
}

} // namespace

Outcome KTrelStoredRequest::locateByPageId(const QSqlDatabase& db, const QString& pageId,
                                           const QByteArray& owner, qint64* id, QString* url,
                                           QString* error) {
    if (pageId.isEmpty() || owner.isEmpty())
        return Outcome::Missing;
    QSqlQuery row(db);
    if (!run(row,
             // The page's index first, then its owner by request id (as a join, SQLite
             // would walk the token's requests instead).
             QStringLiteral("SELECT r.id, u.url FROM trel_requests r LEFT JOIN trel_requests_urls "
                            "u ON u.id = r.url_id WHERE r.page_id = ? AND EXISTS (SELECT 1 FROM "
                            "trel_request_owners o WHERE o.request_id = r.id AND o.token_hash = "
                            "?)"),
             QVariant(), error, {pageId, owner}))
        return Outcome::Failed;
    if (!row.next())
        return Outcome::Missing;
    *id = row.value(0).toLongLong();
    *url = text(row.value(1));
    return Outcome::Found;
}

namespace {

QString likeEscaped(const QString& text) {
    QString escaped = text;
    escaped.replace(QLatin1Char('!'), QLatin1String("!!"));
    escaped.replace(QLatin1Char('%'), QLatin1String("!%"));
    escaped.replace(QLatin1Char('_'), QLatin1String("!_"));
    return escaped;
}

// The most rows a list examines before it gives what it found (and says it stopped), and
// the most URLs a URL filter may match to be looked up by their ids.
constexpr int MostScanned = 2000;
constexpr int MostUrls = 1000;

} // namespace

Outcome KTrelStoredRequest::list(const QSqlDatabase& db, const ListFilter& filter,
                                 const std::function<bool(const QString&)>& covers, List* list,
                                 QString* error) {
    *list = List();
    const int limit = qBound(1, filter.limit, 500);
    const bool forward = filter.after > 0 && filter.before <= 0;
    const qint64 cursor = forward ? filter.after : (filter.before > 0 ? filter.before : LLONG_MAX);

    // A URL filter picks its URL ids from the URL table first: one that matches no URL
    // answers at once, whatever the number of requests.
    QString urlCondition;
    QVariantList urlBinds;
    if (!filter.urlContains.isEmpty()) {
        const QStringList conditions{QStringLiteral("url LIKE ? ESCAPE '!'")};
        const QVariantList binds{QLatin1Char('%') + likeEscaped(filter.urlContains) +
                                 QLatin1Char('%')};
        QSqlQuery urls(db);
        bool ok = urls.prepare(QStringLiteral("SELECT u.id FROM trel_requests_urls u WHERE ") +
                               conditions.join(QLatin1String(" AND ")) + QStringLiteral(" LIMIT ") +
                               QString::number(MostUrls + 1));
        if (ok) {
            for (int i = 0; i < binds.size(); ++i)
                urls.bindValue(i, binds.at(i));
            ok = urls.exec();
        }
        if (!ok) {
            if (error)
                *error = urls.lastError().text().simplified();
            return Outcome::Failed;
        }
        QStringList ids;
        while (urls.next())
            ids << QString::number(urls.value(0).toLongLong());
        if (ids.isEmpty())
            return Outcome::Found;
        if (ids.size() <= MostUrls) {
            urlCondition = QStringLiteral(" AND r.url_id IN (") + ids.join(QLatin1Char(',')) +
                           QLatin1Char(')');
        } else {
            // Too many URLs to name: each examined row's URL is matched instead.
            urlCondition = QStringLiteral(" AND ") + conditions.join(QLatin1String(" AND "));
            urlBinds = binds;
        }
    }

    // The rows examined: the owner's requests through its index, or all of them, the
    // newest (or, going forward, the oldest) MostScanned past the cursor. First how many
    // there are and the last of them, where the next list starts when this one stops.
    const QString order = forward ? QStringLiteral(" ASC") : QStringLiteral(" DESC");
    const QString beyondCursor = forward ? QStringLiteral(" > ?") : QStringLiteral(" < ?");
    const bool owned = !filter.owner.isNull();
    const QString idColumn = owned ? QStringLiteral("o.request_id") : QStringLiteral("r.id");
    const QString source = owned
                               ? QStringLiteral("trel_request_owners o WHERE o.token_hash = ? AND ")
                               : QStringLiteral("trel_requests r WHERE ");
    QVariantList binds;
    if (owned)
        binds << filter.owner;
    binds << cursor;
    QSqlQuery bound(db);
    if (!run(bound,
             QStringLiteral("SELECT COUNT(*), %1(id) FROM (SELECT %2 AS id FROM %3%2%4 ORDER BY "
                            "%2%5 LIMIT %6) x")
                 .arg(forward ? QStringLiteral("MAX") : QStringLiteral("MIN"), idColumn, source,
                      beyondCursor, order, QString::number(MostScanned)),
             QVariant(), error, binds))
        return Outcome::Failed;
    const qint64 scanned = bound.next() ? bound.value(0).toLongLong() : 0;
    const qint64 lastExamined = scanned > 0 ? bound.value(1).toLongLong() : 0;
    bound.finish();
    if (scanned == 0) {
        list->older = forward;
        list->newer = !forward && filter.before > 0;
        list->olderBefore = filter.after + 1;
        list->newerAfter = filter.before - 1;
        return Outcome::Found;
    }

    // Then the matching rows among them, in order, a page and one more at a time (the
    // caller's `covers` may pass some over).
    QString where = urlCondition;
    if (filter.failedStatus)
        where += QStringLiteral(" AND r.status_code >= 400");
    if (filter.problems)
        where += QStringLiteral(
            " AND (EXISTS (SELECT 1 FROM trel_log_entries e WHERE e.request_id = r.id) OR EXISTS "
            "(SELECT 1 FROM trel_sql_queries q WHERE q.request_id = r.id AND (q.status <> 0 OR "
            "q.error_message <> '')))");
    const QString sql =
        QStringLiteral("SELECT r.id, u.url FROM %1 JOIN trel_requests_urls u ON u.id = r.url_id "
                       "WHERE %2%3%4 AND %2%5 ?%6 ORDER BY %2%7 LIMIT %8")
            .arg(owned ? QStringLiteral("trel_request_owners o JOIN trel_requests r ON r.id = "
                                        "o.request_id")
                       : QStringLiteral("trel_requests r"),
                 idColumn, beyondCursor,
                 owned ? QStringLiteral(" AND o.token_hash = ?") : QString(),
                 forward ? QStringLiteral(" <=") : QStringLiteral(" >="), where, order,
                 QString::number(limit + 1));
    QList<qint64> kept;
    bool beyond = false;
    qint64 from = cursor;
    for (bool more = true; more && !beyond;) {
        QSqlQuery matching(db);
        if (!run(matching, sql, QVariant(), error,
                 QVariantList{from} + (owned ? QVariantList{filter.owner} : QVariantList()) +
                     QVariantList{lastExamined} + urlBinds))
            return Outcome::Failed;
        int rows = 0;
        while (matching.next()) {
            ++rows;
            from = matching.value(0).toLongLong();
            if (!covers(text(matching.value(1))))
                continue;
            if (kept.size() == limit) {
                beyond = true;
                break;
            }
            kept << from;
        }
        more = rows == limit + 1;
    }
    // Stopped at its bound without filling the page: rows past the last one examined
    // may match, and the list links to them.
    list->stopped = !beyond && scanned >= MostScanned;
    if (forward) {
        std::reverse(kept.begin(), kept.end());
        list->newer = beyond || list->stopped;
        list->older = true;
        list->newerAfter = beyond ? kept.first() : lastExamined;
        list->olderBefore = kept.isEmpty() ? filter.after + 1 : kept.last();
    } else {
        list->older = beyond || list->stopped;
        list->newer = filter.before > 0;
        list->olderBefore = beyond ? kept.last() : lastExamined;
        list->newerAfter = kept.isEmpty() ? filter.before - 1 : kept.first();
    }
    if (kept.isEmpty())
        return Outcome::Found;

    QStringList ids;
    for (qint64 id : kept)
        ids << QString::number(id);
    const auto rowsSql = [&ids](bool withContext) {
        return QStringLiteral(
                   "SELECT r.id, r.page_id, u.url, r.method, r.status_code, r.start_time, "
                   "r.request_time, r.is_primary_page, (SELECT COUNT(*) FROM trel_sql_queries q "
                   "WHERE q.request_id = r.id), (SELECT COUNT(*) FROM trel_sql_queries q WHERE "
                   "q.request_id = r.id AND (q.status <> 0 OR q.error_message <> '')), (SELECT "
                   "COUNT(*) FROM trel_log_entries e WHERE e.request_id = r.id), %1 FROM "
                   "trel_requests r LEFT JOIN trel_requests_urls u ON u.id = r.url_id %2WHERE "
                   "r.id IN (%3) ORDER BY r.id DESC")
            .arg(withContext ? QStringLiteral("c.xhr, c.referer") : QStringLiteral("0, ''"),
                 withContext ? QStringLiteral("LEFT JOIN trel_request_context c ON c.request_id "
                                              "= r.id ")
                             : QString(),
                 ids.join(QLatin1Char(',')));
    };
    QSqlQuery rows(db);
    QString failure;
    // An installation that lacks the context's table lists its requests without it.
    if (!run(rows, rowsSql(true), QVariant(), &failure) &&
        (!failure.contains(QLatin1String("trel_request_context")) ||
         !run(rows, rowsSql(false), QVariant(), error))) {
        if (error && error->isEmpty())
            *error = failure;
        return Outcome::Failed;
    }
    while (rows.next()) {
        ListRow row;
        row.id = rows.value(0).toLongLong();
        row.pageId = text(rows.value(1));
        row.url = text(rows.value(2));
        row.method = text(rows.value(3));
        row.status = rows.value(4).toInt();
        row.startTime = rows.value(5).toLongLong();
        row.requestTime = rows.value(6).toLongLong();
        row.primaryPage = rows.value(7).toInt() != 0;
        row.queries = rows.value(8).toInt();
        row.failedQueries = rows.value(9).toInt();
        row.errors = rows.value(10).toInt();
        row.xhr = rows.value(11).toInt() != 0;
        row.referer = text(rows.value(12));
        list->rows << row;
    }
    // The rows that count what a request did not keep stand for that many queries or
    // errors (and failures) in the list's totals too.
    QSqlQuery notKept(db);
    if (!run(
            notKept,
            QStringLiteral("SELECT request_id, 0, resolved_statement, error_message FROM "
                           "trel_sql_queries WHERE request_id IN (") +
                ids.join(QLatin1Char(',')) +
                QStringLiteral(") AND prepared_statement_id = -1 AND backtrace_id = -1 AND "
                               "resolved_statement LIKE '% more queries not kept' UNION ALL "
                               "SELECT request_id, 1, message, '' FROM trel_log_entries WHERE "
                               "request_id IN (") +
                ids.join(QLatin1Char(',')) +
                QStringLiteral(") AND backtrace_id = -1 AND message LIKE '% more errors not kept'"),
            QVariant(), error))
        return Outcome::Failed;
    while (notKept.next()) {
        const qint64 id = notKept.value(0).toLongLong();
        const bool isError = notKept.value(1).toInt() != 0;
        const qint64 count =
            countIn(text(notKept.value(2)), isError ? notKeptErrorsText(0) : notKeptQueriesText(0));
        const qint64 failed = countIn(text(notKept.value(3)), notKeptFailedText(0));
        for (ListRow& row : list->rows) {
            if (row.id != id || count == 0)
                continue;
            const auto add = [](int& total, qint64 more) {
                total = static_cast<int>(qMin<qint64>(total + more, INT_MAX));
            };
            if (isError) {
                add(row.errors, count - 1);
            } else {
                add(row.queries, count - 1);
                add(row.failedQueries, failed - (failed ? 1 : 0));
            }
        }
    }
    return Outcome::Found;
}

namespace {

// What the related look-ups examine, newest first, so that neither grows with the
// history: the token's last requests before this one for the redirect (it is among the
// few just before), and the last requests of the same URL for the previous one.
constexpr int RedirectScanned = 100;
constexpr int SameUrlScanned = 200;
// A redirect counts when the request it sent the browser to began within this time.
constexpr qint64 RedirectWindowMs = 60000;

} // namespace

Outcome KTrelStoredRequest::loadRelated(const QSqlDatabase& db, const QByteArray& owner,
                                        KTrelStoredRequest* request, QString* error) {
    request->hasRedirect = false;
    request->redirectedFrom = Related();
    request->previousPageId.clear();
    if (owner.isEmpty() || request->id <= 0)
        return Outcome::Missing;
    // The token's last requests first, through its index; then those among them that
    // redirected here, by their ids (as one join, the planner may walk every context row).
    QSqlQuery recent(db);
    if (!run(recent,
             QStringLiteral("SELECT request_id FROM trel_request_owners WHERE token_hash = ? AND "
                            "request_id < ? ORDER BY request_id DESC LIMIT %1")
                 .arg(RedirectScanned),
             QVariant(), error, {owner, request->id}))
        return Outcome::Failed;
    QStringList ids;
    while (recent.next())
        ids << QString::number(recent.value(0).toLongLong());
    recent.finish();
    QSqlQuery redirect(db);
    QString failure;
    const bool read =
        ids.isEmpty() ||
        run(redirect,
            QStringLiteral("SELECT r.id, r.page_id, r.method, u.url, r.status_code FROM "
                           "trel_requests r JOIN trel_request_context c ON c.request_id = r.id "
                           "LEFT JOIN trel_requests_urls u ON u.id = r.url_id WHERE r.id IN (%1) "
                           "AND r.status_code >= 300 AND r.status_code < 400 AND c.location IN "
                           "(?, ?) AND r.start_time >= ? AND r.start_time <= ? ORDER BY r.id DESC "
                           "LIMIT 1")
                .arg(ids.join(QLatin1Char(','))),
            QVariant(), &failure,
            {request->url, QUrl(request->url).toString(), request->startTime - RedirectWindowMs,
             request->startTime});
    if (!read) {
        // Without the context's table there is no redirect to find.
        if (!failure.contains(QLatin1String("trel_request_context"))) {
            if (error)
                *error = failure;
            return Outcome::Failed;
        }
    } else if (!ids.isEmpty() && redirect.next()) {
        request->hasRedirect = true;
        request->redirectedFrom.id = redirect.value(0).toLongLong();
        request->redirectedFrom.pageId = text(redirect.value(1));
        request->redirectedFrom.method = text(redirect.value(2));
        request->redirectedFrom.url = text(redirect.value(3));
        request->redirectedFrom.status = redirect.value(4).toInt();
    }

    // The URL's id first: compared with a value, the URL's index is taken.
    QSqlQuery urlOf(db);
    if (!run(urlOf, QStringLiteral("SELECT url_id FROM trel_requests WHERE id = ?"), request->id,
             error))
        return Outcome::Failed;
    if (!urlOf.next())
        return Outcome::Found;
    const qint64 urlId = urlOf.value(0).toLongLong();
    urlOf.finish();
    // Newest first through the URL's index, stopping at the token's first one, and no
    // further back than the URL's last SameUrlScanned requests (their bound read from the
    // index alone).
    QSqlQuery previous(db);
    if (!run(previous,
             QStringLiteral("SELECT r.page_id, r.id FROM trel_requests r WHERE r.url_id = ? AND "
                            "r.id < ? "
                            "AND r.id >= (SELECT COALESCE(MIN(x.id), 0) FROM (SELECT id FROM "
                            "trel_requests WHERE url_id = ? AND id < ? ORDER BY id DESC LIMIT %1) "
                            "x) AND EXISTS (SELECT 1 FROM trel_request_owners o WHERE "
                            "o.request_id = r.id AND o.token_hash = ?) ORDER BY r.id DESC LIMIT 1")
                 .arg(SameUrlScanned),
             QVariant(), error, {urlId, request->id, urlId, request->id, owner}))
        return Outcome::Failed;
    if (previous.next()) {
        request->previousPageId = text(previous.value(0));
        // The token asked for this URL again after the redirect (a reload, a later visit):
        // the redirect led to that earlier request, not to this one.
        if (request->hasRedirect && previous.value(1).toLongLong() > request->redirectedFrom.id) {
            request->hasRedirect = false;
            request->redirectedFrom = Related();
        }
    }
    return Outcome::Found;
}

Outcome KTrelStoredRequest::lastId(const QSqlDatabase& db, qint64* id, QString* error) {
    QSqlQuery query(db);
    if (!run(query, QStringLiteral("SELECT MAX(id) FROM trel_requests"), QVariant(), error))
        return Outcome::Failed;
    if (!query.next() || query.value(0).isNull())
        return Outcome::Missing;
    *id = query.value(0).toLongLong();
    return Outcome::Found;
}

Outcome KTrelStoredRequest::load(const QSqlDatabase& db, qint64 id, KTrelStoredRequest* request,
                                 QString* error) {
    return loadWhere(db, "r.id = ?", id, request, error);
}

Outcome KTrelStoredRequest::loadByPageId(const QSqlDatabase& db, const QString& pageId,
                                         KTrelStoredRequest* request, QString* error) {
    // An empty page id names no page (a request stored without one has it empty).
    if (pageId.isEmpty())
        return Outcome::Missing;
    return loadWhere(db, "r.page_id = ?", pageId, request, error);
}

QString KTrelStoredRequest::transactionName(const Query& query) const {
    if (query.transaction < 0)
        return QString();
    const QString stored = QString::number(query.transaction);
    const QString prefix = QString::number(id);
    if (stored.size() > prefix.size() && stored.startsWith(prefix))
        return stored.mid(prefix.size());
    return stored;
}

int KTrelStoredRequest::failedQueries() const {
    qint64 failed = 0;
    for (const Query& query : queries) {
        if (query.notKept)
            failed += query.notKeptFailed;
        else if (query.failed())
            ++failed;
    }
    return static_cast<int>(qMin<qint64>(failed, INT_MAX));
}

qint64 KTrelStoredRequest::queriesNotKept() const {
    qint64 count = 0;
    for (const Query& query : queries)
        count += query.notKept;
    return count;
}

qint64 KTrelStoredRequest::errorsNotKept() const {
    qint64 count = 0;
    for (const LogEntry& entry : entries)
        count += entry.notKept;
    return count;
}

qint64 KTrelStoredRequest::queryCount() const {
    const qint64 notKept = queriesNotKept();
    return queries.size() + notKept - (notKept ? 1 : 0);
}

qint64 KTrelStoredRequest::errorCount() const {
    const qint64 notKept = errorsNotKept();
    return entries.size() + notKept - (notKept ? 1 : 0);
}

QString KTrelStoredRequest::notKeptQueriesText(qint64 count) {
    return QStringLiteral("%1 more queries not kept").arg(count);
}

QString KTrelStoredRequest::notKeptErrorsText(qint64 count) {
    return QStringLiteral("%1 more errors not kept").arg(count);
}

QString KTrelStoredRequest::notKeptFailedText(qint64 count) {
    return QStringLiteral("%1 of them failed").arg(count);
}
