"""End to end: the small application of tests/php/app served by `php -S` without the
extension and with it (on a SQLite installation, then on the MariaDB test server),
driven by real HTTP requests that the token and the user agent admit or refuse, and
what was stored read back with SQL."""

import concurrent.futures
import json
import os
import re
import secrets
import subprocess
import sys
import time

from harness import (Installation, PhpServer, Stored, TextServer, WriteLock, body_diff, check_no_strays, check_quiet_log,
                     check_whole, create_mysql_database, expect, free_port, mysql_settings, run, stored_requests,
                     wait_for)

APP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "app")
BROWSER = "Mozilla/5.0 (X11; Linux x86_64) E2E-Browser/1.0"
PHONE = "Mozilla/5.0 (Linux; Android 14) E2E-Phone/2.0"
ROBOT = "E2E-Robot/3.0 (+crawler)"
PASSWORD = "hunter2-E2E"
FORM = "application/x-www-form-urlencoded"


class Req:
    """One request of the run: `token` is 'cookie', 'header', a wrong token's text
    or None; `admitted` says whether the token and the user agent let it in."""

    def __init__(self, label, page, admitted, token="cookie", agent=BROWSER, query="",
                 body=None, cookies=b"", headers=None):
        self.label, self.page, self.admitted = label, page, admitted
        self.token, self.agent, self.body = token, agent, body
        self.path = f"/{page}?r={label}{query}"
        self.cookies, self.headers = cookies, headers or {}

    def send(self, server, token):
        headers = dict(self.headers)
        if self.agent:
            headers["User-Agent"] = self.agent
        cookies = [self.cookies] if self.cookies else []
        if self.token == "cookie":
            cookies.append(f"trel_token={token}".encode())
        elif self.token == "header":
            headers["X-Trel-Token"] = token
        elif self.token:
            cookies.append(f"trel_token={self.token}".encode())
        if cookies:
            headers["Cookie"] = b"; ".join(cookies)
        if self.body is not None:
            headers["Content-Type"] = FORM
        return server.request("POST" if self.body is not None else "GET", self.path, headers, self.body)


HOSTILE_BYTES = "&q=%FF%FE%00nul%C3%28"
BIG = 79 * 1024  # php -S refuses request headers from 80 KB on; the 100 KB cookie goes through php-cgi

# Refused and admitted requests alternate, so that one worker process serves each kind
# right after the other; a refused request to the same page comes first for PDO and
# mysqli, whose internal methods PHP asks the observers about afresh in each request.
REQUESTS = [
    Req("anon-shop", "shop.php", False, token=None),
    Req("shop", "shop.php", True),
    Req("robot-shop", "shop.php", False, agent=ROBOT),
    Req("errors", "errors.php", True, token="header", agent=PHONE),
    Req("wrong-token", "pdo.php", False, token="no-such-token"),
    Req("pdo", "pdo.php", True),
    Req("elsewhere", "errors.php", False, token="e2e-elsewhere"),
    Req("sqlite3", "sqlite3.php", True),
    Req("no-agent", "mysqli.php", False, agent=None),
    Req("mysqli", "mysqli.php", True, token="header"),
    Req("login-form", "login.php", True),
    Req("login", "login.php", True, body=f"user=ada&password={PASSWORD}".encode()),
    Req("login-refused", "login.php", False, token=None, body=f"user=ada&password={PASSWORD}".encode()),
    Req("file", "file.php", True),
    Req("remote", "remote.php", True),
    Req("huge-query", "hostile.php", True, query="&case=huge-query"),
    Req("recursion", "hostile.php", True, query="&case=recursion"),
    Req("query-exception", "hostile.php", True, query="&case=query-exception"),
    Req("udf-exception", "hostile.php", True, query="&case=udf-exception"),
    Req("memory", "hostile.php", True, query="&case=memory"),
    Req("timeout", "hostile.php", True, query="&case=timeout"),
    Req("bytes", "hostile.php", True, query="&case=input" + HOSTILE_BYTES,
        body=b"p=%00%FF%C3%28&raw=\xff\xfe\x00&password=" + PASSWORD.encode(),
        cookies=b"bad=\xff\xfe%00x; \xc3\x28=v"),
    Req("bytes-refused", "hostile.php", False, token=None, query="&case=input" + HOSTILE_BYTES,
        body=b"p=%00%FF%C3%28", cookies=b"bad=\xff\xfe%00x"),
    Req("big-cookie", "hostile.php", True, query="&case=input", cookies=b"big=" + b"C" * BIG),
    Req("too-big-cookie", "hostile.php", False, query="&case=input", cookies=b"big=" + b"C" * 100 * 1024),
    Req("shop-again", "shop.php", True, agent=PHONE),
]


def app_env(ctx, name, remote, mysql):
    data = ctx.path(f"{name}-data")
    os.makedirs(data, exist_ok=True)
    return {"E2E_DATA": data, "E2E_REMOTE": remote.url, "E2E_MYSQL_HOST": mysql["host"],
            "E2E_MYSQL_PORT": mysql["port"], "E2E_MYSQL_USER": mysql["user"],
            "E2E_MYSQL_PASSWORD": mysql["password"], "E2E_MYSQL_DATABASE": mysql["database"]}


