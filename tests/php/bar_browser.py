"""The bar in a real browser: a page under `php -S` with the extension, loaded in headless
Chromium with the token cookie, shows the bar fixed at the bottom with the summary that
was stored, and its link opens the stored request's view; without the token the page
has no bar and the view's address answers 404 with nothing of the request. The page's
script holds "</head>" and "</body>" in a string and a comment after the page holds
"</body>": the page's script still runs and the bar goes where the browser has the tags."""

import json
import os
import re
import sys
import urllib.error
import urllib.request

from cdp import Browser
from harness import Installation, PhpServer, expect, free_port, run

PAGE = """<?php
$db = new PDO('sqlite::memory:');
$db->setAttribute(PDO::ATTR_ERRMODE, PDO::ERRMODE_SILENT);
$db->exec('CREATE TABLE items (name TEXT)');
$db->exec("INSERT INTO items VALUES ('lamp')");
$db->query('SELECT * FROM no_such_table');
trigger_error('stock is low', E_USER_WARNING);
$rows = str_repeat('<li>row</li>', 2000);
?><!DOCTYPE html>
<html><head><title>Shop</title>
<script>var blank = "<html><head></head><body></body></html>"; window.shopScript = blank.length;</script>
</head>
<body><h1>Shop</h1><ul><?= $rows ?></ul></body></html>
<!-- cached copy, </body> -->
"""


def http_get(url):
    try:
        with urllib.request.urlopen(url, timeout=30) as response:
            return response.status, response.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


