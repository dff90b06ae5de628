#include "mariadbfloor.h"

#include <QCryptographicHash>
#include <QDateTime>

#include <cstring>
#include <stdexcept>

void MariaDbFloor::Values::number(long long value) {
    numbers.push_back(value);
    MYSQL_BIND bind{};
    bind.buffer_type = MYSQL_TYPE_LONGLONG;
    bind.buffer = &numbers.back();
    binds.push_back(bind);
}

void MariaDbFloor::Values::bytes(const char* data, size_t size, enum_field_types type) {
    MYSQL_BIND bind{};
    bind.buffer_type = type;
    bind.buffer = const_cast<char*>(data);
    bind.buffer_length = static_cast<unsigned long>(size);
    binds.push_back(bind);
}

MariaDbFloor::MariaDbFloor(const Server& server, const ReferenceRequest& reference, Form form)
    : m_reference(reference), m_form(form), m_mysql(mysql_init(nullptr)) {
    if (!m_mysql ||
        !mysql_real_connect(m_mysql, server.socket.empty() ? server.host.c_str() : nullptr,
                            server.user.c_str(), server.password.c_str(), server.database.c_str(),
                            server.socket.empty() ? server.port : 0,
                            server.socket.empty() ? nullptr : server.socket.c_str(), 0))
        throw std::runtime_error(m_mysql ? mysql_error(m_mysql) : "mysql_init failed");
    mysql_set_character_set(m_mysql, "utf8mb4");
    // Every statement then belongs to the open transaction, which COMMIT ends: no
    // statement of its own to begin one.
    mysql_autocommit(m_mysql, 0);
    for (const QString& text : reference.resolved)
        m_resolved.push_back(text.toUtf8());
    m_backtrace = reference.backtrace.toLocal8Bit();
}

MariaDbFloor::~MariaDbFloor() {
    for (auto& statement : m_statements)
        mysql_stmt_close(statement.second);
    mysql_close(m_mysql);
}

bool MariaDbFloor::query(const std::string& sql) {
    return mysql_real_query(m_mysql, sql.data(), sql.size()) == 0;
}

