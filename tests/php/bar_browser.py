"""The bar in a real browser: the shop of tests/php/app/bar under `php -S` with the
extension, loaded in headless Chromium with a token cookie for /bar/, once directly and
once through a sign-in whose POST redirects to it. The shop runs its SQL through a
database class of its own: a slow query, 20 prepared and 8 string-built queries in
loops; one of its three calls fails its SQL and throws an uncaught exception; another
page answers 404. The bar is one row at the bottom (whatever the page's own CSS says)
that pads the page by its height, with the stored summary, the status, the slow count
and the redirect, and the page's calls (those that do not fit counted); the keyboard
opens and closes its panel, whose timeline, slow query and log are checked; × hides it
for the session; at 375 px nothing is wider than the screen; a dark scheme darkens it.
The details show the timeline in the order the page ran, the slow query, both loops at
their caller outside the database class (the class's frame one click away), formatted
and filterable SQL, the redirect, the headers with the cookie masked, PHP's log, and
the exception with its own trace; the comparison with the previous visit shows the
added query and the session's change. The requests list pages through 120 more stored
requests with each page's calls under it, sorts and filters them, and shows a token
nothing outside its own path. Without the token, every address of the bar's data
answers the same 404, and the bar of a page a shared cache kept asks once and stops.
With TREL_SCREENSHOTS set, the pictures of docs/BAR.md are saved there as PNG; with
TREL_DEMO_ROOT, the shop is served from a copy at that folder."""

import hashlib
import json
import os
import re
import shutil
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


def bar_facts(page):
    """The bar as the page shows it: its figures, its chips, its box and the page's."""
    return page.evaluate("""(function () {
        var bar = document.getElementById('trel-bar'), box = bar.getBoundingClientRect(), style = getComputedStyle(bar);
        var texts = {}, root = bar.shadowRoot, later = [], strip = root.querySelector('.bar').getBoundingClientRect();
        root.querySelectorAll('.facts [data-trel]').forEach(function (e) {
            texts[e.getAttribute('data-trel')] = e.textContent;
            if (e.className === 'bad') texts[e.getAttribute('data-trel') + ':bad'] = true;
        });
        root.querySelectorAll('.later .xhr').forEach(function (chip) {
            var c = chip.getBoundingClientRect();
            var entry = {page: chip.getAttribute('data-trel-page'), href: chip.getAttribute('href'),
                         visible: c.height > 0, inside: c.right <= strip.right + 0.5 && c.left >= strip.left - 0.5};
            chip.querySelectorAll('[data-trel]').forEach(function (e) { entry[e.getAttribute('data-trel')] = e.textContent; });
            later.push(entry);
        });
        var more = root.querySelector('.more');
        var redirect = root.querySelector('[data-trel=redirect]');
        return {page: bar.getAttribute('data-trel-page'), texts: texts, later: later, position: style.position,
                fontSize: getComputedStyle(root.querySelector('.facts')).fontSize,
                cut: root.querySelector('.facts').scrollWidth > root.querySelector('.facts').clientWidth,
                visible: style.display !== 'none' && style.visibility === 'visible' && box.width > 0 && box.height > 0,
                top: box.top, bottom: box.bottom, width: box.width, strip: strip.height,
                more: more.hidden ? null : more.textContent,
                redirect: redirect ? [redirect.textContent, redirect.getAttribute('href')] : null,
                padding: getComputedStyle(document.documentElement).paddingBottom,
                scrollWidth: document.documentElement.scrollWidth,
                viewport: [document.documentElement.clientWidth, document.documentElement.clientHeight],
                onTop: document.elementFromPoint(box.left + 5, box.top + box.height / 2).closest('#trel-bar') === bar};
    })()""")