def serve_all(server, token):
    responses = {}
    for req in REQUESTS:
        try:
            responses[req.label] = req.send(server, token)
        except ConnectionError:
            responses[req.label] = None  # the server refused the request itself
    # A page that went with its length arrives before its write ends; php -S serves one
    # request at a time, so the answer to one more comes after every write.
    server.request("GET", "/login.php")
    return responses


def compare(baseline, responses):
    for req in REQUESTS:
        plain, got = baseline[req.label], responses[req.label]
        expect((plain is None) == (got is None), f"{req.label}: answered with one server only")
        if plain is not None:
            expect(plain.status == got.status, f"{req.label}: status {got.status}, without the extension {plain.status}")
            expect(plain.body == got.body, f"{req.label}: the body differs from the one without the extension:\n"
                   f"{body_diff(got.body, plain.body)}")
    expect(baseline["too-big-cookie"] is None, "php -S took a 100 KB header: serve it through php -S then")


def check_request_rows(inst, stored, port, baseline):
    admitted = {r.label: r for r in REQUESTS if r.admitted}
    expect(len({url for url, _ in stored}) == len(stored), f"a request stored twice: {[u for u, _ in stored]}")
    labels = {url.split("?r=")[1].split("&")[0]: url for url, _ in stored}
    stored = dict(stored)
    expect(set(labels) == set(admitted),
           f"stored {sorted(labels)}, admitted {sorted(admitted)}: every admitted request once, no refused one")
    for label, url in labels.items():
        req = admitted[label]
        expect(url == f"http://127.0.0.1:{port}{req.path}", f"{label}: stored URL {url!r}")
        row = stored[url]
        expect(row["method"] == ("POST" if req.body is not None else "GET"), f"{label}: method {row['method']}")
        expect(row["status_code"] == str(baseline[label].status), f"{label}: status {row['status_code']}")
        check_whole(inst, row, label)
    return {label: Stored(inst, stored[url]["id"]) for label, url in labels.items()}