std::string MariaDbFloor::escaped(const char* data, size_t size) {
    std::string out(size * 2 + 3, '\0');
    out[0] = '\'';
    const unsigned long n =
        mysql_real_escape_string(m_mysql, &out[1], data, static_cast<unsigned long>(size));
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
    const bool statement = std::string(table) == "trel_sql_statements";
    std::string sql = std::string("INSERT INTO ") + table + " " + columns + " VALUES (NULL, " +
                      escaped(key.constData(), key.size()) + ", " +
                      escaped(utf8.constData(), utf8.size()) + (statement ? ", '')" : ")");
    long long id = -1;
    if (query(sql)) {
        id = static_cast<long long>(mysql_insert_id(m_mysql));
    } else {
        const std::string select = std::string("SELECT id FROM ") + table + " WHERE " +
                                   (statement ? "statement_hash" : "url_hash") + " = " +
                                   escaped(key.constData(), key.size());
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

bool MariaDbFloor::insert(const char* head, const char* row, int rows, Values& values,
                          long long* firstId) {
    std::string sql = head;
    if (m_form != Prepared) {
        size_t v = 0;
        for (int r = 0; r < rows; ++r) {
            if (r)
                sql += ',';
            for (const char* c = row; *c; ++c) {
                if (*c != '?') {
                    sql += *c;
                    continue;
                }
                const MYSQL_BIND& bind = values.binds[v++];
                const char* bytes = static_cast<const char*>(bind.buffer);
                if (bind.buffer_type == MYSQL_TYPE_LONGLONG)
                    sql += std::to_string(*static_cast<const long long*>(bind.buffer));
                else if (m_form == Escaped)
                    sql += escaped(bytes, bind.buffer_length);
                else
                    sql += "X'" +
                           QByteArray(bytes, static_cast<int>(bind.buffer_length))
                               .toHex()
                               .toStdString() +
                           "'";
            }
        }
        if (!query(sql))
            return false;
        if (firstId)
            *firstId = static_cast<long long>(mysql_insert_id(m_mysql));
        return true;
    }
    for (int r = 0; r < rows; ++r) {
        if (r)
            sql += ',';
        sql += row;
    }
    MYSQL_STMT*& statement = m_statements[sql];
    if (!statement) {
        statement = mysql_stmt_init(m_mysql);
        if (!statement || mysql_stmt_prepare(statement, sql.data(), sql.size()) != 0)
            throw std::runtime_error(statement ? mysql_stmt_error(statement) : "mysql_stmt_init");
    }
    if (mysql_stmt_bind_param(statement, values.binds.data()) != 0 ||
        mysql_stmt_execute(statement) != 0)
        return false;
    if (firstId)
        *firstId = static_cast<long long>(mysql_stmt_insert_id(statement));
    return true;
}

bool MariaDbFloor::write() {
    const ReferenceRequest& r = m_reference;
    ++m_serial;
    const long long urlId = idFor(m_urlIds, "trel_requests_urls", "(id, url_hash, url)",
                                  r.urls.at(static_cast<int>(m_random() % ReferenceRequest::Urls)));
    const std::string pageId = "page-" + std::to_string(m_serial);
    Values request;
    request.bytes(pageId.data(), pageId.size());
    request.number(urlId);
    request.bytes("GET", 3);
    request.number(QDateTime::currentMSecsSinceEpoch());
    long long requestId = 0;
    bool ok = insert("INSERT INTO trel_requests (id, page_id, url_id, status_code, method, "
                     "start_time, request_time, is_primary_page, peak_memory_usage, data_size, "
                     "memory_limit) VALUES ",
                     "(NULL, ?, ?, 200, ?, ?, 45000, 1, 12582912, 22, 134217728)", 1, request,
                     &requestId);

    // Backtraces of the 30 queries and of the first 2 errors.
    const int backtraces = ReferenceRequest::Queries + 2;
    Values backtraceRows;
    for (int i = 0; i < backtraces; ++i)
        backtraceRows.bytes(m_backtrace, MYSQL_TYPE_BLOB);
    long long firstBacktrace = 0;
    ok = ok && insert("replace into trel_backtrace (id, backtrace) values ", "(NULL, ?)",
                      backtraces, backtraceRows, &firstBacktrace);

    static const char file[] = "/var/www/shop/src/Repository/CartRepository.php";
    Values queries;
    for (int i = 0; ok && i < ReferenceRequest::Queries; ++i) {
        const int st = static_cast<int>(m_random() % ReferenceRequest::Statements);
        queries.number(requestId);
        queries.number(idFor(m_statementIds, "trel_sql_statements",
                             "(id, statement_hash, prepared_statement, statement_explain)",
                             r.prepared.at(st)));
        queries.bytes(m_resolved[static_cast<size_t>(st)]);
        queries.number(static_cast<long long>(m_random() % 20));
        queries.number(static_cast<long long>(100 + m_random() % 5000));
        queries.number(i % 3 == 0 ? requestId * 10 + 1 + i / 3 : -1);
        queries.bytes(file, sizeof file - 1);
        queries.number(firstBacktrace + i);
    }
    ok = ok &&
         insert("INSERT INTO trel_sql_queries (id, request_id, prepared_statement_id, "
                "resolved_statement, status, rows_affected, query_time, error_message, "
                "transaction_id, file_name, line_number, backtrace_id) VALUES ",
                "(NULL, ?, ?, ?, 0, ?, ?, '', ?, ?, 128, ?)", ReferenceRequest::Queries, queries);

    static const char* const types[] = {"E_WARNING", "E_NOTICE", "E_DEPRECATED", "E_USER_NOTICE"};
    Values errors;
    for (int i = 0; i < ReferenceRequest::Errors; ++i) {
        errors.number(QDateTime::currentSecsSinceEpoch());
        errors.number(requestId);
        errors.bytes(types[i], strlen(types[i]));
        errors.number(40 + i);
        errors.number(i < 2 ? firstBacktrace + ReferenceRequest::Queries + i : -1);
    }
    ok = ok && insert("INSERT INTO trel_log_entries ( id, entry_time, request_id, type, message, "
                      "filename, line, silenced, backtrace_id) VALUES ",
                      "(NULL, ?, ?, ?, 'Undefined index: product_id', "
                      "'/var/www/shop/src/Controller/CartController.php', ?, 0, ?)",
                      ReferenceRequest::Errors, errors);

    Values functions;
    for (int i = 0; i < ReferenceRequest::Functions; ++i) {
        functions.number(requestId);
        functions.bytes(r.functionNames[i]);
        functions.bytes(r.functionScopes[i]);
        functions.number(50 + i);
        functions.number(120 + i);
        functions.bytes(r.functionFiles[i]);
        functions.number(10 + i);
    }
    ok = ok && insert("replace into trel_functions_stats (id, request_id, function_name, "
                      "function_scope, times_called, time_exclusive, time_inclusive, filename, "
                      "line) values ",
                      "(NULL, ?, ?, ?, 1, ?, ?, ?, ?)", ReferenceRequest::Functions, functions);

    Values events;
    for (const QByteArray& key : r.eventKeys) {
        events.number(requestId);
        events.bytes(key);
    }
    ok = ok && insert("replace into trel_monitor_events (id, request_id, agg_key) values ",
                      "(NULL, ?, ?)", static_cast<int>(r.eventKeys.size()), events);

    Values breakdown;
    breakdown.number(requestId);
    ok = ok && insert("INSERT INTO trel_processing_breakdown ( request_id, database_time, "
                      "network_time, local_time, php_time) VALUES ",
                      "(?, 8000, 2000, 1000, 34000)", 1, breakdown);

    static const char* const names[] = {"_SERVER0", "_SERVER1", "_SERVER2"};
    Values samples;
    for (int i = 0; i < ReferenceRequest::Samples; ++i) {
        samples.number(requestId);
        samples.bytes(names[i % 3], 8);
        samples.bytes(r.sampleData, MYSQL_TYPE_BLOB);
        samples.bytes(i < 3 ? "SAMPLE_START" : "SAMPLE_END", i < 3 ? 12 : 10);
    }
    ok = ok && insert("INSERT INTO trel_superglobals_data ( request_id, sg_name, data, "
                      "sample_type) VALUES ",
                      "(?, ?, ?, ?)", ReferenceRequest::Samples, samples);
    if (!ok) {
        mysql_rollback(m_mysql);
        return false;
    }
    return mysql_commit(m_mysql) == 0;
}