def press(page, key, code, key_code, text=None):
    """A key pressed and let go, as the keyboard sends it."""
    down = {"text": text} if text else {}
    page.browser.call("Input.dispatchKeyEvent", page.session, type="keyDown", key=key, code=code,
                      windowsVirtualKeyCode=key_code, **down)
    page.browser.call("Input.dispatchKeyEvent", page.session, type="keyUp", key=key, code=code,
                      windowsVirtualKeyCode=key_code)


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
    # The pictures of docs/BAR.md show backtraces: made from a folder that names no machine.
    app = APP
    demo = os.environ.get("TREL_DEMO_ROOT")
    if demo:
        expect(not os.path.exists(demo), f"{demo} is there already")
        shutil.copytree(APP, demo)
        ctx.cleanups.append(lambda: shutil.rmtree(demo))
        app = demo
    server = PhpServer(ctx, "bar-browser", app, port=port, env={"PHP_CLI_SERVER_WORKERS": "3", "E2E_CACHED": cached},
                       ini={"root": inst.root, "log_file": ctx.path("trel.log"), "slow_query_ms": "50"},
                       options=["display_errors=0", f"error_log={ctx.path('php-errors.log')}"])
    shots = os.environ.get("TREL_SCREENSHOTS")
    if shots:
        os.makedirs(shots, exist_ok=True)
    browser = Browser(ctx)

    def shot(page, name):
        if shots:
            page.screenshot(os.path.join(shots, name))

    # An hour of history first, then a page of another path, stored for its own token.
    generate_requests(inst, base, 120, token)
    generated = int(inst.value("SELECT MAX(id) FROM trel_requests"))
    status, _ = http_get(f"{base}/admin/index.php", {"X-Trel-Token": admin_token})
    expect(status == 200, f"the admin page: {status}")

    def stored_since(after):
        return inst.select("SELECT r.id, r.page_id, u.url, r.is_primary_page, r.method, r.status_code FROM trel_requests r "
                           f"JOIN trel_requests_urls u ON u.id = r.url_id WHERE u.url LIKE '%/bar/%' AND r.id > {after} ORDER BY r.id")

    def counts(rid):
        return tuple(int(inst.value(sql.format(rid))) for sql in (
            "SELECT COUNT(*) FROM trel_sql_queries WHERE request_id = {}",
            "SELECT COUNT(*) FROM trel_sql_queries WHERE request_id = {} AND (status <> 0 OR error_message <> '')",
            "SELECT COUNT(*) FROM trel_log_entries WHERE request_id = {}"))

    def shown_bar(page, calls):
        state = page.wait_for("document.getElementById('trel-bar') && "
                              "document.getElementById('trel-bar').getAttribute('data-trel-state')", "the bar's summary")
        expect(state == "shown", f"the bar says the request is {state}")
        if calls:
            page.wait_for(shadow(f"root.querySelectorAll('.later .xhr[data-trel-state=shown]').length === {calls}"),
                          f"the page's {calls} calls in the bar")
        return bar_facts(page)

    # With the token: a first visit of the shop, then a sign-in whose POST redirects to it.
    browser.call("Storage.setCookies", cookies=[{"name": "trel_token", "value": token, "url": f"{base}/"}])
    page = browser.page()
    shop_url = f"{base}/bar/shop.php?q=lamp&password=hunter2"
    page.open(shop_url)
    shown_bar(page, 3)
    # A page is written once the browser has it, its calls as they end: stored in any
    # order, the page first among its rows by being the only primary one.
    def page_first(stored):
        return sorted(stored, key=lambda r: (r[3] != "1", int(r[0])))

    first = page_first(stored_since(generated))
    expect([(r[2][len(base):], r[3]) for r in first[:1]] == [("/bar/shop.php?q=lamp&password=***", "1")]
           and sorted(r[2][len(base):] for r in first[1:]) == ["/bar/api.php?item=1", "/bar/api.php?item=2&fail=1", "/bar/api.php?item=3"],
           f"stored at the first visit: {first}")
    page.open(f"{base}/bar/signin.php")
    page.evaluate("document.querySelector('form').submit()")
    page.wait_for(f"location.href === {json.dumps(shop_url)} && document.readyState === 'complete'", "the redirect to the shop")
    own_script = page.evaluate("window.shopScript")
    expect(own_script == 39, f"the page's own script did not run whole: {own_script}")
    bar = shown_bar(page, 3)
    rows = stored_since(max(int(r[0]) for r in first))
    signins = [r for r in rows if "signin.php" in r[2]]
    rows = page_first([r for r in rows if "signin.php" not in r[2]])
    expect([(r[4], r[5]) for r in signins] == [("GET", "200"), ("POST", "302")]
           and [(r[4], r[2][len(base):].split("?")[0], r[5]) for r in rows[:1]] == [("GET", "/bar/shop.php", "200")]
           and len(rows) == 4,
           f"the sign-in, the shop and its three calls: {signins}, {rows}")
    signin = signins[1]
    request_id, page_id, _, primary = rows[0][:4]
    expect(primary == "1" and all(r[3] == "0" for r in rows[1:]), f"the page is the primary page, its calls are not: {rows}")
    expect(bar["page"] == page_id, f"the bar names page {bar['page']}, stored {page_id}")

    # The page's stylesheet hides and restyles every div, a and span: not the bar's. One
    # row along the bottom, and the page padded by as much, so that its end shows.
    expect(bar["visible"] and bar["onTop"] and bar["fontSize"] == "12px", f"the bar is not to be seen as it is: {bar}")
    expect(bar["position"] == "fixed" and abs(bar["bottom"] - bar["viewport"][1]) < 1
           and bar["width"] >= bar["viewport"][0] - 1 and bar["strip"] < 30,
           f"the bar is not one row along the bottom of the window: {bar}")
    expect(bar["padding"] == f"{bar['strip']:g}px", f"the page is padded by {bar['padding']}, the bar is {bar['strip']} px tall")
    end = page.evaluate("(function () { window.scrollTo(0, document.documentElement.scrollHeight); "
                        "return document.getElementById('last').getBoundingClientRect().bottom; })()")
    expect(end <= bar["top"], f"the page's last line ends at {end}, under the bar at {bar['top']}")

    shown = inst.trel("show", inst.root, request_id)
    duration = re.search(r"^  duration +(.+)$", shown, re.M).group(1)
    memory = re.search(r"^  peak memory +(.+)$", shown, re.M).group(1)
    queries, failed, errors = counts(request_id)
    expect((queries, failed, errors) == (35, 0, 1), f"stored {queries} queries, {failed} failed, {errors} errors")
    # At least the 60 ms pause is slow (50 ms); a loaded machine may slow another.
    slow = int(inst.value(f"SELECT COUNT(*) FROM trel_sql_queries WHERE request_id = {request_id} AND query_time >= 50000"))
    expect(slow >= 1, f"stored {slow} slow queries")
    expected = {"method": "GET", "status": "200", "redirect": "\u21b3 from POST /bar/signin.php 302", "time": duration, "queries": f"{queries} queries", "slow": f"{slow} slow",
                "slow:bad": True, "errors": f"{errors} error", "errors:bad": True,
                "memory": re.sub(r" (of .*|\(no limit\))$", "", memory)}
    expect(bar["texts"] == expected, f"the bar shows {bar['texts']}, trel show and the database {expected}")
    expect(bar["redirect"] == ["\u21b3 from POST /bar/signin.php 302", f"/bar/shop.php?__trel={signin[1]}"],
           f"the redirect in the bar: {bar['redirect']}")

    # Each call with its own figures, linking to its own details.
    # The calls' chips that do not fit the row are counted instead.
    on_show = [c for c in bar["later"] if c["visible"]]
    expect(len(bar["later"]) == 3 and on_show and all(c["inside"] for c in on_show)
           and bar["more"] == (f"+{3 - len(on_show)} more" if len(on_show) < 3 else None),
           f"the calls in the bar: {bar['later']}, {bar['more']}")
    for rid, xhr_page, url, _, _, code in rows[1:]:
        chip = next((c for c in bar["later"] if c["page"] == xhr_page), None)
        expect(chip, f"no entry in the bar for {url}: {bar['later']}")
        q, f, e = counts(rid)
        want = {"method": "GET", "url": url[len(base):], "status": code,
                "queries": f"{q} quer{'y' if q == 1 else 'ies'}" + (f" ({f} failed)" if f else ""),
                "errors": f"{e} error{'' if e == 1 else 's'}"}
        got = {k: chip.get(k) for k in want}
        expect(got == want, f"the bar's entry for {url}: {got}, stored {want}")
        expect(chip["time"] != "" and chip["href"] == f"/bar/shop.php?__trel={xhr_page}", f"the entry {chip}")
    expect(sorted(r[5] for r in rows[1:]) == ["200", "200", "500"], f"the failing call answers 500: {rows}")
    shot(page, "bar.png")

    # The keyboard: the first Tab reaches the bar's toggle, which shows its focus; Enter
    # opens the panel, Escape closes it.
    press(page, "Tab", "Tab", 9)
    focus = page.evaluate(shadow("""(function () { var a = root.activeElement;
        return a && [a.tagName, a.className, getComputedStyle(a).outlineStyle]; })()"""))
    expect(focus == ["BUTTON", "brand", "solid"], f"the first Tab focuses {focus}")
    press(page, "Enter", "Enter", 13, "\r")
    page.wait_for(shadow("root.querySelector('.panel').getAttribute('data-trel-state') === 'shown'"), "the panel")
    panel = page.evaluate(shadow("""{visible: root.querySelector('.panel').getBoundingClientRect().height > 50,
        expanded: root.querySelector('.brand').getAttribute('aria-expanded'),
        above: root.querySelector('.panel').getBoundingClientRect().bottom <= root.querySelector('.bar').getBoundingClientRect().top + 1,
        queries: Array.prototype.map.call(root.querySelectorAll('[data-trel-panel=queries] li'),
            function (e) { return [e.hasAttribute('data-trel-slow'), e.querySelector('code').textContent]; }),
        errors: Array.prototype.map.call(root.querySelectorAll('[data-trel-panel=errors] li'), function (e) { return e.textContent; }),
        later: root.querySelectorAll('[data-trel-panel=later] li a[href]').length,
        marks: Array.prototype.map.call(root.querySelectorAll('.tl a'), function (e) {
            return [e.getAttribute('data-trel-kind'), +e.getAttribute('data-us'), e.className]; })}"""))
    expect(panel["visible"] and panel["above"] and panel["expanded"] == "true" and panel["later"] == 3,
           f"the panel: {panel}")
    expect(panel["queries"][0] == [True, "SELECT pause(60) AS stock_sync"] and len(panel["queries"]) == 5
           and [q[0] for q in panel["queries"]] == [i < slow for i in range(5)], f"the slowest queries, the slow ones marked: {panel['queries']}")
    expect(len(panel["errors"]) == 2 and "the price list is 3 days old" in panel["errors"][0]
           and panel["errors"][1] == "stock sync took longer than it should", f"the errors and the log: {panel['errors']}")
    kinds = [m[0] for m in panel["marks"]]
    expect(kinds.count("query") == 35 and kinds.count("error") == 1 and kinds.count("xhr") == 3
           and [m[2] for m in panel["marks"] if m[0] == "query" and m[2] == "f"] == ["f"] * slow,
           f"the panel's timeline: {panel['marks']}")
    shot(page, "panel.png")
    press(page, "Escape", "Escape", 27)
    closed = page.evaluate(shadow("[root.querySelector('.panel').hidden, root.querySelector('.brand').getAttribute('aria-expanded')]"))
    expect(closed == [True, "false"], f"Escape leaves the panel {closed}")

    # The dark scheme: the panel follows the browser's colours.
    page.browser.call("Emulation.setEmulatedMedia", page.session, features=[{"name": "prefers-color-scheme", "value": "dark"}])
    page.evaluate(shadow("root.querySelector('.brand').click()"))
    dark = page.evaluate(shadow("getComputedStyle(root.querySelector('.panel')).backgroundColor"))
    expect(dark == "rgb(28, 35, 39)", f"the panel in the dark scheme: {dark}")
    shot(page, "panel-dark.png")
    page.evaluate(shadow("root.querySelector('.brand').click()"))
    page.browser.call("Emulation.setEmulatedMedia", page.session, features=[{"name": "prefers-color-scheme", "value": "light"}])

    # × hides the bar for the rest of the browser's session, reloads included.
    page.evaluate(shadow("root.querySelector('.hide').click()"))
    page.open(shop_url)
    page.wait_for("document.getElementById('trel-bar').getAttribute('data-trel-state') === 'hidden'", "the bar to stay hidden")
    hidden = page.evaluate("[document.getElementById('trel-bar').getBoundingClientRect().height, "
                           "getComputedStyle(document.documentElement).paddingBottom]")
    expect(hidden == [0, "0px"], f"the hidden bar takes {hidden}")
    page.evaluate("sessionStorage.clear()")

    # A phone: one row still, the calls that do not fit counted, nothing wider than the screen.
    phone = browser.page()
    phone.browser.call("Emulation.setDeviceMetricsOverride", phone.session, width=375, height=740,
                       deviceScaleFactor=1, mobile=True)
    phone.open(shop_url)
    small = shown_bar(phone, 3)
    on_show = [c for c in small["later"] if c["visible"]]
    # The page's own figures are whole: the status of a good answer and the word "more"
    # give way to them.
    expect(small["strip"] < 30 and small["scrollWidth"] <= 375 and all(c["inside"] for c in on_show)
           and not small["cut"] and small["texts"].get("errors") == bar["texts"].get("errors")
           and small["more"] == f"+{3 - len(on_show)} more" and len(on_show) < 3,
           f"the bar at 375 px: {small}")
    shot(phone, "bar-375.png")
    phone.evaluate(shadow("root.querySelector('.more').click()"))
    phone.wait_for(shadow("root.querySelector('.panel').getAttribute('data-trel-state') === 'shown'"), "the panel at 375 px")
    wide = phone.evaluate(shadow("root.querySelector('.panel').scrollWidth <= root.querySelector('.panel').clientWidth"))
    expect(wide, "the panel is wider than the phone")
    shot(phone, "panel-375.png")

    # The 404 page: its status in the bar, in red.
    phone.open(f"{base}/bar/missing.php")
    missing = shown_bar(phone, 0)
    expect(missing["texts"].get("status") == "404" and missing["texts"].get("status:bad"), f"the 404 in the bar: {missing['texts']}")

    # The details: the timeline, the slow query, both loops with their caller outside the
    # shop's database class, formatted SQL with a filter and a copy button, the redirect,
    # the headers with the cookie masked, the log, and the superglobals as tables.
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
        function lane(name) {
            return Array.prototype.map.call(document.querySelectorAll('#timeline .lane[data-lane=' + name + '] .item'),
                function (e) { return [+e.getAttribute('data-us'), e.getAttribute('title'), e.getAttribute('href')]; });
        }
        var pause = Array.prototype.filter.call(document.querySelectorAll('#queries li.query'),
            function (e) { return e.querySelector('pre.sql').textContent.indexOf('pause') >= 0; })[0];
        var headers = {};
        document.querySelectorAll('#headers tr').forEach(function (tr) {
            headers[tr.getAttribute('data-key').toLowerCase()] = tr.querySelector('td.val').textContent; });
        return {id: document.querySelector('main').getAttribute('data-request-id'),
                status: document.querySelector('h1 [data-trel=status]').textContent,
                redirect: document.getElementById('redirected-from') && [document.getElementById('redirected-from').textContent,
                    document.querySelector('#redirected-from a').getAttribute('href')],
                loops: Array.prototype.map.call(document.querySelectorAll('#query-loops li.loop'),
                    function (e) { return [e.getAttribute('data-count'), e.querySelector('code').textContent, e.getAttribute('data-at')]; }),
                grouped: Array.prototype.map.call(document.querySelectorAll('#queries li.query'),
                    function (e) { return +e.getAttribute('data-count'); }),
                slow: Array.prototype.map.call(document.querySelectorAll('#queries li.query.slow pre.sql'), function (e) { return e.textContent; }),
                caller: pause && [pause.querySelector('.caller').textContent, pause.querySelector('details.layer .where').textContent],
                formatted: Array.prototype.map.call(document.querySelectorAll('#queries pre.sql'), function (e) { return e.textContent; }),
                sorted: (function () {
                    document.querySelector('#functions th[data-sort=calls]').click();
                    return Array.prototype.map.call(document.querySelectorAll('#functions tr.function td:first-child'),
                        function (e) { return +e.textContent; });
                })(),
                timeline: {query: lane('query'), error: lane('error'), span: lane('span'), xhr: lane('xhr')},
                headers: headers, log: Array.prototype.map.call(document.querySelectorAll('#log li pre'), function (e) { return e.textContent; }),
                samples: rows};
    })()""")
    expect(view["id"] == request_id and view["status"] == "200", f"the details of {view['id']}: {view['status']}")
    expect(view["redirect"] == [f"Reached by a redirect from POST /bar/signin.php 302", f"/bar/shop.php?__trel={signin[1]}"],
           f"the redirect in the details: {view['redirect']}")
    shop_file = os.path.join(app, "bar", "shop.php")
    expect(["20", "SELECT name, price FROM items WHERE id = ?", f"{shop_file}:20"] in view["loops"]
           and ["8", "SELECT title FROM pages WHERE id = ?", f"{shop_file}:26"] in view["loops"],
           f"the loops of 20 prepared and 8 built queries, at their caller: {view['loops']}")
    expect(sum(view["grouped"]) == 35 and max(view["grouped"]) >= 6, f"identical statements: {view['grouped']}")
    expect(view["slow"][:1] == ["SELECT pause(60) AS stock_sync"] and len(view["slow"]) == slow,
           f"the slow queries: {view['slow']}")
    layer_line = next(n for n, text in enumerate(open(os.path.join(APP, "bar", "shopdb.php")), 1) if "->query($sql)" in text)
    expect(view["caller"] == [f"at {shop_file}:36", f"at {os.path.join(app, 'bar', 'shopdb.php')}:{layer_line}"],
           f"the slow query's caller and its database layer: {view['caller']}")
    expect("SELECT name, price\nFROM items\nWHERE id = 1" in view["formatted"], f"formatted SQL: {view['formatted'][:6]}")
    expect(view["sorted"][:2] == [23, 20], f"functions by calls: {view['sorted']}")
    # The timeline: the queries in the order the page ran them, the warning after the
    # slow query, the log after the warning, the costliest calls, and the page's three
    # calls after the page itself.
    tl = view["timeline"]
    order = [t[1].split(" \u00b7 ", 1)[1] for t in tl["query"]]
    expect(len(tl["query"]) == 35 and order.index("SELECT pause(60) AS stock_sync") == 33
           and all(o.startswith("SELECT name, price FROM items WHERE id = ") for o in order[5:25])
           and all(o.startswith("SELECT title FROM pages WHERE id = ") for o in order[25:33]),
           f"the queries on the timeline: {order}")
    pause_at = tl["query"][33][0]
    expect([t[1] for t in tl["error"]] == ["E_USER_WARNING: the price list is 3 days old", "log: stock sync took longer than it should"]
           and pause_at + 60000 <= tl["error"][0][0] <= tl["error"][1][0] and tl["error"][0][2] == "#error-0",
           f"the warning and the log on the timeline: {tl['error']} after the slow query at {pause_at}")
    # The browser can start a call only once it has the page, which comes after the log.
    expect(len(tl["xhr"]) == 3 and all(t[0] > tl["error"][-1][0] for t in tl["xhr"])
           and sorted(t[2] for t in tl["xhr"]) == sorted(f"/bar/shop.php?__trel={r[1]}" for r in rows[1:]),
           f"the page's calls on the timeline: {tl['xhr']}")
    expect(0 < len(tl["span"]) <= 20 and any("item" in t[1] for t in tl["span"]), f"the costliest calls: {tl['span']}")
    expect(view["headers"].get("x-shop") == "lamps and desks"
           and view["headers"].get("set-cookie", "").startswith("basket=***(15 bytes)")
           and "b4sket-3f9a2c71" not in json.dumps(view), f"the response headers: {view['headers']}")
    expect(view["log"] == ["stock sync took longer than it should"], f"the log: {view['log']}")
    get, session = view["samples"].get("_GET", {}), view["samples"].get("_SESSION", {})
    expect(get.get("password", {}).get("masked") and "hunter2" not in json.dumps(view)
           and get.get("q", {}).get("text") == "lamp" and get.get("q", {}).get("state") == ""
           and get.get("sort", {}).get("state") == "added", f"$_GET: {get}")
    expect("colour" in session.get("cart", {}).get("text", ""), f"$_SESSION: {session}")
    # The filter keeps the statements that hold its words; the copy button copies.
    details.evaluate("(function () { var f = document.getElementById('query-filter'); f.value = 'PAGES'; "
                     "f.dispatchEvent(new Event('input')); })()")
    kept = details.evaluate("Array.prototype.filter.call(document.querySelectorAll('#queries li.query'), "
                            "function (e) { return !e.hidden; }).length")
    expect(kept == 9, f"the filter 'PAGES' keeps {kept} statements, not the 8 titles and the CREATE")
    copied = details.evaluate("(function () { var b = document.querySelector('#queries li.query:not([hidden]) button.copy'); "
                              "b.click(); return b.textContent; })()", user_gesture=True)
    expect(copied == "copied", f"the copy button says {copied}")
    details.evaluate("(function () { var f = document.getElementById('query-filter'); f.value = ''; "
                     "f.dispatchEvent(new Event('input')); })()")
    shot(details, "details.png")
    details.evaluate("document.getElementById('queries').scrollIntoView()")
    shot(details, "queries.png")
    details.evaluate("document.getElementById('superglobals').scrollIntoView()")
    shot(details, "superglobals.png")
    details.browser.call("Emulation.setEmulatedMedia", details.session, features=[{"name": "prefers-color-scheme", "value": "dark"}])
    details.evaluate("window.scrollTo(0, 0)")
    shot(details, "details-dark.png")
    details.browser.call("Emulation.setEmulatedMedia", details.session, features=[{"name": "prefers-color-scheme", "value": "light"}])

    # The uncaught exception of the failing call: its class, message and place, and its
    # own trace, not the shutdown's.
    failing = next(r for r in rows[1:] if "fail=1" in r[2])
    details.open(f"{base}/bar/shop.php?__trel={failing[1]}")
    thrown = details.evaluate("""(function () { var x = document.querySelector('#errors .exception');
        return x && {type: x.querySelector('.type').textContent, message: x.querySelector('.message').textContent,
                     where: x.querySelector('.where').textContent, status: document.querySelector('h1 [data-trel=status]').className,
                     trace: Array.prototype.map.call(x.querySelectorAll('.trace li'), function (e) { return e.textContent; })}; })()""")
    api_file = os.path.join(app, "bar", "api.php")
    expect(thrown and thrown["type"] == "uncaught DomainException" and thrown["message"] == "item 2 is out of stock"
           and thrown["where"] == f"at {api_file}:17" and thrown["status"] == "pill bad"
           and [re.sub(r"\(2, 0\)", "()", t) for t in thrown["trace"][:2]] == [f"check() {api_file}:13", f"reserve() {api_file}:22"],
           f"the exception: {thrown}")
    details.evaluate("document.getElementById('errors').scrollIntoView()")
    shot(details, "exception.png")

    # The details at 375 px: nothing wider than the phone, the tables scroll in themselves.
    phone.open(f"{base}/bar/shop.php?__trel={page_id}")
    # Whatever the checkout's path, no text sticks out of its box: a long unbroken file
    # name once widened the page only in some checkouts.
    narrow = phone.evaluate("""[document.documentElement.scrollWidth, document.querySelectorAll('.scroll').length,
        Array.prototype.filter.call(document.querySelectorAll('main *'), function (e) {
          return e.clientWidth > 0 && e.scrollWidth > e.clientWidth + 1 && !e.closest('.scroll'); })
        .map(function (e) { return e.tagName + '.' + e.className + ' ' + e.scrollWidth + '/' + e.clientWidth + ' ' + e.textContent.slice(0, 60); })]""")
    expect(narrow[0] <= 375 and narrow[1] >= 2 and narrow[2] == [], f"the details at 375 px: {narrow}")
    shot(phone, "details-375.png")

    # Compare: by default with the previous visit of the same URL; the sign-in added a
    # query and the session counts a visit more. Another request can be chosen.
    compare = browser.page()
    compare.open(f"{base}/bar/shop.php?__trel_compare={page_id}")
    cmp = compare.evaluate("""(function () { var m = document.getElementById('trel-compare');
        return {a: m.getAttribute('data-request-id'), b: m.getAttribute('data-other-id'),
                figures: Array.prototype.map.call(document.querySelectorAll('#compare-figures tbody tr'), function (e) {
                    return e.getAttribute('data-key'); }),
                queries: Array.prototype.map.call(document.querySelectorAll('#compare-queries li'), function (e) {
                    return [e.getAttribute('data-change'), e.querySelector('pre').textContent]; }),
                functions: document.querySelectorAll('#compare-functions tbody tr').length,
                samples: Array.prototype.map.call(document.querySelectorAll('#compare-superglobals tbody tr'), function (e) {
                    return [e.getAttribute('data-key'), e.children[1].textContent, e.children[2].textContent]; })}; })()""")
    expect(cmp["a"] == request_id and cmp["b"] == first[0][0] and cmp["figures"] == ["time", "memory", "queries", "errors"],
           f"compare {cmp['a']} with {cmp['b']}")
    expect(cmp["queries"] == [["added", "SELECT name, price FROM items WHERE name = ?"]], f"the queries compared: {cmp['queries']}")
    expect(["$_SESSION[visits]", "2", "1"] in cmp["samples"] and cmp["functions"] > 0, f"the superglobals compared: {cmp['samples']}")
    shot(compare, "compare.png")
    other = rows[1][1]
    compare.evaluate(f"(function () {{ var s = document.getElementById('compare-with'); s.value = {json.dumps(other)}; "
                     "setTimeout(function () { s.dispatchEvent(new Event('change')); }, 0); })()")
    compare.wait_for(f"document.getElementById('trel-compare') && document.getElementById('trel-compare')"
                     f".getAttribute('data-other-id') === {json.dumps(rows[1][0])}", "the chosen request to compare with")

    # The requests of the session: the visits newest first, each page's calls under it,
    # then the 120 before them, in pages of 50; sorted by duration on a click.
    covered = [int(r[0]) for r in inst.select(
        "SELECT r.id FROM trel_requests r JOIN trel_requests_urls u ON u.id = r.url_id "
        "WHERE u.url LIKE '%/bar/%' ORDER BY r.id DESC")]
    listing = browser.page()

    def list_page(url):
        listing.open(url)
        return listing.evaluate("""({rows: Array.prototype.map.call(document.querySelectorAll('tr.request'),
                function (e) { return [+e.getAttribute('data-id'), e.querySelector('td.url a').getAttribute('href'),
                                       e.classList.contains('call'), !!e.querySelector('.pill.xhr')]; }),
            older: (document.querySelector('.pager a[rel=next]') || {}).href || null,
            newer: (document.querySelector('.pager a[rel=prev]') || {}).href || null})""")

    seen, url, pages, first_list = [], f"{base}/bar/shop.php?__trel_requests=1", 0, None
    while url:
        shown_page = list_page(url)
        if pages == 0:
            first_list = shown_page["rows"]
            shot(listing, "requests.png")
        expect(sorted(r[0] for r in shown_page["rows"]) == sorted(covered[50 * pages:50 * pages + 50]),
               f"page {pages + 1} of the list: {[r[0] for r in shown_page['rows']][:8]}...")
        seen += shown_page["rows"]
        url, pages = shown_page["older"], pages + 1
        expect(pages < 10, "the list does not end")
    expect(pages == 3 and len(seen) == len(covered), f"the list in {pages} pages, {len(seen)} rows of {len(covered)}")
    opens = {r[0]: r[1] for r in seen}.get(int(request_id))
    expect(opens == f"/bar/shop.php?__trel={page_id}", f"the shop's row opens {opens}")
    parent_of, page_row = {}, None
    for rid, _, call, xhr in first_list:
        if not call:
            page_row = rid
        else:
            parent_of[rid] = page_row
        expect(xhr == call or rid <= generated, f"row {rid} is marked XHR {xhr}, under a page {call}")
    expect(all(parent_of.get(int(r[0])) == int(request_id) for r in rows[1:])
           and all(parent_of.get(int(r[0])) == int(first[0][0]) for r in first[1:]),
           f"the calls under their pages: {parent_of}")
    listing.evaluate("document.querySelector('th[data-sort=time_us]').click()")
    by_time = listing.evaluate("Array.prototype.map.call(document.querySelectorAll('tr.request:not(.call)'), "
                               "function (e) { return +e.getAttribute('data-id'); })")
    times = {int(r[0]): int(r[1]) for r in inst.select("SELECT id, request_time FROM trel_requests")}
    expect([times[i] for i in by_time] == sorted((times[i] for i in by_time), reverse=True) and len(by_time) > 10,
           f"the pages by duration: {[(i, times[i]) for i in by_time]}")
    back = list_page(shown_page["newer"])
    expect(sorted(r[0] for r in back["rows"]) == sorted(covered[50:100]), "the newer page is not the one before")

    def filtered(query):
        return sorted(r[0] for r in list_page(f"{base}/bar/shop.php?__trel_requests=1&{query}")["rows"])

    ours = [r for r in inst.select(f"SELECT r.id, u.url, r.status_code FROM trel_requests r JOIN trel_requests_urls u "
                                   f"ON u.id = r.url_id WHERE u.url LIKE '%/bar/%' AND r.id > {generated}")]
    failing = sorted(int(r[0]) for r in inst.select("SELECT id FROM trel_requests WHERE status_code >= 400 "
                                                     "AND url_id IN (SELECT id FROM trel_requests_urls WHERE url LIKE '%/bar/%')"))
    problems = sorted(int(r[0]) for r in ours if sum(counts(r[0])[1:]) > 0)
    expect(filtered("trel_status=1") == failing and len(failing) > 12
           and int(inst.value("SELECT MAX(id) FROM trel_requests WHERE status_code = 404")) in failing,
           f"status >= 400: {failing}")
    expect(filtered("trel_url=api.php") == sorted(int(r[0]) for r in ours if "api.php" in r[1]), "the URL filter")
    expect(filtered("trel_problems=1") == problems and len(problems) >= 4, f"errors or failed queries: {problems}")
    expect(filtered("trel_url=no-such-thing") == [] and listing.evaluate("!!document.querySelector('.empty')"),
           "an empty list says so")
    listing.browser.call("Emulation.setDeviceMetricsOverride", listing.session, width=375, height=740,
                         deviceScaleFactor=1, mobile=True)
    list_page(f"{base}/bar/shop.php?__trel_requests=1")
    narrow = listing.evaluate("document.documentElement.scrollWidth")
    expect(narrow <= 375, f"the list at 375 px is {narrow} px wide")
    shot(listing, "requests-375.png")

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
    for query in (f"__trel={page_id}", f"__trel_summary={page_id}", f"__trel_json={page_id}", "__trel_requests=1",
                  f"__trel_compare={page_id}", f"__trel_compare={page_id}&trel_with={first[0][1]}"):
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
