-- The diagnostics database of an installation, SQLite. Applied by `trel init`.
-- Rows of trel_requests own the rows of every table that refers to them; the trigger
-- at the end removes them, and the backtraces they point to, when a request is deleted.
-- Cleanup gives freed pages back to the disk (PRAGMA incremental_vacuum) after each of
-- its batches. It takes effect on a new file only, before WAL writes its first page; an
-- existing one needs one VACUUM (`trel cleanup --vacuum`).
PRAGMA auto_vacuum = INCREMENTAL;
PRAGMA journal_mode = WAL;

CREATE TABLE IF NOT EXISTS trel_requests (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    page_id TEXT NOT NULL DEFAULT '',
    url_id INTEGER NOT NULL DEFAULT -1,
    status_code INTEGER NOT NULL DEFAULT 0,
    method TEXT NOT NULL DEFAULT '',
    start_time INTEGER NOT NULL DEFAULT 0,
    request_time INTEGER NOT NULL DEFAULT 0,
    is_primary_page INTEGER NOT NULL DEFAULT 0,
    peak_memory_usage INTEGER NOT NULL DEFAULT 0,
    data_size INTEGER NOT NULL DEFAULT -1,
    memory_limit INTEGER NOT NULL DEFAULT 0
);
-- The bar and the viewer find a page by its id, and a URL filter its requests by URL.
CREATE INDEX IF NOT EXISTS trel_requests_page ON trel_requests (page_id);
CREATE INDEX IF NOT EXISTS trel_requests_url ON trel_requests (url_id);

CREATE TABLE IF NOT EXISTS trel_requests_urls (
    id INTEGER PRIMARY KEY,
    url_hash BLOB NOT NULL UNIQUE,
    url TEXT NOT NULL
);

CREATE TABLE IF NOT EXISTS trel_sql_statements (
    id INTEGER PRIMARY KEY,
    statement_hash BLOB NOT NULL UNIQUE,
    prepared_statement TEXT NOT NULL,
    statement_explain TEXT NOT NULL DEFAULT ''
);

CREATE TABLE IF NOT EXISTS trel_sql_queries (
    id INTEGER PRIMARY KEY,
    request_id INTEGER NOT NULL,
    prepared_statement_id INTEGER NOT NULL DEFAULT -1,
    resolved_statement TEXT,
    status INTEGER,
    rows_affected INTEGER,
    query_time INTEGER,
    error_message TEXT,
    transaction_id INTEGER,
    file_name TEXT,
    line_number INTEGER,
    backtrace_id INTEGER NOT NULL DEFAULT -1
);
CREATE INDEX IF NOT EXISTS trel_sql_queries_request ON trel_sql_queries (request_id);

CREATE TABLE IF NOT EXISTS trel_log_entries (
    id INTEGER PRIMARY KEY,
    entry_time INTEGER,
    request_id INTEGER NOT NULL,
    type TEXT,
    message TEXT,
    filename TEXT,
    line INTEGER,
    silenced INTEGER,
    backtrace_id INTEGER NOT NULL DEFAULT -1
);
CREATE INDEX IF NOT EXISTS trel_log_entries_request ON trel_log_entries (request_id);

CREATE TABLE IF NOT EXISTS trel_functions_stats (
    id INTEGER PRIMARY KEY,
    request_id INTEGER NOT NULL,
    function_name TEXT,
    function_scope TEXT,
    times_called INTEGER,
    time_exclusive INTEGER,
    time_inclusive INTEGER,
    filename TEXT,
    line INTEGER
);
CREATE INDEX IF NOT EXISTS trel_functions_stats_request ON trel_functions_stats (request_id);

CREATE TABLE IF NOT EXISTS trel_monitor_events (
    id INTEGER PRIMARY KEY,
    request_id INTEGER NOT NULL,
    agg_key TEXT
);
CREATE INDEX IF NOT EXISTS trel_monitor_events_request ON trel_monitor_events (request_id);

-- One row per request.
CREATE TABLE IF NOT EXISTS trel_processing_breakdown (
    request_id INTEGER PRIMARY KEY NOT NULL,
    database_time INTEGER,
    network_time INTEGER,
    local_time INTEGER,
    php_time INTEGER
);