def check_contents(s):
    """The sections of each admitted request as the application made them."""
    shop = s["shop"]
    expect(shop.function("Shop\\Cart", "add")[0] == 3, "Cart::add: 3 calls")
    expect(shop.function("Shop\\Price", "format")[0] == 6, "Price::format: 5 calls in the page, 1 in Report")
    build = shop.function("Shop\\Report", "build")
    render = shop.function("Shop\\Report", "render")
    expect(build[0] == 1 and render[0] == 1 and build[2] >= render[2] >= render[1] >= 0,
           f"Report::build {build}, Report::render {render}: inclusive time covers the callee")
    warning = shop.error("E_WARNING", 'Undefined array key "discount"')
    expect(warning[2].endswith("lib/shop.php") and warning[4] == "0", f"warning: {warning[:5]}")
    trace = warning[5] or ""
    expect("Shop\\Report->render" in trace and "Shop\\Report->build" in trace
           and trace.index("render") < trace.index("build"), f"warning's backtrace:\n{trace}")
    expect(shop.events == ["shop.cart", "shop.viewed"], f"shop events: {shop.events}")
    expect(s["shop-again"].function("Shop\\Cart", "add")[0] == 3, "the second shop request counts afresh")

    errors = s["errors"]
    errors.error("E_WARNING", "Undefined variable $reallyUndefined")
    errors.error("E_USER_NOTICE", "a user notice")
    errors.error("E_USER_DEPRECATED", "a user deprecation")
    errors.error("E_DEPRECATED", "strlen(): Passing null")
    silenced = errors.error("E_WARNING", "file_get_contents(/nonexistent/e2e-silenced)")
    expect(silenced[4] == "1", "the @-silenced warning is not marked silenced")
    expect([e[4] for e in errors.errors].count("1") == 1, "only the @ warning is silenced")

    pdo = s["pdo"].queries
    inserts = [q for q in pdo if q[0] == "INSERT INTO items (id, name, cents) VALUES (?, ?, ?)"]
    expect([q[1] for q in inserts] == ["INSERT INTO items (id, name, cents) VALUES (1, 'rain jacket', 8990)",
                                        "INSERT INTO items (id, name, cents) VALUES (2, 'o''clock socks', 450)",
                                        "INSERT INTO items (id, name, cents) VALUES (3, 'umbrella', 1200)"],
           f"PDO inserts: {pdo}")
    transaction = {q[6] for q in inserts}
    update = [q for q in pdo if q[1] == "UPDATE items SET cents = 0 WHERE id = 1"]
    expect(len(transaction) == 1 and None not in transaction and "0" not in transaction and len(update) == 1
           and update[0][6] not in transaction | {"0", None}, f"transaction ids: inserts {transaction}, update {update}")
    select = [q for q in pdo if q[0] == "SELECT name, cents FROM items WHERE cents > :min ORDER BY id"]
    expect(len(select) == 1 and select[0][1] == "SELECT name, cents FROM items WHERE cents > 1000 ORDER BY id",
           f"PDO select: {select}")
    check_failed_query(s["pdo"], "SELECT * FROM no_such_table", "no such table")

    sq3 = s["sqlite3"].queries
    expect([q[1] for q in sq3 if q[0] == "INSERT INTO notes (id, body) VALUES (:id, :body)"]
           == ["INSERT INTO notes (id, body) VALUES (1, 'first note')",
               "INSERT INTO notes (id, body) VALUES (2, 'second note')"], f"SQLite3 inserts: {sq3}")
    expect(any(q[1] == "SELECT body FROM notes ORDER BY id" for q in sq3), f"SQLite3 query: {sq3}")
    check_failed_query(s["sqlite3"], "INSERT INTO missing_table VALUES (1)", "no such table")

    my = s["mysqli"].queries
    inserts = [q for q in my if q[0] == "INSERT INTO orders (id, customer, cents) VALUES (?, ?, ?)"]
    expect([q[1] for q in inserts] == ["INSERT INTO orders (id, customer, cents) VALUES (1, 'Ada', 1999)",
                                        "INSERT INTO orders (id, customer, cents) VALUES (2, 'Grace', 250)"]
           and len({q[6] for q in inserts}) == 1 and inserts[0][6] not in ("0", None), f"mysqli inserts: {my}")
    expect(any(q[1] == "SELECT customer, cents FROM orders ORDER BY id" for q in my), f"mysqli real_query: {my}")
    check_failed_query(s["mysqli"], "SELECT * FROM no_such_table", "doesn't exist")
    database_time = sum(int(q[4]) for q in my)
    expect(int(s["mysqli"].breakdown[0][0]) >= database_time > 0,
           f"mysqli: database time {s['mysqli'].breakdown[0][0]}, queries {database_time}")

    login = s["login"]
    post = login.samples[("_POST", "SAMPLE_START")]
    expect("ada" in post and "***" in post, f"$_POST sample: {post!r}")
    expect("ada" in login.samples.get(("_SESSION", "SAMPLE_END"), ""), f"no session sample: {sorted(login.samples)}")
    expect("***" in s["shop"].samples[("_COOKIE", "SAMPLE_START")], "the token cookie is not masked")
    expect(int(s["file"].breakdown[0][2]) > 0, f"file: no local time: {s['file'].breakdown}")
    expect(int(s["remote"].breakdown[0][1]) > 0, f"remote: no network time: {s['remote'].breakdown}")

    huge = [q for q in s["huge-query"].queries if q[0] and q[0].startswith("SELECT length('xxx")]
    expect(len(huge) == 1 and huge[0][2] is not None, f"huge query: {[(q[0] or '')[:40] for q in s['huge-query'].queries]}")
    deep = s["recursion"].error("E_USER_WARNING", "bottom of the recursion")
    # The innermost frames, as many as the extension keeps (it may cut the deepest).
    trace = deep[5] or ""
    expect(trace.startswith("#0 ") and "trigger_error(" in trace and trace.count("Shop\\recurse(") >= 90,
           f"the deep backtrace: {trace[:300]}")
    s["query-exception"].error("E_ERROR", "Uncaught PDOException")
    check_failed_query(s["query-exception"], "SELECT * FROM no_such_table", "no such table")
    expect(any(q[1] == "SELECT explode_now()" and q[5] == "thrown inside the query" for q in s["udf-exception"].queries),
           f"the query whose function threw: {s['udf-exception'].queries}")
    expect("big" in s["big-cookie"].samples[("_COOKIE", "SAMPLE_START")], "the big cookie's sample")
    # Fatal errors that end the script inside calls: the calls still add up.
    s["memory"].error("E_ERROR", "Allowed memory size of 16777216 bytes exhausted")
    s["timeout"].error("E_ERROR", "Maximum execution time of 1 second exceeded")
    calls, exclusive, inclusive = s["timeout"].function("Shop\\Price", "format")
    expect(calls > 0 and 0 <= exclusive <= inclusive, f"Price::format cut by the time limit: {calls, exclusive, inclusive}")
    # Invalid UTF-8 and NUL bytes are kept byte for byte (PHP's serialize() format); the
    # password is masked, and every cookie's value, its length shown.
    raw = {name: s["bytes"].samples[(name, "SAMPLE_START")].encode("utf-8", "surrogateescape")
           for name in ("_GET", "_POST", "_COOKIE")}
    expect(raw["_GET"] == b'a:3:{s:1:"r";s:5:"bytes";s:4:"case";s:5:"input";s:1:"q";s:8:"\xff\xfe\x00nul\xc3(";}'
           and raw["_POST"] == b'a:3:{s:1:"p";s:4:"\x00\xff\xc3(";s:3:"raw";s:3:"\xff\xfe\x00";s:8:"password";s:3:"***";}'
           and re.fullmatch(rb'a:3:{s:3:"bad";s:12:"\*\*\*\(4 bytes\)";s:2:"\xc3\(";s:11:"\*\*\*\(1 byte\)";'
                            rb's:10:"trel_token";s:\d+:"\*\*\*\(\d+ bytes\)";}', raw["_COOKIE"]),
           f"samples of invalid UTF-8 and NUL bytes: {raw}")


def check_failed_query(stored, text, message):
    failed = [q for q in stored.queries if (q[1] or q[0]) == text]
    expect(len(failed) == 1 and failed[0][2] not in (None, "0") and message in (failed[0][5] or ""),
           f"failed query {text}: {failed}; all: {stored.queries}")
    expect(stored.events, f"no monitor event for the failed query {text}")