def main(ctx):
    inst = Installation(ctx, "sqlite")
    port = free_port()
    base = f"http://127.0.0.1:{port}"
    token = "bar-browser"
    inst.trel("token", "add", inst.root, token, "--ttl", "1d", "--base-url", f"{base}/")
    inst.trel("agent", "add", inst.root, "Chromium", "HeadlessChrome")
    docroot = ctx.path("www")
    os.makedirs(docroot)
    with open(os.path.join(docroot, "shop.php"), "w") as f:
        f.write(PAGE)
    server = PhpServer(ctx, "bar-browser", docroot, port=port,
                       ini={"root": inst.root, "log_file": ctx.path("trel.log")},
                       options=["display_errors=0"])
    browser = Browser(ctx)

    # With the token: the bar, filled in from what was stored.
    browser.call("Storage.setCookies", cookies=[{"name": "trel_token", "value": token, "url": f"{base}/"}])
    page = browser.page()
    page.open(f"{base}/shop.php")
    own_script = page.evaluate("window.shopScript")
    expect(own_script == 39, f"the page's own script did not run whole: {own_script}")
    state = page.wait_for("document.getElementById('trel-bar') && "
                          "document.getElementById('trel-bar').getAttribute('data-trel-state')",
                          "the bar's summary")
    expect(state == "shown", f"the bar says the request is {state}")
    bar = page.evaluate("""(function () {
        var bar = document.getElementById('trel-bar'), box = bar.getBoundingClientRect(), style = getComputedStyle(bar);
        var texts = {};
        bar.querySelectorAll('[data-trel]').forEach(function (e) { texts[e.getAttribute('data-trel')] = e.textContent; });
        return {page: bar.getAttribute('data-trel-page'), texts: texts, position: style.position,
                visible: style.display !== 'none' && style.visibility === 'visible' && box.width > 0 && box.height > 0,
                top: box.top, bottom: box.bottom, width: box.width,
                viewport: [document.documentElement.clientWidth, document.documentElement.clientHeight],
                onTop: document.elementFromPoint(box.left + 5, box.top + box.height / 2).closest('#trel-bar') === bar};
    })()""")
    expect(bar["visible"] and bar["onTop"], f"the bar is not to be seen: {bar}")
    expect(bar["position"] == "fixed" and abs(bar["bottom"] - bar["viewport"][1]) < 1
           and bar["width"] >= bar["viewport"][0] - 1 and bar["bottom"] - bar["top"] < 80,
           f"the bar is not a strip along the bottom of the window: {bar}")

    rows = inst.select("SELECT id, page_id FROM trel_requests")
    expect(len(rows) == 1, f"stored {rows}: the page alone, not the bar's own requests")
    request_id, page_id = rows[0]
    expect(bar["page"] == page_id, f"the bar names page {bar['page']}, stored {page_id}")
    shown = inst.trel("show", inst.root, request_id)
    duration = re.search(r"^  duration +(.+)$", shown, re.M).group(1)
    memory = re.search(r"^  peak memory +(.+)$", shown, re.M).group(1)
    queries = int(inst.value(f"SELECT COUNT(*) FROM trel_sql_queries WHERE request_id = {request_id}"))
    failed = int(inst.value(f"SELECT COUNT(*) FROM trel_sql_queries WHERE request_id = {request_id} "
                            "AND (status <> 0 OR error_message <> '')"))
    errors = int(inst.value(f"SELECT COUNT(*) FROM trel_log_entries WHERE request_id = {request_id}"))
    expect((queries, failed, errors) == (3, 1, 1), f"stored {queries} queries, {failed} failed, {errors} errors")
    expected = {"time": duration, "queries": f"{queries} queries", "failed": f"{failed} failed",
                "errors": f"{errors} error", "memory": re.sub(r" (of .*|\(no limit\))$", "", memory)}
    expect(bar["texts"] == expected, f"the bar shows {bar['texts']}, trel show and the database {expected}")

    # The bar's link opens the stored request's view in a new page.
    page.evaluate("document.querySelector('#trel-bar .trel-bar-details').click()", user_gesture=True)
    details_url = f"{base}/shop.php?__trel={page_id}"
    target = None
    for _ in range(100):
        targets = browser.call("Target.getTargets")["targetInfos"]
        target = next((t["targetId"] for t in targets if t["url"] == details_url), None)
        if target:
            break
        page.evaluate("new Promise(function (done) { setTimeout(done, 100); })")
    expect(target, f"no page opened at {details_url}")
    details = browser.page(target=target)
    details.wait_for("document.readyState === 'complete' && !!document.querySelector('main h1')", "the view")
    view = details.evaluate("""({heading: document.querySelector('main h1').textContent,
        id: document.querySelector('main').getAttribute('data-request-id'),
        queries: document.querySelectorAll('#queries li.query').length,
        errors: document.querySelectorAll('#errors li.entry').length})""")
    expect(view == {"heading": f"GET {base}/shop.php", "id": request_id, "queries": 3, "errors": 1},
           f"the view: {view}")

    # Without the token: no bar, and the view's address gives nothing.
    context = browser.call("Target.createBrowserContext")["browserContextId"]
    stranger = browser.page(context=context)
    stranger.open(f"{base}/shop.php")
    expect(stranger.evaluate("document.querySelector('h1').textContent") == "Shop", "the page did not load")
    expect(stranger.evaluate("document.getElementById('trel-bar') === null"), "a bar without the token")
    expect(stranger.evaluate("document.documentElement.outerHTML.indexOf('trel') === -1"),
           "something of trel in the page without the token")
    stranger.open(details_url)
    text = stranger.evaluate("document.body.innerText")
    status, body = http_get(details_url)
    summary_status, summary = http_get(f"{base}/shop.php?__trel_summary={page_id}")
    for answer in (text.encode(), body, summary):
        expect(answer.strip() == b"Not Found", f"without the token: {answer[:300]!r}")
    expect((status, summary_status) == (404, 404), f"without the token: {status}, {summary_status}")
    expect(int(inst.value("SELECT COUNT(*) FROM trel_requests")) == 1, "the bar's requests were stored")
    server.check_healthy()


if __name__ == "__main__":
    sys.exit(run("bar_browser_check", main))
