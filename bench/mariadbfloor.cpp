#include "mariadbfloor.h"

#include <QCryptographicHash>
#include <QDateTime>

#include <stdexcept>

MariaDbFloor::MariaDbFloor(const Server& server, const ReferenceRequest& reference, bool multiRow)
    : m_reference(reference), m_multiRow(multiRow), m_mysql(mysql_init(nullptr)) {
    if (!m_mysql ||
        !mysql_real_connect(m_mysql, server.socket.empty() ? server.host.c_str() : nullptr,
                            server.user.c_str(), server.password.c_str(), server.database.c_str(),
                            server.socket.empty() ? server.port : 0,
                            server.socket.empty() ? nullptr : server.socket.c_str(), 0))
        throw std::runtime_error(m_mysql ? mysql_error(m_mysql) : "mysql_init failed");
    mysql_set_character_set(m_mysql, "utf8mb4");
    // Every statement then belongs to the open transaction, which COMMIT ends: no
    // statement of its own to begin one.
    if (m_multiRow)
        mysql_autocommit(m_mysql, 0);
}

MariaDbFloor::~MariaDbFloor() {
    mysql_close(m_mysql);
}

bool MariaDbFloor::query(const std::string& sql) {
    return mysql_real_query(m_mysql, sql.data(), sql.size()) == 0;
}

std::string MariaDbFloor::text(const QByteArray& bytes) {
    std::string out(static_cast<size_t>(bytes.size()) * 2 + 3, '\0');
    out[0] = '\'';
    const unsigned long n = mysql_real_escape_string(m_mysql, &out[1], bytes.constData(),
                                                     static_cast<unsigned long>(bytes.size()));
    out[n + 1] = '\'';
    out.resize(n + 2);
    return out;
}

long long MariaDbFloor::idFor(std::unordered_map<std::string, long long>& cache, const char* table,
                              const char* columns, const QString& value) {
    const QByteArray utf8 = value.toUtf8();
    const QByteArray key = QCryptographicHash::hash(utf8, QCryptographicHash::Sha1);
    auto it = cache.find(key.toStdString());
    if (it != cache.end())
        return it->second;
    std::string sql = std::string("INSERT INTO ") + table + " " + columns + " VALUES (NULL, " +
                      text(key) + ", " + text(utf8);
    sql += std::string(table) == "trel_sql_statements" ? ", '')" : ")";
    long long id = -1;
    if (query(sql)) {
        id = static_cast<long long>(mysql_insert_id(m_mysql));
    } else {
        const std::string select =
            std::string("SELECT id FROM ") + table + " WHERE " +
            (std::string(table) == "trel_sql_statements" ? "statement_hash" : "url_hash") + " = " +
            text(key);
        if (query(select)) {
            MYSQL_RES* result = mysql_store_result(m_mysql);
            if (MYSQL_ROW row = result ? mysql_fetch_row(result) : nullptr)
                id = std::stoll(row[0]);
            mysql_free_result(result);
        }
    }
    cache.emplace(key.toStdString(), id);
    return id;
}

bool MariaDbFloor::insert(const std::string& head, const std::vector<std::string>& rows) {
    if (!m_multiRow) {
        for (const std::string& row : rows)
            if (!query(head + row))
                return false;
        return true;
    }
    std::string sql = head;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i)
            sql += ',';
        sql += rows[i];
    }
    return rows.empty() || query(sql);
}