def check_tool(ctx, inst, stored):
    """The operator's tool shows the requests with hostile contents, as text and as
    an HTML page."""
    for label in ("shop", "huge-query", "recursion", "query-exception", "udf-exception", "bytes", "big-cookie"):
        request_id = stored[label].request_id
        text = inst.trel("show", inst.root, request_id)
        expect(f"request {request_id} " in text and f"r={label}" in text, f"trel show {label}: {text[:300]}")
        page = ctx.path(f"show-{inst.backend}-{label}.html")
        inst.trel("show", inst.root, request_id, "--html", page)
        expect(os.path.getsize(page) > 0, f"trel show --html {label}: empty")


def held_by_lock(server, inst, token):
    """With the database locked, php -S sends an admitted page whole, with its length,
    while its write waits (the connection itself closes after the write); the request is
    stored once the lock goes."""
    lock = WriteLock(inst)
    try:
        response = Req("held", "worker.php", True).send(server, token)
        length = {name.lower(): value for name, value in response.headers}.get("content-length")
        expect(response.status == 200 and length == str(len(response.body)) and b"data-trel-page" in response.body,
               f"the page held by the lock: {response.status}, length {length} of {len(response.body)} bytes")
        expect(not any("r=held" in url for url, _ in stored_requests(inst)), "stored while the database was locked")
    finally:
        lock.release()
    server.request("GET", "/login.php")  # served after the write
    expect(any("r=held" in url for url, _ in stored_requests(inst)), "the write held by the lock was not stored")


