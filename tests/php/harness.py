"""What the PHP end-to-end checks share: a trel installation (SQLite or the MariaDB
test server) made with the trel tool and read back with SQL, PHP's built-in web
server with or without the extension, and plain HTTP requests to it.

The checks run it as ctest shell checks, which pass TREL_SOURCE_DIR and TREL_BUILD_DIR;
the MariaDB runs need the TREL_TEST_MYSQL_* variables of scripts/mariadb-test-server
and fail without them."""

import difflib
import http.client
import http.server
import os
import secrets
import shutil
import signal
import socket
import sqlite3
import subprocess
import tempfile
import threading
import time


class CheckFailed(Exception):
    pass


class Skipped(Exception):
    """What a check could not run here, and why: it ends with ctest's skip code once the
    rest has passed."""


def expect(condition, message):
    if not condition:
        raise CheckFailed(message)


def wait_for(condition, what, seconds=60):
    """Polls until condition() holds; the limit only turns a hang into a failure."""
    deadline = time.time() + seconds
    while not condition():
        expect(time.time() < deadline, f"gave up waiting for {what}")
        time.sleep(0.02)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Context:
    """The build under test and a temporary folder removed at the end."""

    def __init__(self, name):
        self.build = os.environ["TREL_BUILD_DIR"]
        self.tool = os.path.join(self.build, "tools", "trel")
        self.extension = os.path.join(self.build, "php", "trel.so")
        expect(os.path.exists(self.tool), f"no trel tool at {self.tool}")
        expect(os.path.exists(self.extension), f"no extension at {self.extension}")
        self.work = tempfile.mkdtemp(prefix=f"trel-{name}.")
        self.cleanups = []
        # A sanitized extension runs in PHP (which is not) with the sanitizer's runtime
        # preloaded, behind nodeepbind.c (see there). PHP's exits leave memory to the
        # system, which is no leak of ours.
        self.php_env = {}
        libraries = subprocess.run(["ldd", self.extension], capture_output=True, text=True).stdout
        asan = [line.split("=>")[1].split()[0] for line in libraries.splitlines() if "libasan" in line]
        if asan:
            shim = self.path("nodeepbind.so")
            subprocess.run(["cc", "-shared", "-fPIC", "-o", shim,
                            os.path.join(os.path.dirname(os.path.abspath(__file__)), "nodeepbind.c"), "-ldl"],
                           check=True)
            self.php_env = {"LD_PRELOAD": f"{shim}:{asan[0]}",
                            "ASAN_OPTIONS": "verify_asan_link_order=0:detect_leaks=0"}

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    def close(self):
        for cleanup in reversed(self.cleanups):
            try:
                cleanup()
            except Exception as error:  # a failed cleanup must not hide the check's result
                print(f"cleanup: {error}")
        if os.environ.get("TREL_KEEP_WORK") != "1":
            shutil.rmtree(self.work, ignore_errors=True)
        else:
            print(f"kept {self.work}")


def mysql_settings():
    names = ("HOST", "PORT", "USER", "PASSWORD")
    missing = [n for n in names if not os.environ.get(f"TREL_TEST_MYSQL_{n}")]
    expect(not missing, "the MariaDB runs need TREL_TEST_MYSQL_* (scripts/mariadb-test-server)")
    return {n.lower(): os.environ[f"TREL_TEST_MYSQL_{n}"] for n in names}


def mysql_command(settings, database=None):
    command = ["mariadb", "--no-defaults", "-h", settings["host"], "-P", settings["port"],
               "-u", settings["user"], f"-p{settings['password']}", "-B", "-N"]
    return command + (["-D", database] if database else [])


def create_mysql_database(ctx, settings, prefix):
    """A database of its own on the test server, dropped when the check ends."""
    name = f"{prefix}_{os.getpid()}_{secrets.token_hex(3)}"
    subprocess.run(mysql_command(settings) + ["-e", f"CREATE DATABASE {name} CHARACTER SET utf8mb4"],
                   check=True, capture_output=True)
    ctx.cleanups.append(lambda: subprocess.run(
        mysql_command(settings) + ["-e", f"DROP DATABASE IF EXISTS {name}"], capture_output=True))
    return name


def unescape_batch(field):
    """A field of the mariadb client's batch output (NULL, \\0 \\t \\n \\\\ escapes)."""
    if field == b"NULL":
        return None
    out, i = bytearray(), 0
    while i < len(field):
        if field[i] == 0x5C and i + 1 < len(field):
            out += {b"0": b"\0", b"t": b"\t", b"n": b"\n", b"\\": b"\\"}.get(
                field[i + 1:i + 2], field[i:i + 2])
            i += 2
        else:
            out.append(field[i])
            i += 1
    return out.decode("utf-8", "surrogateescape")


