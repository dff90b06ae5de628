#include "storedrequest.h"

#include "installationaccess.h"
#include "toolerror.h"

#include <QVariant>

namespace {

QString text(const QVariant& value) {
    return QString::fromUtf8(value.toByteArray());
}

} // namespace

QString StoredRequest::Function::fullName() const {
    return scope.isEmpty() ? name : scope + QStringLiteral("::") + name;
}

qint64 StoredRequest::lastId(InstallationAccess& access) {
    QSqlQuery query = access.run(QStringLiteral("reading the requests"),
                                 QStringLiteral("SELECT MAX(id) FROM trel_requests"));
    if (!query.next() || query.value(0).isNull())
        throw ToolError(QStringLiteral("no request is stored in %1 yet; `trel simulate %1 "
                                       "--requests 100` makes some")
                            .arg(access.shownRoot()));
    return query.value(0).toLongLong();
}

StoredRequest StoredRequest::load(InstallationAccess& access, qint64 id) {
    StoredRequest request;
    const QString what = QStringLiteral("reading request %1").arg(id);
    QSqlQuery row = access.run(
        what,
        QStringLiteral("SELECT r.id, r.page_id, u.url, r.status_code, r.method, r.start_time, "
                       "r.request_time, r.is_primary_page, r.peak_memory_usage, r.data_size, "
                       "r.memory_limit FROM trel_requests r LEFT JOIN trel_requests_urls u ON "
                       "u.id = r.url_id WHERE r.id = ?"),
        {id});
    if (!row.next())
        throw ToolError(QStringLiteral("no request with id %1 in %2; `trel requests %2` lists "
                                       "the stored ones")
                            .arg(id)
                            .arg(access.shownRoot()));
    request.id = row.value(0).toLongLong();
    request.pageId = text(row.value(1));
    request.url = text(row.value(2));
    request.status = row.value(3).toInt();
    request.method = text(row.value(4));
    request.startTime = row.value(5).toLongLong();
    request.requestTime = row.value(6).toLongLong();
    request.primaryPage = row.value(7).toInt() != 0;
    request.peakMemory = row.value(8).toLongLong();
    request.dataSize = row.value(9).toLongLong();
    request.memoryLimit = row.value(10).toLongLong();

    QSqlQuery breakdown =
        access.run(what,
                   QStringLiteral("SELECT database_time, network_time, local_time, "
                                  "php_time FROM trel_processing_breakdown WHERE "
                                  "request_id = ?"),
                   {id});
    if (breakdown.next()) {
        request.hasBreakdown = true;
        request.databaseTime = breakdown.value(0).toLongLong();
        request.networkTime = breakdown.value(1).toLongLong();
        request.localTime = breakdown.value(2).toLongLong();
        request.phpTime = breakdown.value(3).toLongLong();
    }

    QSqlQuery queries = access.run(
        what,
        QStringLiteral("SELECT q.resolved_statement, s.prepared_statement, q.status, "
                       "q.rows_affected, q.query_time, q.error_message, q.transaction_id, "
                       "q.file_name, q.line_number, b.backtrace FROM trel_sql_queries q LEFT JOIN "
                       "trel_sql_statements s ON s.id = q.prepared_statement_id LEFT JOIN "
                       "trel_backtrace b ON b.id = q.backtrace_id WHERE q.request_id = ? ORDER BY "
                       "q.query_time DESC, q.id"),
        {id});
    while (queries.next()) {
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
        request.queries << query;
    }

    QSqlQuery entries = access.run(
        what,
        QStringLiteral("SELECT e.entry_time, e.type, e.message, e.filename, e.line, e.silenced, "
                       "b.backtrace FROM trel_log_entries e LEFT JOIN trel_backtrace b ON b.id = "
                       "e.backtrace_id WHERE e.request_id = ? ORDER BY e.id"),
        {id});
    while (entries.next()) {
        LogEntry entry;
        entry.time = entries.value(0).toLongLong();
        entry.type = text(entries.value(1)).trimmed();
        entry.message = text(entries.value(2));
        entry.file = text(entries.value(3));
        entry.line = entries.value(4).toInt();
        entry.silenced = entries.value(5).toInt() != 0;
        entry.backtrace = QString::fromLocal8Bit(entries.value(6).toByteArray());
        request.entries << entry;
    }

    QSqlQuery functions = access.run(
        what,
        QStringLiteral("SELECT function_scope, function_name, filename, line, times_called, "
                       "time_exclusive, time_inclusive FROM trel_functions_stats WHERE request_id "
                       "= ? ORDER BY time_exclusive DESC, id"),
        {id});
    while (functions.next()) {
        Function function;
        function.scope = text(functions.value(0));
        function.name = text(functions.value(1));
        function.file = text(functions.value(2));
        function.line = functions.value(3).toInt();
        function.calls = functions.value(4).toInt();
        function.exclusive = functions.value(5).toLongLong();
        function.inclusive = functions.value(6).toLongLong();
        request.functions << function;
    }

    QSqlQuery events = access.run(
        what,
        QStringLiteral("SELECT agg_key FROM trel_monitor_events WHERE request_id = ? ORDER BY id"),
        {id});
    while (events.next())
        request.events << text(events.value(0));

    // The samples have no id; the database gives them back in the order they were stored.
    QSqlQuery samples = access.run(
        what,
        QStringLiteral(
            "SELECT sg_name, data, sample_type FROM trel_superglobals_data WHERE request_id = ?"),
        {id});
    while (samples.next())
        request.samples << Sample{text(samples.value(0)), samples.value(1).toByteArray(),
                                  text(samples.value(2))};
    return request;
}

QString StoredRequest::transactionName(const Query& query) const {
    if (query.transaction < 0)
        return QString();
    const QString stored = QString::number(query.transaction);
    const QString prefix = QString::number(id);
    if (stored.size() > prefix.size() && stored.startsWith(prefix))
        return stored.mid(prefix.size());
    return stored;
}

int StoredRequest::failedQueries() const {
    int failed = 0;
    for (const Query& query : queries) {
        if (query.failed())
            ++failed;
    }
    return failed;
}