CREATE TABLE IF NOT EXISTS trel_superglobals_data (
    id INTEGER PRIMARY KEY,
    request_id INTEGER NOT NULL,
    sg_name TEXT,
    data BLOB,
    sample_type TEXT
);
CREATE INDEX IF NOT EXISTS trel_superglobals_data_request ON trel_superglobals_data (request_id);

-- Column order is read by position: id, backtrace.
CREATE TABLE IF NOT EXISTS trel_backtrace (
    id INTEGER PRIMARY KEY,
    backtrace BLOB
);

-- Column order is read by position: id, token name, allowed hosts, TTL, base URL.
-- Names compare as bytes (SQLite's BINARY collation).
CREATE TABLE IF NOT EXISTS trel_tokens (
    id INTEGER PRIMARY KEY,
    token_id TEXT NOT NULL UNIQUE,
    allowed_hosts TEXT NOT NULL DEFAULT '',
    ttl INTEGER NOT NULL,
    base_url TEXT NOT NULL DEFAULT ''
);

-- Column order is read by position: id, label, extra, pattern.
CREATE TABLE IF NOT EXISTS trel_user_agent (
    id INTEGER PRIMARY KEY,
    user_agent TEXT NOT NULL DEFAULT '',
    extra TEXT NOT NULL DEFAULT '',
    agent_string TEXT NOT NULL
);

-- Which token admitted each request, written in the request's transaction: the SHA-256
-- of the token's name (never the name itself). A token's views show only its own
-- requests; a request without a row here is shown to no token.
CREATE TABLE IF NOT EXISTS trel_request_owners (
    request_id INTEGER PRIMARY KEY,
    token_hash BLOB NOT NULL
);
CREATE INDEX IF NOT EXISTS trel_request_owners_token ON trel_request_owners (token_hash, request_id);

-- What a request carries beyond its rows above, one row each, written in its transaction:
-- whether a script made it (xhr), its Referer, where its redirect sent the browser
-- (location, resolved against its URL; '' for none), the start offsets of its queries and
-- errors in microseconds (JSON arrays in the order of their ids, -1 where unknown), its
-- costliest calls, response headers, error_log() messages and uncaught exceptions (JSON).
CREATE TABLE IF NOT EXISTS trel_request_context (
    request_id INTEGER PRIMARY KEY,
    xhr INTEGER NOT NULL DEFAULT 0,
    referer TEXT NOT NULL DEFAULT '',
    location TEXT NOT NULL DEFAULT '',
    query_starts TEXT NOT NULL DEFAULT '[]',
    error_starts TEXT NOT NULL DEFAULT '[]',
    spans TEXT NOT NULL DEFAULT '[]',
    response_headers TEXT NOT NULL DEFAULT '[]',
    log_messages TEXT NOT NULL DEFAULT '[]',
    exceptions TEXT NOT NULL DEFAULT '[]'
);

CREATE TRIGGER IF NOT EXISTS trel_requests_delete AFTER DELETE ON trel_requests
BEGIN
    DELETE FROM trel_backtrace WHERE id IN
        (SELECT backtrace_id FROM trel_sql_queries WHERE request_id = OLD.id AND backtrace_id <> -1);
    DELETE FROM trel_backtrace WHERE id IN
        (SELECT backtrace_id FROM trel_log_entries WHERE request_id = OLD.id AND backtrace_id <> -1);
    DELETE FROM trel_sql_queries WHERE request_id = OLD.id;
    DELETE FROM trel_log_entries WHERE request_id = OLD.id;
    DELETE FROM trel_functions_stats WHERE request_id = OLD.id;
    DELETE FROM trel_monitor_events WHERE request_id = OLD.id;
    DELETE FROM trel_processing_breakdown WHERE request_id = OLD.id;
    DELETE FROM trel_superglobals_data WHERE request_id = OLD.id;
END;

-- Apart from trel_requests_delete, so that `trel init` adds it to an installation made
-- before owners were stored.
CREATE TRIGGER IF NOT EXISTS trel_requests_delete_owner AFTER DELETE ON trel_requests
BEGIN
    DELETE FROM trel_request_owners WHERE request_id = OLD.id;
END;

CREATE TRIGGER IF NOT EXISTS trel_requests_delete_context AFTER DELETE ON trel_requests
BEGIN
    DELETE FROM trel_request_context WHERE request_id = OLD.id;
END;
