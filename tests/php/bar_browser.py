"""The bar in a real browser: the shop of tests/php/app/bar under `php -S` with the
extension, loaded in headless Chromium with a token cookie for /bar/. The bar is a strip
at the bottom (whatever the page's own CSS says) with the summary that was stored, and
lists the page's two fetch calls and its XMLHttpRequest with their own figures; a click opens its panel. The
details view reads well (a query loop flagged, superglobals as tables, a password
masked), the requests list pages through 120 more stored requests, filters them, and
shows a token nothing outside its own path. Without the token, every address of the
bar's data answers the same 404, and the bar of a page a shared cache kept asks once and
stops. The page's script holds "</head>" and "</body>" in a
string and a comment after the page holds "</body>": the page's script still runs and
the bar goes where the browser has the tags. With TREL_SCREENSHOTS set, the bar, the panel, the
details and the list are saved there as PNG."""

import hashlib
import json
import os
import re
import sqlite3
import sys
import time
import urllib.error
import urllib.request

from cdp import Browser
from harness import Installation, PhpServer, expect, free_port, run

APP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "app")


def http_get(url, headers=None):
    request = urllib.request.Request(url, headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=30) as response:
            return response.status, response.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


def shadow(expression):
    """JavaScript for `expression` evaluated with `root` as the bar's shadow root."""
    return f"(function () {{ var root = document.getElementById('trel-bar').shadowRoot; return {expression}; }})()"


def generate_requests(inst, base, count, token):
    """`count` stored requests under /bar/, an hour old, written straight into the
    database as `token` admitted them: cheap, and the list reads them as it reads any
    other. Every tenth answered 500, every other one is a script's call."""
    db = sqlite3.connect(os.path.join(inst.root, "data", "trel.db"))
    with db:
        for n in range(count):
            url = f"{base}/bar/item.php?id={n}" if n % 3 else f"{base}/bar/cart.php"
            db.execute("INSERT OR IGNORE INTO trel_requests_urls (url_hash, url) VALUES (?, ?)", (url.encode(), url))
            url_id = db.execute("SELECT id FROM trel_requests_urls WHERE url = ?", (url,)).fetchone()[0]
            db.execute("INSERT INTO trel_requests (page_id, url_id, status_code, method, start_time, request_time, "
                       "is_primary_page, peak_memory_usage, data_size, memory_limit) VALUES (?, ?, ?, ?, "
                       "(strftime('%s', 'now') - 3600 + ?) * 1000, ?, ?, 400000, 1, 134217728)",
                       (os.urandom(16).hex(), url_id, 500 if n % 10 == 0 else 200, "POST" if n % 3 == 0 else "GET",
                        n, 800 + (n * 7919) % 40000, n % 2))
            # The owner, as the writer stores it: the SHA-256 of the token's name.
            db.execute("INSERT INTO trel_request_owners (request_id, token_hash) VALUES (last_insert_rowid(), ?)",
                       (hashlib.sha256(token.encode()).digest(),))
    db.close()


