-- The diagnostics database of an installation, MySQL or MariaDB (InnoDB, utf8mb4).
-- Applied by `trel init --mysql`; the mariadb client reads it as it stands.
-- Hashes and token names are binary columns, so that equality is byte equality.
-- Rows of trel_requests own the rows of every table that refers to them; the trigger
-- at the end removes them, and the backtraces they point to, when a request is deleted.

CREATE TABLE IF NOT EXISTS trel_requests (
    id BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY,
    page_id TEXT NOT NULL,
    url_id BIGINT NOT NULL DEFAULT -1,
    status_code INT NOT NULL DEFAULT 0,
    method TEXT NOT NULL,
    start_time BIGINT NOT NULL DEFAULT 0,
    request_time BIGINT NOT NULL DEFAULT 0,
    is_primary_page INT NOT NULL DEFAULT 0,
    peak_memory_usage BIGINT NOT NULL DEFAULT 0,
    data_size BIGINT NOT NULL DEFAULT -1,
    memory_limit BIGINT NOT NULL DEFAULT 0
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
-- The bar and the viewer find a page by its id (32 hexadecimal digits), and a URL filter
-- its requests by URL. Apart from the table, so that `trel init` adds them to one made
-- before them.
CREATE INDEX IF NOT EXISTS trel_requests_page ON trel_requests (page_id(32));
CREATE INDEX IF NOT EXISTS trel_requests_url ON trel_requests (url_id);

CREATE TABLE IF NOT EXISTS trel_requests_urls (
    id BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY,
    url_hash BINARY(20) NOT NULL,
    url LONGTEXT NOT NULL,
    UNIQUE KEY trel_requests_urls_hash (url_hash)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS trel_sql_statements (
    id BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY,
    statement_hash BINARY(20) NOT NULL,
    prepared_statement LONGTEXT NOT NULL,
    statement_explain LONGTEXT NOT NULL,
    UNIQUE KEY trel_sql_statements_hash (statement_hash)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS trel_sql_queries (
    id BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY,
    request_id BIGINT NOT NULL,
    prepared_statement_id BIGINT NOT NULL DEFAULT -1,
    resolved_statement LONGTEXT,
    status INT,
    rows_affected INT,
    query_time BIGINT,
    error_message LONGTEXT,
    transaction_id BIGINT,
    file_name TEXT,
    line_number INT,
    backtrace_id BIGINT NOT NULL DEFAULT -1,
    KEY trel_sql_queries_request (request_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS trel_log_entries (
    id BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY,
    entry_time INT UNSIGNED,
    request_id BIGINT NOT NULL,
    type TEXT,
    message LONGTEXT,
    filename TEXT,
    line INT,
    silenced INT,
    backtrace_id BIGINT NOT NULL DEFAULT -1,
    KEY trel_log_entries_request (request_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS trel_functions_stats (
    id BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY,
    request_id BIGINT NOT NULL,
    function_name TEXT,
    function_scope TEXT,
    times_called INT,
    time_exclusive INT,
    time_inclusive INT,
    filename TEXT,
    line INT,
    KEY trel_functions_stats_request (request_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS trel_monitor_events (
    id BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY,
    request_id BIGINT NOT NULL,
    agg_key TEXT,
    KEY trel_monitor_events_request (request_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- One row per request. Every table has a primary key: Galera replicates a table without
-- one badly or not at all, and a replica finds a deleted row by it.
CREATE TABLE IF NOT EXISTS trel_processing_breakdown (
    request_id BIGINT NOT NULL PRIMARY KEY,
    database_time BIGINT,
    network_time BIGINT,
    local_time BIGINT,
    php_time BIGINT
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IF NOT EXISTS trel_superglobals_data (
    id BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY,
    request_id BIGINT NOT NULL,
    sg_name TEXT,
    data LONGBLOB,
    sample_type VARCHAR(32),
    KEY trel_superglobals_data_request (request_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Column order is read by position: id, backtrace.
CREATE TABLE IF NOT EXISTS trel_backtrace (
    id BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY,
    backtrace LONGBLOB
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Column order is read by position: id, token name, allowed hosts, TTL, base URL.
CREATE TABLE IF NOT EXISTS trel_tokens (
    id BIGINT NOT NULL AUTO_INCREMENT PRIMARY KEY,
    token_id VARBINARY(255) NOT NULL,
    allowed_hosts BLOB NOT NULL,
    ttl BIGINT NOT NULL,
    base_url BLOB NOT NULL,
    UNIQUE KEY trel_tokens_name (token_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Column order is read by position: id, label, extra, pattern.
CREATE TABLE IF NOT EXISTS trel_user_agent (
    id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
    user_agent TEXT NOT NULL,
    extra TEXT NOT NULL,
    agent_string TEXT NOT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Which token admitted each request, written in the request's transaction: the SHA-256
-- of the token's name (never the name itself). A token's views show only its own
-- requests; a request without a row here is shown to no token.
CREATE TABLE IF NOT EXISTS trel_request_owners (
    request_id BIGINT NOT NULL PRIMARY KEY,
    token_hash BINARY(32) NOT NULL,
    KEY trel_request_owners_token (token_hash, request_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- The installation's generation, one row: the tool raises it in the transaction of every
-- change that running workers read only once (tokens, browser patterns, the schema), and
-- the workers of every web server sharing this database read it with their installation's
-- files, reading the installation again when it moved.
CREATE TABLE IF NOT EXISTS trel_generation (
    id INT NOT NULL PRIMARY KEY,
    generation BIGINT NOT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
INSERT IGNORE INTO trel_generation (id, generation) VALUES (1, 1);

-- What a request carries beyond its rows above, one row each, written in its transaction:
-- whether a script made it (xhr), its Referer, where its redirect sent the browser
-- (location, resolved against its URL; '' for none), the start offsets of its queries and
-- errors in microseconds (JSON arrays in the order of their ids, -1 where unknown), its
-- costliest calls, response headers, error_log() messages and uncaught exceptions (JSON).
CREATE TABLE IF NOT EXISTS trel_request_context (
    request_id BIGINT NOT NULL PRIMARY KEY,
    xhr INT NOT NULL DEFAULT 0,
    referer LONGTEXT NOT NULL,
    location LONGTEXT NOT NULL,
    query_starts LONGTEXT NOT NULL,
    error_starts LONGTEXT NOT NULL,
    spans LONGTEXT NOT NULL,
    response_headers LONGTEXT NOT NULL,
    log_messages LONGTEXT NOT NULL,
    exceptions LONGTEXT NOT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- The backtraces are deleted through joins, not "id IN (SELECT ...)": the server runs a
-- DELETE's IN subquery as a dependent subquery over every row of trel_backtrace, locking
-- them all, once per deleted request; a cleanup then takes minutes and stalls every writer.
DROP TRIGGER IF EXISTS trel_requests_delete;
DELIMITER ;;
CREATE TRIGGER trel_requests_delete AFTER DELETE ON trel_requests FOR EACH ROW
BEGIN
    DELETE b FROM trel_backtrace b JOIN trel_sql_queries q ON q.backtrace_id = b.id
        WHERE q.request_id = OLD.id AND q.backtrace_id <> -1;
    DELETE b FROM trel_backtrace b JOIN trel_log_entries e ON e.backtrace_id = b.id
        WHERE e.request_id = OLD.id AND e.backtrace_id <> -1;
    DELETE FROM trel_sql_queries WHERE request_id = OLD.id;
    DELETE FROM trel_log_entries WHERE request_id = OLD.id;
    DELETE FROM trel_functions_stats WHERE request_id = OLD.id;
    DELETE FROM trel_monitor_events WHERE request_id = OLD.id;
    DELETE FROM trel_processing_breakdown WHERE request_id = OLD.id;
    DELETE FROM trel_superglobals_data WHERE request_id = OLD.id;
    DELETE FROM trel_request_owners WHERE request_id = OLD.id;
    DELETE FROM trel_request_context WHERE request_id = OLD.id;
END;;
DELIMITER ;