def rss_bytes(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmRSS:"))


def bounded_request(ctx, inst, token):
    """php -S as php.ini-development sets it up (a default output buffer, start-up errors
    shown): one page of 40,001 queries and 2,000 errors grows the worker by less than
    16 MB, measured in /proc before and after (the page served twice without a token
    first, so that PHP's own memory is in place). The request keeps its first 1,000
    queries and 500 errors and one row each for the rest, with the exact totals. Then a
    form with more fields than max_input_vars: PHP's warning, shown from its default
    buffer ahead of the page, is counted in the page's Content-Length."""
    n, e, failed = 40000, 2000, 400
    server = PhpServer(ctx, f"php-many-{inst.backend}", APP, ini={"root": inst.root, "function_stats": "0"},
                       options=("output_buffering=4096", "display_startup_errors=1", "display_errors=1",
                                "memory_limit=64M"))
    path = f"/many.php?r=many&n={n}&e={e}"
    page = f"<p>{n} inserts, {failed} failed, {e} notices</p>".encode()
    for _ in range(2):
        expect(page in server.request("GET", path, {"User-Agent": ROBOT}).body, "the page of many queries")
    before = rss_bytes(server.process.pid)
    response = server.request("GET", path, {"User-Agent": BROWSER, "Cookie": f"trel_token={token}"})
    expect(page in response.body and b"data-trel-page" in response.body, "the admitted page of many queries")
    server.request("GET", "/login.php")  # served after the write
    growth = rss_bytes(server.process.pid) - before
    # A sanitized module's allocations go through AddressSanitizer's quarantine and shadow
    # memory, which hold freed memory back on purpose: its RSS says nothing of the bound.
    sanitized = b"libasan" in subprocess.run(["ldd", ctx.extension], capture_output=True).stdout
    if sanitized:
        print(f"php_e2e_check: the worker's growth not judged under AddressSanitizer ({growth >> 10} KiB)")
    else:
        expect(growth < 16 << 20, f"one page of {n + 1} queries grew the worker by {growth >> 10} KiB")
    row = next(row for url, row in stored_requests(inst) if "r=many" in url)
    stored = Stored(inst, row["id"])
    kept, rest = stored.queries[:-1], stored.queries[-1]
    # The kept: the table's creation and the first 999 inserts, 9 of which failed.
    expect(len(kept) == 1000 and sum(q[2] != "0" or bool(q[5]) for q in kept) == 9
           and sum(int(q[3]) for q in kept) == 990, f"{len(kept)} queries kept")
    expect(rest[1:4] == (f"{n + 1 - 1000} more queries not kept", "0", str(n - 999 - (failed - 9)))
           and rest[5] == f"{failed - 9} of them failed" and int(rest[4]) > 0,
           f"the row of the queries not kept: {rest}")
    expect(len(stored.errors) == 501 and stored.errors[-1][1] == f"{e - 500} more errors not kept"
           and stored.errors[499][1] == "notice 500", f"{len(stored.errors)} errors, the last {stored.errors[-1]}")
    page_id = row["page_id"]
    answer = server.request("GET", f"/many.php?__trel_summary={page_id}",
                            {"User-Agent": BROWSER, "Cookie": f"trel_token={token}"})
    summary = json.loads(answer.body)
    expect((summary["queries"], summary["failed_queries"], summary["queries_not_kept"],
            summary["errors"], summary["errors_not_kept"]) == (n + 1, failed, n + 1 - 1000, e, e - 500),
           f"the bar's summary of the page of many queries: {summary}")
    listing = server.request("GET", "/many.php?__trel_requests=1&trel_url=r%3Dmany",
                             {"User-Agent": BROWSER, "Cookie": f"trel_token={token}"}).body.decode()
    listed = json.loads(re.search(r'id="trel-data">(.*?)</script>', listing, re.S).group(1))["list"]["requests"]
    expect([(r["queries"], r["failed_queries"], r["errors"]) for r in listed] == [(n + 1, failed, e)],
           f"the requests list of the page of many queries: {listed}")

    form = "&".join(f"f{i}=1" for i in range(1001)).encode()
    response = server.request("POST", "/worker.php?r=many-fields", {
        "User-Agent": BROWSER, "Cookie": f"trel_token={token}", "Content-Type": FORM}, form)
    length = {name.lower(): value for name, value in response.headers}.get("content-length")
    expect(response.status == 200 and b"Input variables exceeded 1000" in response.body
           and response.body.endswith(b"</html>\n") and b"data-trel-page" in response.body
           and length == str(len(response.body)),
           f"a page after a start-up warning: length {length} of {len(response.body)} bytes, "
           f"ending {response.body[-60:]!r}")
    server.check_healthy()
    print(f"{inst.backend}: a page of {n + 1} queries and {e} errors grew php -S by {growth >> 10} KiB")


def php_cgi_big_cookie(ctx, inst, token):
    """A 100 KB cookie reaches PHP through the CGI SAPI (php -S stops at 80 KB)."""
    env = {"REDIRECT_STATUS": "200", "GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "GET",
           "SCRIPT_FILENAME": os.path.join(APP, "hostile.php"), "SCRIPT_NAME": "/hostile.php",
           "REQUEST_URI": "/hostile.php?r=cgi-cookie&case=input", "QUERY_STRING": "r=cgi-cookie&case=input",
           "SERVER_NAME": "127.0.0.1", "SERVER_PORT": "80", "HTTP_HOST": "127.0.0.1", "HTTP_USER_AGENT": BROWSER,
           "HTTP_COOKIE": "big=" + "K" * 100 * 1024 + f"; trel_token={token}", "PATH": os.environ["PATH"],
           **ctx.php_env}
    # Named in clear, the cookie is stored whole.
    done = subprocess.run(["php-cgi", "-d", f"extension={ctx.extension}", "-d", f"trel.root={inst.root}",
                           "-d", "trel.clear_cookies=big"],
                          env=env, capture_output=True, timeout=60)
    expect(done.returncode == 0 and b"_COOKIE" in done.stdout, f"php-cgi: {done.returncode} {done.stderr[-400:]!r}")
    rows = inst.select("SELECT r.id FROM trel_requests r JOIN trel_requests_urls u ON u.id = r.url_id "
                       "WHERE u.url LIKE '%r=cgi-cookie%'")
    expect(len(rows) == 1, f"php-cgi's request with a 100 KB cookie: {rows}")
    expect("KKKK" in Stored(inst, rows[0][0]).samples.get(("_COOKIE", "SAMPLE_START"), ""), "its cookie sample")


def forked_workers(ctx, inst, token, env):
    """php -S forks its workers after PHP's start-up (as php-fpm does): each worker makes
    its own collector, and concurrent requests are all stored."""
    server = PhpServer(ctx, f"php-workers-{inst.backend}", APP, env={**env, "PHP_CLI_SERVER_WORKERS": "3"},
                       ini={"root": inst.root, "log_file": ctx.path(f"trel-workers-{inst.backend}.log")})
    labels = [f"worker-{i}" for i in range(12)]
    with concurrent.futures.ThreadPoolExecutor(3) as pool:
        statuses = list(pool.map(lambda label: Req(label, "shop.php", True).send(server, token).status, labels))
    expect(statuses == [200] * len(labels), f"forked workers answered {statuses}")
    server.check_healthy()
    # The pages went with their length: the last writes may still be under way.
    query = ("SELECT u.url, r.page_id FROM trel_requests r JOIN trel_requests_urls u ON u.id = r.url_id "
             "WHERE u.url LIKE '%r=worker-%'")
    wait_for(lambda: len(inst.select(query)) >= len(labels), "the forked workers' writes")
    stored = inst.select(query)
    expect(sorted(url.rsplit("r=", 1)[1] for url, _ in stored) == sorted(labels)
           and len({page for _, page in stored}) == len(labels), f"requests of forked workers: {stored}")
    if inst.backend == "sqlite":
        replaced_under_workers(inst, server, token)
    check_quiet_log(ctx.path(f"trel-workers-{inst.backend}.log"))


def replaced_under_workers(inst, server, token):
    """`trel init --force` replaces the installation while the workers keep its database
    open: their next requests land in the new database, none in the file moved away
    (the old requests are gone with it)."""
    inst.trel("init", inst.root, "--force")
    inst.trel("token", "add", inst.root, token, "--ttl", "1d")
    inst.trel("agent", "add", inst.root, "Browsers", "E2E-Browser/")
    labels = [f"replaced-{i}" for i in range(9)]
    with concurrent.futures.ThreadPoolExecutor(3) as pool:
        statuses = list(pool.map(lambda label: Req(label, "shop.php", True).send(server, token).status, labels))
    expect(statuses == [200] * len(labels), f"workers after the replacement answered {statuses}")
    server.check_healthy()

    def stored():
        return sorted(url.rsplit("r=", 1)[1] for (url,) in inst.select(
            "SELECT u.url FROM trel_requests r JOIN trel_requests_urls u ON u.id = r.url_id"))

    # The pages are out before the workers write.
    deadline = time.time() + 15
    while len(stored()) < len(labels) and time.time() < deadline:
        time.sleep(0.1)
    expect(stored() == sorted(labels), f"the new database holds {stored()}, not the 9 requests after it")
    expect(inst.value("SELECT COUNT(DISTINCT request_id) FROM trel_functions_stats WHERE function_name = 'add'")
           == str(len(labels)), "their function rows are stored too")


def mysql_restart(ctx, token, remote, mysql):
    """A worker that stored a request keeps its server session; the server restarts
    (on a private server, so that the other checks' sessions live on), and the worker's
    next request is stored all the same."""
    script = os.path.join(os.environ["TREL_SOURCE_DIR"], "scripts", "mariadb-test-server")
    folder = ctx.path("mariadb-restart")
    subprocess.run([script, "start", folder], check=True, capture_output=True)
    ctx.cleanups.append(lambda: subprocess.run([script, "stop", folder], capture_output=True))
    with open(os.path.join(folder, "env")) as env:
        private = dict(line.strip().split("=", 1) for line in env if "=" in line)
    shared = {name: os.environ.get(name) for name in private}
    os.environ.update(private)
    try:
        inst = Installation(ctx, "mysql-restart")
    finally:
        for name, value in shared.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
    inst.trel("token", "add", inst.root, token, "--ttl", "1d")
    inst.trel("agent", "add", inst.root, "Browsers", "E2E-Browser/")
    log = ctx.path("trel-mysql-restart.log")
    server = PhpServer(ctx, "php-mysql-restart", APP, ini={"root": inst.root, "log_file": log},
                       env=app_env(ctx, "app-mysql-restart", remote, mysql))
    def stored():
        return sorted(url.rsplit("r=", 1)[1] for (url,) in inst.select(
            "SELECT u.url FROM trel_requests r JOIN trel_requests_urls u ON u.id = r.url_id"))

    # The page is out before the worker writes: each request's row is waited for.
    for label in ("before-restart", "after-restart"):
        if label == "after-restart":
            subprocess.run([script, "restart", folder], check=True, capture_output=True)
        response = Req(label, "shop.php", True).send(server, token)
        expect(response.status == 200, f"{label}: status {response.status}")
        deadline = time.time() + 15
        while label not in stored() and time.time() < deadline:
            time.sleep(0.1)
    server.check_healthy()
    expect(stored() == ["after-restart", "before-restart"], f"stored around the restart: {stored()}")
    check_quiet_log(log)


def installation_files(ctx, pid):
    """The database files of any installation under the check's folder that the process
    holds open or mapped, as /proc shows them (" (deleted)" after a removed file)."""
    held = []
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            held.append(os.readlink(f"/proc/{pid}/fd/{fd}"))
        except OSError:
            pass  # closed meanwhile
    with open(f"/proc/{pid}/maps") as maps:
        held += [line.split(None, 5)[5].strip() for line in maps if len(line.split(None, 5)) == 6]
    return sorted({path for path in held if path.startswith(ctx.work)
                   and os.path.basename(path.split(" (deleted)")[0]).startswith("trel.db")})


def follows_installation(ctx, token, remote, mysql):
    """A running worker follows its installation, never restarted: a user-agent pattern
    removed refuses the browser at its next request with a token, and added again
    admits it; an installation replaced under a worker that then serves only requests
    without a token has its old database let go at the first request a second later; a
    SQLite installation replaced by a MariaDB one stores the next admitted request there,
    with the bar. phpinfo() and the log say which installation the worker uses."""
    inst = Installation(ctx, "sqlite", "follow")
    inst.trel("token", "add", inst.root, token, "--ttl", "1d")
    pattern = inst.trel("agent", "add", inst.root, "Browsers", "E2E-Browser/").split()[3]
    log = ctx.path("trel-follow.log")
    # Without workers php -S serves every request in its own process.
    server = PhpServer(ctx, "php-follow", APP, ini={"root": inst.root, "log_file": log, "log_level": "1"},
                       env=app_env(ctx, "app-follow", remote, mysql))
    pid = server.process.pid

    def send(label, presented="cookie"):
        response = Req(label, "worker.php", True, token=presented).send(server, token)
        expect(response.status == 200 and f"<p>pid {pid}</p>".encode() in response.body,
               f"{label}: {response.status} {response.body[-200:]!r}")
        # The write follows the page; the next request is served after it.
        server.request("GET", "/login.php")
        return b"data-trel-page" in response.body

    def stored():
        return sorted(url.rsplit("r=", 1)[1] for (url,) in inst.select(
            "SELECT u.url FROM trel_requests r JOIN trel_requests_urls u ON u.id = r.url_id"))

    def info():
        return server.request("GET", "/info.php").body.decode("utf-8", "replace")

    expect("not read yet in this process" in info(), "phpinfo() before any request with a token")
    expect(send("follow-admitted") and stored() == ["follow-admitted"], f"the first request: {stored()}")
    sqlite_text = f"SQLite database {inst.root}/data/trel.db"
    expect(sqlite_text in info(), f"phpinfo() does not name {sqlite_text}")

    inst.trel("agent", "remove", inst.root, pattern)
    expect(not send("follow-removed"), "the browser is admitted after its pattern was removed")
    expect(stored() == ["follow-admitted"], f"stored after the pattern was removed: {stored()}")
    inst.trel("agent", "add", inst.root, "Browsers", "E2E-Browser/")
    expect(send("follow-readded") and stored() == ["follow-admitted", "follow-readded"],
           f"the pattern added again: {stored()}")
    held = installation_files(ctx, pid)
    expect(f"{inst.root}/data/trel.db" in held, f"the worker's database files: {held}")

    # Replaced: the old folder is moved aside and removed, its database with it.
    inst.trel("init", inst.root, "--force")
    held = installation_files(ctx, pid)
    expect(held and all(path.endswith(" (deleted)") for path in held), f"right after the replacement: {held}")
    time.sleep(1.1)
    expect(not send("follow-visitor", presented=None), "a request without a token was admitted")
    held = installation_files(ctx, pid)
    expect(held == [], f"a second after the replacement, a request without a token left {held} open")

    inst.replace_with_mysql("--force")
    inst.trel("token", "add", inst.root, token, "--ttl", "1d")
    inst.trel("agent", "add", inst.root, "Browsers", "E2E-Browser/")
    time.sleep(1.1)
    response = Req("follow-mysql", "worker.php", True).send(server, token)
    page = re.search(rb'data-trel-page="([0-9a-f]+)"', response.body)
    expect(response.status == 200 and page, f"on MariaDB: {response.status} {response.body[-200:]!r}")
    wait_for(lambda: stored() == ["follow-mysql"], "the request on MariaDB")
    summary = server.request("GET", f"/worker.php?__trel_summary={page.group(1).decode()}",
                             {"User-Agent": BROWSER, "Cookie": f"trel_token={token}"})
    expect(summary.status == 200 and json.loads(summary.body)["id"] == int(inst.value("SELECT id FROM trel_requests")),
           f"the bar's summary from MariaDB: {summary.status} {summary.body[:200]!r}")
    mysql_text = (f"MariaDB/MySQL database {inst.database} on {inst.mysql['host']}:{inst.mysql['port']}, "
                  f"user {inst.mysql['user']}")
    expect(mysql_text in info(), f"phpinfo() does not name {mysql_text}")
    expect(installation_files(ctx, pid) == [], "a SQLite file is held after the move to MariaDB")
    server.check_healthy()

    with open(log) as f:
        lines = f.read().splitlines()
    reads = [line for line in lines if "trel: reading the installation at" in line]
    changes = [line for line in lines if f"trel: the installation at {inst.root} changed" in line]
    expect(len(reads) == 4 and all(line.endswith(sqlite_text) for line in reads[:3])
           and reads[3].endswith(mysql_text), f"the log's reads of the installation: {reads}")
    # Seen at the requests after the pattern's removal and addition, and at the request
    # without a token after the replacement; the move to MariaDB was met unread.
    expect(len(changes) == 3, f"the log's changes of the installation: {changes}")
    expect(len(lines) == 7, f"the log holds more than the installation's reads and changes: {lines}")


def shared_database(ctx, token, remote, mysql):
    """Two web servers' installations on one MariaDB database. A worker of the second one,
    never restarted, follows what the tool changes through the first one's root, each at
    its next request with a token: a browser pattern removed and added again, a token
    added and one removed. Its own root's stamp is never written meanwhile: the database
    alone tells it."""
    first = Installation(ctx, "mysql", "shared-a")
    second = ctx.path("root-shared-b")
    joined = first.trel("init", second, "--mysql", f"{first.mysql['host']}:{first.mysql['port']}",
                        "--database", first.database, "--user", first.mysql["user"],
                        "--password-file", ctx.path("mysql-password-shared-a"))
    expect(joined.startswith("joined"), f"the second server's init: {joined}")
    first.trel("token", "add", first.root, token, "--ttl", "1d")
    pattern = first.trel("agent", "add", first.root, "Browsers", "E2E-Browser/").split()[3]
    log = ctx.path("trel-shared.log")
    server = PhpServer(ctx, "php-shared", APP, ini={"root": second, "log_file": log, "log_level": "1"},
                       env=app_env(ctx, "app-shared", remote, mysql))
    with open(os.path.join(second, "data", "trel.stamp"), "rb") as f:
        stamp = f.read()

    def send(label, presented):
        response = Req(label, "worker.php", True).send(server, presented)
        expect(response.status == 200, f"{label}: {response.status} {response.body[-200:]!r}")
        # The write follows the page; the next request is served after it.
        server.request("GET", "/login.php")
        return b"data-trel-page" in response.body

    def stored():
        return sorted(url.rsplit("r=", 1)[1] for (url,) in first.select(
            "SELECT u.url FROM trel_requests r JOIN trel_requests_urls u ON u.id = r.url_id"))

    other = token + "-other"
    expect(send("shared-first", token), "the first request with the shared token was refused")
    first.trel("agent", "remove", first.root, pattern)
    expect(not send("shared-removed", token), "admitted after its pattern was removed on the other server")
    first.trel("agent", "add", first.root, "Browsers", "E2E-Browser/")
    expect(send("shared-readded", token), "refused after the pattern was added again on the other server")
    first.trel("token", "add", first.root, other, "--ttl", "1d")
    expect(send("shared-other", other), "refused with a token added on the other server")
    first.trel("token", "remove", first.root, token)
    expect(not send("shared-gone", token), "admitted with a token removed on the other server")
    expect(stored() == ["shared-first", "shared-other", "shared-readded"], f"stored: {stored()}")
    # Made by init, raised by each of the six changes.
    expect(first.value("SELECT generation FROM trel_generation") == "7",
           f"generation {first.value('SELECT generation FROM trel_generation')}")
    with open(os.path.join(second, "data", "trel.stamp"), "rb") as f:
        expect(f.read() == stamp, "the second server's stamp was written")
    server.check_healthy()

    with open(log) as f:
        lines = f.read().splitlines()
    reads = [line for line in lines if f"trel: reading the installation at {second}" in line]
    changes = [line for line in lines if f"trel: the installation at {second} changed" in line]
    expect(len(reads) == 5 and len(changes) == 4, f"the log's reads and changes: {lines}")
    expect(len(lines) == 9, f"the log holds more than the installation's reads and changes: {lines}")


def disabled(ctx, inst, token, env, baseline):
    """trel.enabled=0: a request the token and user agent would admit is served as
    without the extension and leaves nothing."""
    before = inst.value("SELECT COUNT(*) FROM trel_requests")
    server = PhpServer(ctx, f"php-disabled-{inst.backend}", APP, env=env, ini={"root": inst.root, "enabled": "0"})
    for req in (r for r in REQUESTS if r.label in ("shop", "errors")):
        response = req.send(server, token)
        expect((response.status, response.body) == (baseline[req.label].status, baseline[req.label].body),
               f"trel.enabled=0: {req.label} differs:\n{body_diff(response.body, baseline[req.label].body)}")
    server.check_healthy()
    expect(inst.value("SELECT COUNT(*) FROM trel_requests") == before, "trel.enabled=0 stored a request")


def run_backend(ctx, backend, baseline, token, remote, mysql, port):
    inst = Installation(ctx, backend)
    inst.trel("token", "add", inst.root, token, "--ttl", "1d", "--base-url", f"http://127.0.0.1:{port}/")
    inst.trel("token", "add", inst.root, "e2e-elsewhere", "--ttl", "1d", "--base-url", f"http://127.0.0.1:{port}/admin/")
    inst.trel("token", "add", inst.root, "e2e-cgi-" + token[4:], "--ttl", "1d", "--base-url", "http://127.0.0.1/")
    inst.trel("token", "add", inst.root, "e2e-any-" + token[4:], "--ttl", "1d")
    inst.trel("agent", "add", inst.root, "Browsers", "E2E-Browser/")
    inst.trel("agent", "add", inst.root, "Phones", "E2E-Phone/")
    server = PhpServer(ctx, f"php-{backend}", APP, ini={"root": inst.root, "log_file": ctx.path(f"trel-{backend}.log")},
                       env=app_env(ctx, f"app-{backend}", remote, mysql), port=port)
    responses = serve_all(server, token)
    server.check_healthy()
    compare(baseline, responses)
    stored = check_request_rows(inst, stored_requests(inst), port, baseline)
    check_contents(stored)
    check_tool(ctx, inst, stored)
    held_by_lock(server, inst, token)
    php_cgi_big_cookie(ctx, inst, "e2e-cgi-" + token[4:])
    bounded_request(ctx, inst, "e2e-any-" + token[4:])
    check_quiet_log(ctx.path(f"trel-{backend}.log"))
    forked_workers(ctx, inst, "e2e-any-" + token[4:], app_env(ctx, f"app-{backend}", remote, mysql))
    check_no_strays(inst)
    disabled(ctx, inst, token, app_env(ctx, f"app-{backend}", remote, mysql), baseline)
    data = inst.request_data()
    for secret in (PASSWORD, token, "e2e-cgi-" + token[4:], "e2e-any-" + token[4:]):
        expect(secret not in data, f"{secret} was stored")
    print(f"{backend}: {len(stored)} admitted requests stored whole, "
          f"{sum(not r.admitted for r in REQUESTS)} refused left no trace, bodies as without the extension")


def main(ctx):
    mysql = mysql_settings()
    mysql["database"] = create_mysql_database(ctx, mysql, "trel_e2e_app")
    remote = TextServer(ctx)
    plain = PhpServer(ctx, "php-plain", APP, env=app_env(ctx, "app-plain", remote, mysql))
    token = "e2e-" + secrets.token_hex(8)  # the same for every run: a page shows its cookies' digest
    baseline = serve_all(plain, token)
    plain.check_healthy()
    for backend in sys.argv[1:] or ("sqlite", "mysql"):
        run_backend(ctx, backend, baseline, token, remote, mysql, free_port())
        if backend == "mysql":
            mysql_restart(ctx, "e2e-restart-" + token[4:], remote, mysql)
            follows_installation(ctx, "e2e-follow-" + token[4:], remote, mysql)
            shared_database(ctx, "e2e-shared-" + token[4:], remote, mysql)


if __name__ == "__main__":
    sys.exit(run("php_e2e_check", main))
