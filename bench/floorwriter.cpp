#include "floorwriter.h"

#include <QCryptographicHash>
#include <QDateTime>

#include <stdexcept>

namespace {

const char* const sql[] = {
    "INSERT INTO trel_requests (id, page_id, url_id, status_code, method, start_time, "
    "request_time, is_primary_page, peak_memory_usage, data_size, memory_limit) VALUES (NULL, "
    "?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, -1, ?9)",
    "UPDATE trel_requests SET data_size = ?1 WHERE id = ?2",
    "INSERT INTO trel_requests_urls (id, url_hash, url) values (NULL, ?1, ?2)",
    "INSERT INTO trel_sql_statements (id, statement_hash, prepared_statement, statement_explain) "
    "values (NULL, ?1, ?2, '')",
    "replace into trel_backtrace (id, backtrace) values (NULL, ?1)",
    "INSERT INTO trel_sql_queries (id, request_id, prepared_statement_id, resolved_statement, "
    "status, rows_affected, query_time, error_message, transaction_id, file_name, line_number, "
    "backtrace_id) VALUES (NULL, ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)",
    "INSERT INTO trel_log_entries ( id, entry_time, request_id, type, message, filename, line, "
    "silenced, backtrace_id) VALUES ( NULL, ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)",
    "replace into trel_functions_stats (id, request_id, function_name, function_scope, "
    "times_called, time_exclusive, time_inclusive, filename, line) values  (NULL, ?1, ?2, ?3, "
    "?4, ?5, ?6, ?7, ?8)",
    "replace into trel_monitor_events (id, request_id, agg_key) values  (NULL, ?1, ?2)",
    "INSERT INTO trel_processing_breakdown ( request_id, database_time, network_time, "
    "local_time, php_time) VALUES ( ?1, ?2, ?3, ?4, ?5)",
    "INSERT INTO trel_superglobals_data ( request_id, sg_name, data, sample_type) VALUES ( ?1, "
    "?2, ?3, ?4)",
    "BEGIN",
    "COMMIT",
};

void bindText(sqlite3_stmt* s, int i, const QByteArray& text) {
    sqlite3_bind_text(s, i, text.constData(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void bindBlob(sqlite3_stmt* s, int i, const QByteArray& bytes) {
    sqlite3_bind_blob(s, i, bytes.constData(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
}

} // namespace

FloorWriter::FloorWriter(const std::string& path, const ReferenceRequest& reference)
    : m_reference(reference) {
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        throw std::runtime_error("cannot open " + path);
    sqlite3_busy_timeout(m_db, 2000);
    sqlite3_exec(m_db, "pragma synchronous = off", nullptr, nullptr, nullptr);
    sqlite3_exec(m_db, "pragma temp_store = memory", nullptr, nullptr, nullptr);
    for (int i = 0; i < StatementCount; ++i)
        if (sqlite3_prepare_v2(m_db, sql[i], -1, &m_statements[i], nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(m_db));
}

FloorWriter::~FloorWriter() {
    for (sqlite3_stmt* s : m_statements)
        sqlite3_finalize(s);
    sqlite3_close(m_db);
}

bool FloorWriter::run(Statement s) {
    const int rc = sqlite3_step(m_statements[s]);
    sqlite3_reset(m_statements[s]);
    sqlite3_clear_bindings(m_statements[s]);
    return rc == SQLITE_DONE || rc == SQLITE_ROW;
}

sqlite3_int64 FloorWriter::idFor(std::unordered_map<std::string, sqlite3_int64>& cache,
                                 Statement insert, const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    const QByteArray key = QCryptographicHash::hash(utf8, QCryptographicHash::Sha1);
    auto it = cache.find(key.toStdString());
    if (it != cache.end())
        return it->second;
    sqlite3_stmt* s = m_statements[insert];
    bindBlob(s, 1, key);
    bindText(s, 2, utf8);
    sqlite3_int64 id = -1;
    if (run(insert))
        id = sqlite3_last_insert_rowid(m_db);
    cache.emplace(key.toStdString(), id);
    return id;
}

bool FloorWriter::write() {
    const ReferenceRequest& r = m_reference;
    ++m_serial;
    bool ok = run(Begin);
    const sqlite3_int64 urlId = idFor(
        m_urlIds, InsertUrl, r.urls.at(static_cast<int>(m_random() % ReferenceRequest::Urls)));
    sqlite3_stmt* s = m_statements[InsertRequest];
    bindText(s, 1, "page-" + QByteArray::number(m_serial));
    sqlite3_bind_int64(s, 2, urlId);
    sqlite3_bind_int(s, 3, 200);
    bindText(s, 4, "GET");
    sqlite3_bind_int64(s, 5, QDateTime::currentMSecsSinceEpoch());
    sqlite3_bind_int64(s, 6, 45000);
    sqlite3_bind_int(s, 7, 1);
    sqlite3_bind_int64(s, 8, 12 * 1024 * 1024);
    sqlite3_bind_int64(s, 9, 128 * 1024 * 1024);
    ok = ok && run(InsertRequest);
    const sqlite3_int64 requestId = sqlite3_last_insert_rowid(m_db);
    const QByteArray backtrace = r.backtrace.toLocal8Bit();
    const QByteArray file = "/var/www/shop/src/Repository/CartRepository.php";

    for (int i = 0; ok && i < ReferenceRequest::Queries; ++i) {
        const int st = static_cast<int>(m_random() % ReferenceRequest::Statements);
        bindBlob(m_statements[InsertBacktrace], 1, backtrace);
        ok = run(InsertBacktrace);
        const sqlite3_int64 backtraceId = sqlite3_last_insert_rowid(m_db);
        const sqlite3_int64 statementId = idFor(m_statementIds, InsertStatement, r.prepared.at(st));
        s = m_statements[InsertQuery];
        sqlite3_bind_int64(s, 1, requestId);
        sqlite3_bind_int64(s, 2, statementId);
        bindText(s, 3, r.resolved.at(st).toUtf8());
        sqlite3_bind_int(s, 4, 0);
        sqlite3_bind_int(s, 5, static_cast<int>(m_random() % 20));
        sqlite3_bind_int64(s, 6, 100 + m_random() % 5000);
        bindText(s, 7, QByteArray());
        sqlite3_bind_int64(s, 8, i % 3 == 0 ? requestId * 10 + 1 + i / 3 : -1);
        bindText(s, 9, file);
        sqlite3_bind_int(s, 10, 128);
        sqlite3_bind_int64(s, 11, backtraceId);
        ok = ok && run(InsertQuery);
    }
    static const char* const types[] = {"E_WARNING", "E_NOTICE", "E_DEPRECATED", "E_USER_NOTICE"};
    for (int i = 0; ok && i < ReferenceRequest::Errors; ++i) {
        sqlite3_int64 backtraceId = -1;
        if (i < 2) {
            bindBlob(m_statements[InsertBacktrace], 1, backtrace);
            ok = run(InsertBacktrace);
            backtraceId = sqlite3_last_insert_rowid(m_db);
        }
        s = m_statements[InsertLog];
        sqlite3_bind_int64(s, 1, QDateTime::currentSecsSinceEpoch());
        sqlite3_bind_int64(s, 2, requestId);
        bindText(s, 3, types[i]);
        bindText(s, 4, "Undefined index: product_id");
        bindText(s, 5, "/var/www/shop/src/Controller/CartController.php");
        sqlite3_bind_int(s, 6, 40 + i);
        sqlite3_bind_int(s, 7, 0);
        sqlite3_bind_int64(s, 8, backtraceId);
        ok = ok && run(InsertLog);
    }
    for (int i = 0; ok && i < ReferenceRequest::Functions; ++i) {
        s = m_statements[InsertFunction];
        sqlite3_bind_int64(s, 1, requestId);
        bindText(s, 2, r.functionNames[i]);
        bindText(s, 3, r.functionScopes[i]);
        sqlite3_bind_int(s, 4, 1);
        sqlite3_bind_int(s, 5, 50 + i);
        sqlite3_bind_int(s, 6, 120 + i);
        bindText(s, 7, r.functionFiles[i]);
        sqlite3_bind_int(s, 8, 10 + i);
        ok = run(InsertFunction);
    }
    for (size_t i = 0; ok && i < r.eventKeys.size(); ++i) {
        s = m_statements[InsertEvent];
        sqlite3_bind_int64(s, 1, requestId);
        bindText(s, 2, r.eventKeys[i]);
        ok = run(InsertEvent);
    }
    s = m_statements[InsertBreakdown];
    sqlite3_bind_int64(s, 1, requestId);
    sqlite3_bind_int64(s, 2, 8000);
    sqlite3_bind_int64(s, 3, 2000);
    sqlite3_bind_int64(s, 4, 1000);
    sqlite3_bind_int64(s, 5, 34000);
    ok = ok && run(InsertBreakdown);
    for (int i = 0; ok && i < ReferenceRequest::Samples; ++i) {
        s = m_statements[InsertSample];
        sqlite3_bind_int64(s, 1, requestId);
        bindText(s, 2, "_SERVER" + QByteArray::number(i % 3));
        bindBlob(s, 3, r.sampleData);
        bindText(s, 4, i < 3 ? "SAMPLE_START" : "SAMPLE_END");
        ok = run(InsertSample);
    }
    s = m_statements[UpdateSize];
    sqlite3_bind_int64(s, 1, 22);
    sqlite3_bind_int64(s, 2, requestId);
    ok = ok && run(UpdateSize);
    if (!ok) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return run(Commit);
}