bool MariaDbFloor::write() {
    const ReferenceRequest& r = m_reference;
    ++m_serial;
    const auto n = [](long long v) { return std::to_string(v); };
    bool ok = m_multiRow || query("START TRANSACTION");
    const long long urlId = idFor(m_urlIds, "trel_requests_urls", "(id, url_hash, url)",
                                  r.urls.at(static_cast<int>(m_random() % ReferenceRequest::Urls)));
    ok = ok &&
         query("INSERT INTO trel_requests (id, page_id, url_id, status_code, method, "
               "start_time, request_time, is_primary_page, peak_memory_usage, data_size, "
               "memory_limit) VALUES (NULL, " +
               text("page-" + QByteArray::number(m_serial)) + ", " + n(urlId) + ", 200, 'GET', " +
               n(QDateTime::currentMSecsSinceEpoch()) + ", 45000, 1, " + n(12 * 1024 * 1024) +
               ", " + n(m_multiRow ? 22 : -1) + ", " + n(128LL * 1024 * 1024) + ")");
    const long long requestId = static_cast<long long>(mysql_insert_id(m_mysql));
    const std::string backtrace = text(r.backtrace.toLocal8Bit());
    const std::string file = "'/var/www/shop/src/Repository/CartRepository.php'";

    // Backtraces of the 30 queries and of the first 2 errors.
    const int backtraces = ReferenceRequest::Queries + 2;
    std::vector<long long> backtraceIds;
    if (m_multiRow) {
        ok = ok && insert("replace into trel_backtrace (id, backtrace) values ",
                          std::vector<std::string>(backtraces, "(NULL, " + backtrace + ")"));
        const long long first = static_cast<long long>(mysql_insert_id(m_mysql));
        for (int i = 0; i < backtraces; ++i)
            backtraceIds.push_back(first + i);
    } else {
        for (int i = 0; ok && i < backtraces; ++i) {
            ok = query("replace into trel_backtrace (id, backtrace) values (NULL, " + backtrace +
                       ")");
            backtraceIds.push_back(static_cast<long long>(mysql_insert_id(m_mysql)));
        }
    }
    if (!ok) {
        query("ROLLBACK");
        return false;
    }

    std::vector<std::string> rows;
    for (int i = 0; i < ReferenceRequest::Queries; ++i) {
        const int st = static_cast<int>(m_random() % ReferenceRequest::Statements);
        const long long statementId =
            idFor(m_statementIds, "trel_sql_statements",
                  "(id, statement_hash, prepared_statement, statement_explain)", r.prepared.at(st));
        rows.push_back("(NULL, " + n(requestId) + ", " + n(statementId) + ", " +
                       text(r.resolved.at(st).toUtf8()) + ", 0, " + n(m_random() % 20) + ", " +
                       n(100 + m_random() % 5000) + ", '', " +
                       n(i % 3 == 0 ? requestId * 10 + 1 + i / 3 : -1) + ", " + file + ", 128, " +
                       n(backtraceIds[i]) + ")");
    }
    ok = ok && insert("INSERT INTO trel_sql_queries (id, request_id, prepared_statement_id, "
                      "resolved_statement, status, rows_affected, query_time, error_message, "
                      "transaction_id, file_name, line_number, backtrace_id) VALUES ",
                      rows);
    rows.clear();
    static const char* const types[] = {"E_WARNING", "E_NOTICE", "E_DEPRECATED", "E_USER_NOTICE"};
    for (int i = 0; i < ReferenceRequest::Errors; ++i)
        rows.push_back("(NULL, " + n(QDateTime::currentSecsSinceEpoch()) + ", " + n(requestId) +
                       ", '" + types[i] +
                       "', 'Undefined index: product_id', "
                       "'/var/www/shop/src/Controller/CartController.php', " +
                       n(40 + i) + ", 0, " +
                       n(i < 2 ? backtraceIds[ReferenceRequest::Queries + i] : -1) + ")");
    ok = ok && insert("INSERT INTO trel_log_entries ( id, entry_time, request_id, type, message, "
                      "filename, line, silenced, backtrace_id) VALUES ",
                      rows);
    rows.clear();
    for (int i = 0; i < ReferenceRequest::Functions; ++i)
        rows.push_back("(NULL, " + n(requestId) + ", " + text(r.functionNames[i]) + ", " +
                       text(r.functionScopes[i]) + ", 1, " + n(50 + i) + ", " + n(120 + i) + ", " +
                       text(r.functionFiles[i]) + ", " + n(10 + i) + ")");
    ok = ok && insert("replace into trel_functions_stats (id, request_id, function_name, "
                      "function_scope, times_called, time_exclusive, time_inclusive, filename, "
                      "line) values ",
                      rows);
    rows.clear();
    for (const QByteArray& key : r.eventKeys)
        rows.push_back("(NULL, " + n(requestId) + ", " + text(key) + ")");
    ok = ok && insert("replace into trel_monitor_events (id, request_id, agg_key) values ", rows);
    ok = ok && query("INSERT INTO trel_processing_breakdown ( request_id, database_time, "
                     "network_time, local_time, php_time) VALUES (" +
                     n(requestId) + ", 8000, 2000, 1000, 34000)");
    rows.clear();
    const std::string sample = text(r.sampleData);
    for (int i = 0; i < ReferenceRequest::Samples; ++i)
        rows.push_back("(" + n(requestId) + ", '_SERVER" + n(i % 3) + "', " + sample + ", '" +
                       (i < 3 ? "SAMPLE_START" : "SAMPLE_END") + "')");
    ok = ok && insert("INSERT INTO trel_superglobals_data ( request_id, sg_name, data, "
                      "sample_type) VALUES ",
                      rows);
    // Multi-row, the size went with the request's row: one statement less.
    ok = ok && (m_multiRow ||
                query("UPDATE trel_requests SET data_size = 22 WHERE id = " + n(requestId)));
    if (!ok) {
        query("ROLLBACK");
        return false;
    }
    return query("COMMIT");
}
