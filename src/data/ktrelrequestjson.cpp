#include <trel/ktrelrequestjson.h>

#include <trel/ktrelformat.h>
#include <trel/ktrelstoredrequest.h>

#include <QJsonArray>

namespace {

bool severe(const QString& type) {
    return type == QLatin1String("E_ERROR") || type == QLatin1String("E_PARSE") ||
           type == QLatin1String("E_CORE_ERROR") || type == QLatin1String("E_COMPILE_ERROR") ||
           type == QLatin1String("E_USER_ERROR") || type == QLatin1String("E_RECOVERABLE_ERROR");
}

QString taken(const QString& type) {
    if (type == QLatin1String("SAMPLE_START"))
        return QStringLiteral("start");
    if (type == QLatin1String("SAMPLE_END"))
        return QStringLiteral("end");
    return type;
}

} // namespace

QJsonObject KTrelRequestJson::summary(const KTrelStoredRequest& r) {
    QJsonObject object;
    object.insert(QStringLiteral("id"), r.id);
    object.insert(QStringLiteral("page_id"), r.pageId);
    object.insert(QStringLiteral("method"), r.method);
    object.insert(QStringLiteral("url"), r.url);
    object.insert(QStringLiteral("status"), r.status);
    object.insert(QStringLiteral("primary"), r.primaryPage);
    object.insert(QStringLiteral("time_us"), r.requestTime);
    object.insert(QStringLiteral("time"), KTrelFormat::duration(r.requestTime));
    object.insert(QStringLiteral("queries"), r.queryCount());
    object.insert(QStringLiteral("failed_queries"), r.failedQueries());
    object.insert(QStringLiteral("errors"), r.errorCount());
    object.insert(QStringLiteral("queries_not_kept"), r.queriesNotKept());
    object.insert(QStringLiteral("errors_not_kept"), r.errorsNotKept());
    object.insert(QStringLiteral("peak_memory"), r.peakMemory);
    object.insert(QStringLiteral("memory"), KTrelFormat::bytes(r.peakMemory));
    object.insert(QStringLiteral("xhr"), r.hasContext ? QJsonValue(r.xhr) : QJsonValue());
    object.insert(QStringLiteral("referer"), r.hasContext ? QJsonValue(r.referer) : QJsonValue());
    return object;
}