class Installation:
    """A trel installation made by `trel init`, on SQLite or on the MariaDB test server.
    select() gives rows of str (bytes decoded as UTF-8, invalid bytes kept) or None."""

    def __init__(self, ctx, backend, name=None, join=None):
        """join: another MariaDB installation, whose database this one's `trel init` joins
        (another web server's root); init_output is what that init said."""
        self.ctx = ctx
        self.name = name or backend
        self.root = ctx.path(f"root-{self.name}")
        if backend == "sqlite":
            self.backend = backend
            self.init_output = self.trel("init", self.root)
        else:
            self.replace_with_mysql(database=join and join.database)

    def replace_with_mysql(self, *options, database=None):
        """`trel init` on a database of its own on the MariaDB test server (or on the one
        named); with "--force", in place of the installation there."""
        self.backend = "mysql"
        self.mysql = mysql_settings()
        self.database = database or create_mysql_database(self.ctx, self.mysql, "trel_e2e")
        password_file = self.ctx.path(f"mysql-password-{self.name}")
        with open(password_file, "w") as f:
            f.write(self.mysql["password"])
        self.init_output = self.trel("init", self.root, *options, "--mysql", f"{self.mysql['host']}:{self.mysql['port']}",
                  "--database", self.database, "--user", self.mysql["user"],
                  "--password-file", password_file)

    def trel(self, *args):
        done = subprocess.run([self.ctx.tool, *args], capture_output=True, text=True)
        expect(done.returncode == 0, f"trel {' '.join(args)}: {done.stdout}{done.stderr}")
        return done.stdout

    def select(self, sql):
        if self.backend == "sqlite":
            connection = sqlite3.connect(os.path.join(self.root, "data", "trel.db"))
            try:
                rows = connection.execute(sql).fetchall()
            finally:
                connection.close()
            return [tuple(None if v is None else
                          v.decode("utf-8", "surrogateescape") if isinstance(v, bytes) else str(v)
                          for v in row) for row in rows]
        out = subprocess.run(mysql_command(self.mysql, self.database) + ["-e", sql],
                             check=True, capture_output=True).stdout
        return [tuple(unescape_batch(f) for f in line.split(b"\t"))
                for line in out.split(b"\n") if line]

    def value(self, sql):
        rows = self.select(sql)
        expect(len(rows) == 1 and len(rows[0]) == 1, f"{sql}: expected one value, got {rows!r}")
        return rows[0][0]

    # Every table that holds what a request produced (the token table is not one).
    REQUEST_TABLES = ("trel_requests", "trel_requests_urls", "trel_sql_statements", "trel_sql_queries",
                      "trel_log_entries", "trel_functions_stats", "trel_monitor_events",
                      "trel_processing_breakdown", "trel_superglobals_data", "trel_backtrace",
                      "trel_request_context")

    def request_data(self):
        """Everything stored of the requests, as one text to search."""
        return "\n".join("\t".join(v or "" for v in row)
                         for table in self.REQUEST_TABLES for row in self.select(f"SELECT * FROM {table}"))