def main(ctx):
    inst = Installation(ctx, "sqlite")
    port = free_port()
    base = f"http://127.0.0.1:{port}"
    token, admin_token = "bar-browser", "bar-admin"
    inst.trel("token", "add", inst.root, token, "--ttl", "1d", "--base-url", f"{base}/bar/")
    inst.trel("token", "add", inst.root, admin_token, "--ttl", "1d", "--base-url", f"{base}/admin/")
    inst.trel("agent", "add", inst.root, "Chromium", "HeadlessChrome")
    inst.trel("agent", "add", inst.root, "Python", "Python-urllib")
    cached = ctx.path("cached.html")
    server = PhpServer(ctx, "bar-browser", APP, port=port, env={"PHP_CLI_SERVER_WORKERS": "3", "E2E_CACHED": cached},
                       ini={"root": inst.root, "log_file": ctx.path("trel.log")},
                       options=["display_errors=0"])
    shots = os.environ.get("TREL_SCREENSHOTS")
    browser = Browser(ctx)

    # An hour of history first, then a page of another path, stored for its own token.
    generate_requests(inst, base, 120, token)
    generated = int(inst.value("SELECT MAX(id) FROM trel_requests"))
    status, _ = http_get(f"{base}/admin/index.php", {"X-Trel-Token": admin_token})
    expect(status == 200, f"the admin page: {status}")

    # With the token: the bar, filled in from what was stored, and the page's two fetches.
    browser.call("Storage.setCookies", cookies=[{"name": "trel_token", "value": token, "url": f"{base}/"}])
    page = browser.page()
    shop_url = f"{base}/bar/shop.php?q=lamp&password=hunter2"
    page.open(shop_url)
    own_script = page.evaluate("window.shopScript")
    expect(own_script == 39, f"the page's own script did not run whole: {own_script}")
    state = page.wait_for("document.getElementById('trel-bar') && "
                          "document.getElementById('trel-bar').getAttribute('data-trel-state')",
                          "the bar's summary")
    expect(state == "shown", f"the bar says the request is {state}")
    page.wait_for(shadow("root.querySelectorAll('.later .xhr[data-trel-state=shown]').length === 3"),
                  "the two fetch calls and the XMLHttpRequest in the bar")
    bar = page.evaluate("""(function () {
        var bar = document.getElementById('trel-bar'), box = bar.getBoundingClientRect(), style = getComputedStyle(bar);
        var texts = {}, root = bar.shadowRoot, later = [];
        root.querySelectorAll('.facts [data-trel]').forEach(function (e) { texts[e.getAttribute('data-trel')] = e.textContent; });
        root.querySelectorAll('.later .xhr').forEach(function (chip) {
            var entry = {page: chip.getAttribute('data-trel-page'), href: chip.getAttribute('href'),
                         visible: chip.getBoundingClientRect().height > 0};
            chip.querySelectorAll('[data-trel]').forEach(function (e) { entry[e.getAttribute('data-trel')] = e.textContent; });
            later.push(entry);
        });
        var fontSize = getComputedStyle(root.querySelector('.facts')).fontSize;
        return {page: bar.getAttribute('data-trel-page'), texts: texts, later: later, position: style.position,
                fontSize: fontSize,
                visible: style.display !== 'none' && style.visibility === 'visible' && box.width > 0 && box.height > 0,
                top: box.top, bottom: box.bottom, width: box.width,
                viewport: [document.documentElement.clientWidth, document.documentElement.clientHeight],
                onTop: document.elementFromPoint(box.left + 5, box.top + box.height / 2).closest('#trel-bar') === bar};
    })()""")
    # The page's stylesheet hides and restyles every div, a and span: not the bar's.
    expect(bar["visible"] and bar["onTop"] and bar["fontSize"] == "12px", f"the bar is not to be seen as it is: {bar}")
    expect(bar["position"] == "fixed" and abs(bar["bottom"] - bar["viewport"][1]) < 1
           and bar["width"] >= bar["viewport"][0] - 1 and bar["bottom"] - bar["top"] < 80,
           f"the bar is not a strip along the bottom of the window: {bar}")

    rows = inst.select("SELECT r.id, r.page_id, u.url, r.is_primary_page FROM trel_requests r "
                       f"JOIN trel_requests_urls u ON u.id = r.url_id WHERE u.url LIKE '%/bar/%' AND r.id > {generated} ORDER BY r.id")
    expect(len(rows) == 4, f"stored {rows}: the page and its three calls, not the bar's own requests")
    request_id, page_id, _, primary = rows[0]
    expect(primary == "1" and all(r[3] == "0" for r in rows[1:]),
           f"the page is the primary page, its fetches are not: {rows}")
    expect(bar["page"] == page_id, f"the bar names page {bar['page']}, stored {page_id}")

    def counts(rid):
        return tuple(int(inst.value(sql.format(rid))) for sql in (
            "SELECT COUNT(*) FROM trel_sql_queries WHERE request_id = {}",
            "SELECT COUNT(*) FROM trel_sql_queries WHERE request_id = {} AND (status <> 0 OR error_message <> '')",
            "SELECT COUNT(*) FROM trel_log_entries WHERE request_id = {}"))

    shown = inst.trel("show", inst.root, request_id)
    duration = re.search(r"^  duration +(.+)$", shown, re.M).group(1)
    memory = re.search(r"^  peak memory +(.+)$", shown, re.M).group(1)
    queries, failed, errors = counts(request_id)
    expect((queries, failed, errors) == (24, 0, 1), f"stored {queries} queries, {failed} failed, {errors} errors")
    expected = {"time": duration, "queries": f"{queries} queries", "failed": f"{failed} failed",
                "errors": f"{errors} error", "memory": re.sub(r" (of .*|\(no limit\))$", "", memory)}
    expect(bar["texts"] == expected, f"the bar shows {bar['texts']}, trel show and the database {expected}")

    # Each fetch with its own figures, linking to its own details.
    for rid, xhr_page, url, _ in rows[1:]:
        chip = next((c for c in bar["later"] if c["page"] == xhr_page), None)
        expect(chip and chip["visible"], f"no entry in the bar for {url}: {bar['later']}")
        q, f, e = counts(rid)
        time_us = int(inst.value(f"SELECT request_time FROM trel_requests WHERE id = {rid}"))
        want = {"method": "GET", "url": url[len(base):], "status": "200",
                "queries": f"{q} quer{'y' if q == 1 else 'ies'}" + (f" ({f} failed)" if f else ""),
                "errors": f"{e} error{'' if e == 1 else 's'}"}
        got = {k: chip.get(k) for k in want}
        expect(got == want, f"the bar's entry for {url}: {got}, stored {want}")
        expect(chip["time"] != "" and chip["href"] == f"/bar/shop.php?__trel={xhr_page}", f"the entry {chip}")
    expect(sorted(counts(r[0])[1] for r in rows[1:]) == [0, 0, 1], "one fetch fails its SQL, the other calls do not")
    if shots:
        os.makedirs(shots, exist_ok=True)
        page.screenshot(os.path.join(shots, "bar.png"))

    # A click on the bar opens its panel: the slowest queries, the errors, the later requests.
    page.evaluate(shadow("root.querySelector('.brand').click()"))
    page.wait_for(shadow("root.querySelector('.panel').getAttribute('data-trel-state') === 'shown'"), "the panel")
    panel = page.evaluate(shadow("""{visible: root.querySelector('.panel').getBoundingClientRect().height > 50,
        above: root.querySelector('.panel').getBoundingClientRect().bottom <= root.querySelector('.bar').getBoundingClientRect().top + 1,
        queries: root.querySelectorAll('[data-trel-panel=queries] li').length,
        errors: Array.prototype.map.call(root.querySelectorAll('[data-trel-panel=errors] li'), function (e) { return e.textContent; }),
        later: root.querySelectorAll('[data-trel-panel=later] li a[href]').length}"""))
    expect(panel["visible"] and panel["above"] and panel["queries"] == 5 and panel["later"] == 3
           and len(panel["errors"]) == 1 and "the price list is 3 days old" in panel["errors"][0],
           f"the panel: {panel}")
    if shots:
        page.screenshot(os.path.join(shots, "panel.png"))

    # The details: the query loop flagged, identical statements grouped, the superglobals
    # as tables with the password masked and the session's changes marked.
    details = browser.page()
    details.open(f"{base}/bar/shop.php?__trel={page_id}")
    view = details.evaluate("""(function () {
        var rows = {};
        document.querySelectorAll('#superglobals .sg').forEach(function (sg) {
            var table = {};
            sg.querySelectorAll(':scope > table.kv > tbody > tr').forEach(function (tr) {
                table[tr.getAttribute('data-key')] = {text: tr.querySelector('td.val').textContent,
                    masked: !!tr.querySelector(':scope > td.val > .masked'), state: tr.className};
            });
            rows[sg.getAttribute('data-name')] = table;
        });
        return {id: document.querySelector('main').getAttribute('data-request-id'),
                loops: Array.prototype.map.call(document.querySelectorAll('#query-loops li.loop'),
                    function (e) { return [e.getAttribute('data-count'), e.querySelector('code').textContent]; }),
                grouped: Array.prototype.map.call(document.querySelectorAll('#queries li.query'),
                    function (e) { return +e.getAttribute('data-count'); }),
                sorted: (function () {
                    document.querySelector('#functions th[data-sort=calls]').click();
                    return Array.prototype.map.call(document.querySelectorAll('#functions tr.function td:first-child'),
                        function (e) { return +e.textContent; });
                })(),
                samples: rows};
    })()""")
    expect(view["id"] == request_id, f"the details of {view['id']}")
    expect(["20", "SELECT name, price FROM items WHERE id = ?"] in view["loops"],
           f"the loop of 20 prepared queries is not flagged: {view['loops']}")
    expect(sum(view["grouped"]) == 24 and max(view["grouped"]) >= 6, f"identical statements: {view['grouped']}")
    expect(view["sorted"][:2] == [20, 3], f"functions by calls: {view['sorted']}")
    get, session = view["samples"].get("_GET", {}), view["samples"].get("_SESSION", {})
    expect(get.get("password", {}).get("masked") and "hunter2" not in json.dumps(view)
           and get.get("q", {}).get("text") == "lamp" and get.get("q", {}).get("state") == ""
           and get.get("sort", {}).get("state") == "added", f"$_GET: {get}")
    expect("colour" in session.get("cart", {}).get("text", ""), f"$_SESSION: {session}")
    if shots:
        details.screenshot(os.path.join(shots, "details.png"))
        details.evaluate("document.getElementById('superglobals').scrollIntoView()")
        details.screenshot(os.path.join(shots, "superglobals.png"))

    # The requests of the session: the visits newest first, then the 120 before them, in pages.
    covered = [int(r[0]) for r in inst.select(
        "SELECT r.id FROM trel_requests r JOIN trel_requests_urls u ON u.id = r.url_id "
        "WHERE u.url LIKE '%/bar/%' ORDER BY r.id DESC")]
    listing = browser.page()

    def list_page(url):
        listing.open(url)
        return listing.evaluate("""({rows: Array.prototype.map.call(document.querySelectorAll('tr.request'),
                function (e) { return [+e.getAttribute('data-id'), e.querySelector('td.url a').getAttribute('href')]; }),
            older: (document.querySelector('.pager a[rel=next]') || {}).href || null,
            newer: (document.querySelector('.pager a[rel=prev]') || {}).href || null})""")

    seen, url, pages = [], f"{base}/bar/shop.php?__trel_requests=1", 0
    while url:
        shown_page = list_page(url)
        if pages == 0 and shots:
            listing.screenshot(os.path.join(shots, "requests.png"))
        seen += shown_page["rows"]
        url, pages = shown_page["older"], pages + 1
        expect(pages < 10, "the list does not end")
    expect([r[0] for r in seen] == covered and pages == 3,
           f"the list in {pages} pages: {[r[0] for r in seen][:8]}..., stored {covered[:8]}...")
    opens = dict(seen).get(int(request_id))
    expect(opens == f"/bar/shop.php?__trel={page_id}", f"the shop's row opens {opens}")
    back = list_page(shown_page["newer"])
    expect([r[0] for r in back["rows"]] == covered[50:100], "the newer page is not the one before")

    def filtered(query):
        return [r[0] for r in list_page(f"{base}/bar/shop.php?__trel_requests=1&{query}")["rows"]]

    failing = [int(r[0]) for r in inst.select("SELECT id FROM trel_requests WHERE status_code >= 400 ORDER BY id DESC")]
    problems = [int(r[0]) for r in rows if sum(counts(r[0])[1:]) > 0][::-1]
    expect(filtered("trel_status=1") == failing and len(failing) == 12, f"status >= 400: {failing}")
    expect(filtered("trel_url=api.php") == [int(r[0]) for r in rows[1:]][::-1], "the URL filter")
    expect(filtered("trel_problems=1") == problems and len(problems) == 2, f"errors or failed queries: {problems}")
    expect(filtered("trel_url=no-such-thing") == [] and listing.evaluate("!!document.querySelector('.empty')"),
           "an empty list says so")

    # A token covers its own path only: /bar/ lists nothing of /admin/, and back.
    admin_id = int(inst.value("SELECT r.id FROM trel_requests r JOIN trel_requests_urls u ON u.id = r.url_id "
                              "WHERE u.url LIKE '%/admin/%'"))
    expect(admin_id not in [r[0] for r in seen], "the /bar/ token lists /admin/")
    status, body = http_get(f"{base}/admin/index.php?__trel_requests=1", {"X-Trel-Token": admin_token})
    ids = re.findall(r'"id":(\d+)', body.decode())
    expect(status == 200 and ids == [str(admin_id)], f"the /admin/ token lists {ids}")

    # Without the token: no bar, and every address of the bar's data gives the same 404.
    context = browser.call("Target.createBrowserContext")["browserContextId"]
    stranger = browser.page(context=context)
    stranger.open(f"{base}/bar/shop.php")
    expect(stranger.evaluate("document.querySelector('h1').textContent") == "Shop", "the page did not load")
    expect(stranger.evaluate("document.getElementById('trel-bar') === null"), "a bar without the token")
    stranger.open(f"{base}/bar/shop.php?__trel={page_id}")
    answers = [stranger.evaluate("document.body.innerText").encode()]
    for query in (f"__trel={page_id}", f"__trel_summary={page_id}", f"__trel_json={page_id}", "__trel_requests=1"):
        for headers in ({}, {"X-Trel-Token": "no-such-token"}):
            status, body = http_get(f"{base}/bar/shop.php?{query}", headers)
            expect(status == 404, f"{query} with {headers}: {status}")
            answers.append(body)
    expect(all(a.strip() == b"Not Found" for a in answers), f"without the token: {set(answers)}")

    # A page with its bar that a shared cache served to a browser without the token: the
    # bar asks for its summary once, gets the 404 and stops asking.
    status, body = http_get(f"{base}/bar/shop.php", {"X-Trel-Token": token})
    expect(status == 200 and b"data-trel-page" in body, f"the admitted page to keep: {status}")
    with open(cached, "wb") as f:
        f.write(body)
    stranger.open(f"{base}/bar/cached.php")
    state = stranger.wait_for("document.getElementById('trel-bar').getAttribute('data-trel-state')",
                              "the bar of the cached page to give up")
    time.sleep(2)  # the bar's next ask would have come after 0.25 s
    asks = server.read_log().count("/bar/cached.php?__trel_summary=")
    expect(state == "missing" and asks == 1, f"the bar of a cached page: {state} after {asks} asks")
    server.check_healthy()


if __name__ == "__main__":
    sys.exit(run("bar_browser_check", main))