QJsonObject KTrelRequestJson::request(const KTrelStoredRequest& r) {
    QJsonObject object = summary(r);
    object.insert(QStringLiteral("start_ms"), r.startTime);
    object.insert(QStringLiteral("start"), KTrelFormat::localTime(r.startTime));
    object.insert(QStringLiteral("memory_limit"), r.memoryLimit);
    object.insert(QStringLiteral("memory_of_limit"),
                  KTrelFormat::memoryOfLimit(r.peakMemory, r.memoryLimit));
    object.insert(QStringLiteral("data_kib"), r.dataSize);
    if (r.hasBreakdown) {
        object.insert(QStringLiteral("breakdown"),
                      QJsonObject{{QStringLiteral("database_us"), r.databaseTime},
                                  {QStringLiteral("network_us"), r.networkTime},
                                  {QStringLiteral("local_us"), r.localTime},
                                  {QStringLiteral("php_us"), r.phpTime}});
    }
    QJsonArray queries;
    for (const KTrelStoredRequest::Query& q : r.queries) {
        queries.append(QJsonObject{{QStringLiteral("statement"), q.statement},
                                   {QStringLiteral("prepared"), q.prepared},
                                   {QStringLiteral("status"), q.status},
                                   {QStringLiteral("failed"), q.failed()},
                                   {QStringLiteral("error"), q.error},
                                   {QStringLiteral("rows"), q.rows},
                                   {QStringLiteral("time_us"), q.time},
                                   {QStringLiteral("transaction"), r.transactionName(q)},
                                   {QStringLiteral("file"), q.file},
                                   {QStringLiteral("line"), q.line},
                                   {QStringLiteral("backtrace"), q.backtrace},
                                   {QStringLiteral("start_us"), q.startUs}});
    }
    object.insert(QStringLiteral("query_list"), queries);
    QJsonArray entries;
    for (const KTrelStoredRequest::LogEntry& e : r.entries) {
        entries.append(
            QJsonObject{{QStringLiteral("type"), e.type},
                        {QStringLiteral("severe"), severe(e.type)},
                        {QStringLiteral("message"), e.message},
                        {QStringLiteral("file"), e.file},
                        {QStringLiteral("line"), e.line},
                        {QStringLiteral("time"), KTrelFormat::localTime(e.time * 1000).left(19)},
                        {QStringLiteral("silenced"), e.silenced},
                        {QStringLiteral("backtrace"), e.backtrace},
                        {QStringLiteral("start_us"), e.startUs},
                        {QStringLiteral("exception"),
                         e.exception.isEmpty() ? QJsonValue() : QJsonValue(e.exception)}});
    }
    object.insert(QStringLiteral("error_list"), entries);
    QJsonArray functions;
    for (const KTrelStoredRequest::Function& f : r.functions) {
        functions.append(QJsonObject{{QStringLiteral("name"), f.fullName()},
                                     {QStringLiteral("file"), f.file},
                                     {QStringLiteral("line"), f.line},
                                     {QStringLiteral("calls"), f.calls},
                                     {QStringLiteral("own_us"), f.exclusive},
                                     {QStringLiteral("total_us"), f.inclusive}});
    }
    object.insert(QStringLiteral("functions"), functions);
    object.insert(QStringLiteral("events"), QJsonArray::fromStringList(r.events));
    QJsonArray samples;
    for (const KTrelStoredRequest::Sample& s : r.samples) {
        samples.append(QJsonObject{{QStringLiteral("name"), s.name},
                                   {QStringLiteral("taken"), taken(s.type)},
                                   {QStringLiteral("data"), QString::fromUtf8(s.data)}});
    }
    object.insert(QStringLiteral("samples"), samples);
    object.insert(QStringLiteral("log_messages"), r.logMessages);
    object.insert(QStringLiteral("spans"), r.spans);
    QJsonArray headers;
    for (const QPair<QString, QString>& header : r.responseHeaders)
        headers.append(QJsonArray{header.first, header.second});
    object.insert(QStringLiteral("response_headers"), headers);
    object.insert(QStringLiteral("redirected_from"),
                  r.hasRedirect
                      ? QJsonValue(QJsonObject{{QStringLiteral("page_id"), r.redirectedFrom.pageId},
                                               {QStringLiteral("method"), r.redirectedFrom.method},
                                               {QStringLiteral("url"), r.redirectedFrom.url},
                                               {QStringLiteral("status"), r.redirectedFrom.status}})
                      : QJsonValue());
    object.insert(QStringLiteral("previous_page_id"),
                  r.previousPageId.isEmpty() ? QJsonValue() : QJsonValue(r.previousPageId));
    return object;
}

QJsonObject KTrelRequestJson::list(const KTrelStoredRequest::List& list) {
    QJsonArray rows;
    for (const KTrelStoredRequest::ListRow& row : list.rows) {
        rows.append(QJsonObject{{QStringLiteral("id"), row.id},
                                {QStringLiteral("page_id"), row.pageId},
                                {QStringLiteral("method"), row.method},
                                {QStringLiteral("url"), row.url},
                                {QStringLiteral("status"), row.status},
                                {QStringLiteral("start_ms"), row.startTime},
                                {QStringLiteral("start"), KTrelFormat::localTime(row.startTime)},
                                {QStringLiteral("time_us"), row.requestTime},
                                {QStringLiteral("time"), KTrelFormat::duration(row.requestTime)},
                                {QStringLiteral("primary"), row.primaryPage},
                                {QStringLiteral("queries"), row.queries},
                                {QStringLiteral("failed_queries"), row.failedQueries},
                                {QStringLiteral("errors"), row.errors},
                                {QStringLiteral("xhr"), row.xhr},
                                {QStringLiteral("referer"), row.referer}});
    }
    return QJsonObject{{QStringLiteral("requests"), rows},
                       {QStringLiteral("older"), list.older},
                       {QStringLiteral("newer"), list.newer},
                       {QStringLiteral("stopped"), list.stopped},
                       {QStringLiteral("older_before"), list.olderBefore},
                       {QStringLiteral("newer_after"), list.newerAfter}};
}