class WriteLock:
    """Blocks the installation's writers: on SQLite the database's write lock, on
    MariaDB the table a request's write fills last (the write stops halfway)."""

    def __init__(self, inst):
        self.inst = inst
        if inst.backend == "sqlite":
            self.db = sqlite3.connect(os.path.join(inst.root, "data", "trel.db"), isolation_level=None)
            self.db.execute("BEGIN IMMEDIATE")
        else:
            self.client = subprocess.Popen(mysql_command(inst.mysql, inst.database) + ["--unbuffered"],
                                           stdin=subprocess.PIPE,
                                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            self.client.stdin.write(b"LOCK TABLES trel_superglobals_data WRITE; SELECT 'locked';\n")
            self.client.stdin.flush()
            expect(self.client.stdout.readline().strip() == b"locked", "LOCK TABLES failed")

    def writer_waiting(self):
        """On MariaDB, a session waits for the table: a write is halfway through."""
        return int(self.inst.value("SELECT COUNT(*) FROM information_schema.processlist "
                                   "WHERE state LIKE 'Waiting for table metadata lock'")) > 0

    def release(self):
        if self.inst.backend == "sqlite":
            self.db.execute("ROLLBACK")
            self.db.close()
        else:
            self.client.stdin.write(b"UNLOCK TABLES;\n")
            self.client.stdin.close()
            self.client.wait()


def body_diff(got, expected):
    """The first lines where two bodies differ, for a failure's message."""
    lines = difflib.unified_diff(expected.decode("utf-8", "replace").splitlines(),
                                 got.decode("utf-8", "replace").splitlines(), "without", "with", n=1, lineterm="")
    return "\n".join(line[:240] for line in list(lines)[:12])


class Response:
    def __init__(self, status, headers, body):
        self.status, self.headers, self.body = status, headers, body


def http_request(port, method, path, headers=None, body=None):
    """One request to a local web server; the response once its body has been read whole."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    try:
        connection.putrequest(method, path, skip_host="Host" in (headers or {}), skip_accept_encoding=True)
        for key, value in (headers or {}).items():
            connection.putheader(key, value)
        if body is not None:
            connection.putheader("Content-Length", str(len(body)))
        connection.endheaders(body)
        response = connection.getresponse()
        return Response(response.status, response.getheaders(), response.read())
    finally:
        connection.close()


def check_no_crash(name, log):
    """A server's log shows no crash, sanitizer report or memory corruption."""
    for sign in ("Segmentation fault", "core dumped", "zend_mm_heap corrupted", "AddressSanitizer",
                 "runtime error:", "terminate called"):
        expect(sign not in log, f"{name}: '{sign}' in the server's log")


class PhpServer:
    """`php -S` on a free port, with the extension (ini: its settings) or without
    (ini=None). Its output goes to a log file that check_healthy() reads."""

    def __init__(self, ctx, name, docroot, ini=None, env=None, options=(), port=None):
        self.ctx, self.name = ctx, name
        self.port = port or free_port()
        self.log_path = ctx.path(f"{name}.log")
        sessions = ctx.path(f"{name}-sessions")
        os.makedirs(sessions, exist_ok=True)
        args = ["php", "-S", f"127.0.0.1:{self.port}", "-t", docroot, "-d", f"session.save_path={sessions}"]
        for option in options:
            args += ["-d", option]
        if ini is not None:
            args += ["-d", f"extension={ctx.extension}"]
            # The checks read function rows: counted unless a check says otherwise.
            for key, value in {"function_stats": "1", **ini}.items():
                args += ["-d", f"trel.{key}={value}"]
        self.log = open(self.log_path, "wb")
        # A group of its own: the workers that PHP_CLI_SERVER_WORKERS forks end with it.
        self.process = subprocess.Popen(args, stdout=self.log, stderr=subprocess.STDOUT, cwd=docroot,
                                        start_new_session=True,
                                        env={**os.environ, **(env or {}), **(ctx.php_env if ini is not None else {})})
        ctx.cleanups.append(self.stop)
        deadline = time.time() + 10
        while True:
            expect(self.process.poll() is None, f"{name}: php -S exited: {self.read_log()}")
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                expect(time.time() < deadline, f"{name}: php -S does not listen")
                time.sleep(0.05)

    def request(self, method, path, headers=None, body=None):
        return http_request(self.port, method, path, headers, body)

    def read_log(self):
        self.log.flush()
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def check_healthy(self):
        """The server is still up and never reported a crash."""
        expect(self.process.poll() is None, f"{self.name}: php -S died ({self.process.returncode})")
        log = self.read_log()
        check_no_crash(self.name, log)

    def stop(self):
        try:
            os.killpg(self.process.pid, signal.SIGTERM)
            self.process.wait(10)
        except ProcessLookupError:
            pass
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        self.log.close()


def check_no_strays(inst):
    """Every row of a request's sections belongs to a stored request: a refused or
    failed request left nothing behind."""
    for table in ("trel_sql_queries", "trel_log_entries", "trel_functions_stats", "trel_monitor_events",
                  "trel_processing_breakdown", "trel_superglobals_data"):
        strays = inst.value(f"SELECT COUNT(*) FROM {table} WHERE request_id NOT IN (SELECT id FROM trel_requests)")
        expect(strays == "0", f"{strays} rows of {table} belong to no stored request")


def check_quiet_log(path):
    """The extension's log at level 0 holds only failures: it must be empty."""
    with open(path, "rb") as f:
        text = f.read()
    expect(not text, f"the extension logged failures: {text[:600]!r}")


class TextServer:
    """A local HTTP server answering every GET with one fixed text: the other URL
    that the application calls."""

    TEXT = b"remote text from the check"

    def __init__(self, ctx):
        text = self.TEXT

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Length", str(len(text)))
                self.end_headers()
                self.wfile.write(text)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        ctx.cleanups.append(self.server.shutdown)


def stored_requests(installation):
    """The stored requests, oldest first: [(url, dict of the request row)]."""
    columns = ("id", "page_id", "status_code", "method", "start_time", "request_time",
               "is_primary_page", "peak_memory_usage", "data_size", "memory_limit")
    rows = installation.select(
        f"SELECT u.url, {', '.join('r.' + c for c in columns)} FROM trel_requests r "
        "JOIN trel_requests_urls u ON u.id = r.url_id ORDER BY r.id")
    return [(row[0], dict(zip(columns, row[1:]))) for row in rows]


class Stored:
    """What an installation holds of one request."""

    def __init__(self, inst, request_id):
        self.request_id = request_id
        where = f"WHERE request_id = {int(request_id)}"
        self.queries = inst.select(
            "SELECT s.prepared_statement, q.resolved_statement, q.status, q.rows_affected, q.query_time, "
            "q.error_message, q.transaction_id FROM trel_sql_queries q "
            f"LEFT JOIN trel_sql_statements s ON s.id = q.prepared_statement_id {where} ORDER BY q.id")
        self.errors = inst.select(
            "SELECT e.type, e.message, e.filename, e.line, e.silenced, b.backtrace FROM trel_log_entries e "
            f"LEFT JOIN trel_backtrace b ON b.id = e.backtrace_id {where} ORDER BY e.id")
        self.functions = {(scope or "", name): (int(calls), int(exclusive), int(inclusive))
                          for name, scope, calls, exclusive, inclusive in inst.select(
                              "SELECT function_name, function_scope, times_called, time_exclusive, "
                              f"time_inclusive FROM trel_functions_stats {where}")}
        self.events = sorted(r[0] for r in inst.select(f"SELECT agg_key FROM trel_monitor_events {where}"))
        self.breakdown = inst.select(
            f"SELECT database_time, network_time, local_time, php_time FROM trel_processing_breakdown {where}")
        self.samples = {(name, kind): data for name, data, kind in inst.select(
            f"SELECT sg_name, data, sample_type FROM trel_superglobals_data {where}")}

    def function(self, scope, name):
        expect((scope, name) in self.functions,
               f"no statistics of {scope}::{name}; stored: {sorted(self.functions)[:40]}")
        return self.functions[(scope, name)]

    def error(self, type_, text):
        found = [e for e in self.errors if e[0] == type_ and text in e[1]]
        expect(len(found) == 1, f"expected one {type_} '{text}', stored: {[e[:2] for e in self.errors]}")
        return found[0]



def check_whole(inst, row, label):
    """One admitted request was stored whole: its row with the figures of its end, one
    time breakdown that adds up to its time, and each superglobal's samples from its
    start and its end, the $_GET sample holding `label`."""
    expect(row["is_primary_page"] == "1", f"{label}: not a primary page")
    expect(int(row["request_time"]) > 0 and int(row["peak_memory_usage"]) > 0 and int(row["data_size"]) > 0
           and row["status_code"] != "0", f"{label}: request row incomplete: {row}")
    expect(len(row["page_id"]) >= 16 and inst.value(
        f"SELECT COUNT(*) FROM trel_requests WHERE page_id = '{row['page_id']}'") == "1",
           f"{label}: page id {row['page_id']!r} not unique")
    stored = Stored(inst, row["id"])
    expect(len(stored.breakdown) == 1 and min(int(t) for t in stored.breakdown[0]) >= 0
           and sum(int(t) for t in stored.breakdown[0]) == int(row["request_time"]),
           f"{label}: breakdown {stored.breakdown} of {row['request_time']} us")
    for name in ("_GET", "_POST", "_COOKIE", "_SERVER"):
        for kind in ("SAMPLE_START", "SAMPLE_END"):
            expect((name, kind) in stored.samples, f"{label}: no {kind} sample of {name}: {sorted(stored.samples)}")
    expect(label in stored.samples[("_GET", "SAMPLE_START")],
           f"{label}: $_GET sample lacks the request's label: {stored.samples[('_GET', 'SAMPLE_START')][:200]!r}")
    return stored


def run(name, main):
    """Runs main(ctx) and prints one closing line; the exit code tells ctest."""
    ctx = None
    try:
        ctx = Context(name)
        main(ctx)
    except CheckFailed as failure:
        print(f"{name}: FAILED: {failure}")
        return 1
    except Skipped as reason:
        print(f"{name}: passed what it could; skipped: {reason}")
        return 77
    finally:
        if ctx:
            ctx.close()
    print(f"{name}: passed")
    return 0
