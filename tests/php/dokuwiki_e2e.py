"""End to end on a real application: Debian's dokuwiki under `php -S`, without the
extension and with it, on a SQLite installation: pages read and one written through the
editor (a form, a session, a POST). Every answer must come out as without the
extension, refused or admitted (an admitted page with its bar taken out), and every
admitted request must be stored whole."""

import html
import os
import re
import subprocess
import sys
import urllib.parse

from harness import (Installation, PhpServer, Stored, body_diff, check_no_strays, check_quiet_log, check_whole,
                     expect, free_port, run, stored_requests)

HERE = os.path.dirname(os.path.abspath(__file__))
DOKUWIKI = "/usr/share/dokuwiki"
BROWSER = "Mozilla/5.0 (X11; Linux x86_64) E2E-Browser/1.0"
ROBOT = "E2E-Robot/3.0"
PAGES = {
    "start": "/doku.php?r=start",
    "written": "/doku.php?id=e2e:hello&r=written",
    "edited": "/doku.php?id=e2e:edited&r=edited",
    "syntax": "/doku.php?id=wiki:syntax&r=syntax",
    "search": "/doku.php?do=search&q=hello&r=search",
    "missing": "/doku.php?id=no:such:page&r=missing",
}
EDITED = "====== Edited ======\nWritten through the editor by the **end-to-end** check.\n"
# dokuwiki's page footer calls its task runner with the current second in the URL
# ("taskrunner.php?id=start&amp;1796687669"): the only part of a page that changes
# from one request to the next, and so the only one masked in the comparison.
TASKRUNNER = re.compile(rb"(taskrunner\.php\?id=[^&\"]*&amp;)\d+")
# The installation's bar templates (read by main()).
BAR = {}


def unbar(body, admitted):
    """The page without the bar that the extension puts into an admitted HTML page (the
    header before </head>, the footer with the request's page id before </body>); the
    bar must be there exactly then, once."""
    footer = re.compile(re.escape(BAR["footer"]).replace(re.escape(b"{{trel-page-id}}"), rb"[0-9a-f]{32}"))
    found = body.count(BAR["header"]) == 1 and len(footer.findall(body)) == 1
    expect(found == (admitted and b"</body>" in body.lower()),
           f"the bar is {'there' if found else 'missing'} in a page {'' if admitted else 'not '}admitted")
    return footer.sub(b"", body.replace(BAR["header"], b"", 1)) if found else body


def site(ctx, name):
    folder = ctx.path(name)
    subprocess.run(["sh", os.path.join(HERE, "dokuwiki_site.sh"), folder], check=True)
    return f"auto_prepend_file={folder}/prepend.php"


def get(server, path, agent, token=None):
    headers = {"User-Agent": agent}
    if token:
        headers["Cookie"] = f"trel_token={token}"
    response = server.request("GET", path, headers)
    expect(response.status in (200, 404), f"{path}: status {response.status}")
    body = unbar(response.body, bool(token) and agent == BROWSER) if BAR else response.body
    return response.status, TASKRUNNER.sub(rb"\1<second>", body)


def settle(folder):
    """The edited page as saved, with a fixed time: its view shows the minute of its
    last change."""
    page = os.path.join(folder, "data", "pages", "e2e", "edited.txt")
    with open(page) as f:
        expect(f.read() == EDITED, "dokuwiki did not save the edited page")
    os.utime(page, (1704164645, 1704164645))


def edit(server, agent, token=None):
    """Writes the page e2e:edited through dokuwiki's editor: the edit form (which starts
    a session), then the form posted back with the page's text. Returns both answers,
    masked as get() masks them."""
    headers = {"User-Agent": agent}
    if token:
        headers["Cookie"] = f"trel_token={token}"
    form = server.request("GET", "/doku.php?id=e2e:edited&do=edit&r=edit", headers)
    fields = {name: html.unescape(value) for name, value in
              re.findall(r'<input type="hidden" name="([^"]+)" value="([^"]*)"', form.body.decode())}
    fields.update({"id": "e2e:edited", "wikitext": EDITED, "summary": "end-to-end", "do[save]": "Save"})
    session = [value.split(";")[0] for name, value in form.headers if name.lower() == "set-cookie"]
    headers["Cookie"] = "; ".join(session + ([f"trel_token={token}"] if token else []))
    headers["Content-Type"] = "application/x-www-form-urlencoded"
    saved = server.request("POST", "/doku.php?r=save", headers, urllib.parse.urlencode(fields).encode())
    return [(r.status, TASKRUNNER.sub(rb"\1<second>", unbar(r.body, bool(token)) if BAR else r.body))
            for r in (form, saved)]


def main(ctx):
    expect(os.path.exists(f"{DOKUWIKI}/doku.php"), "dokuwiki is not installed (scripts/bootstrap)")
    inst = Installation(ctx, "sqlite")
    for part in ("header", "footer"):
        with open(os.path.join(inst.root, "share", "scripts", f"trel_{part}.html"), "rb") as f:
            BAR[part] = f.read()
    port = free_port()
    token = "dokuwiki-e2e"
    inst.trel("token", "add", inst.root, token, "--ttl", "1d", "--base-url", f"http://127.0.0.1:{port}/")
    inst.trel("agent", "add", inst.root, "Browsers", "E2E-Browser/")
    # A copy of the site for each server, and one port for both, one after the other: the
    # pages name their own URL, port included.
    plain = PhpServer(ctx, "dokuwiki-plain", DOKUWIKI, options=[site(ctx, "site-plain")], port=port)
    edited = edit(plain, BROWSER)
    settle(ctx.path("site-plain"))
    expected = {label: get(plain, path, BROWSER) for label, path in PAGES.items()}
    plain.check_healthy()
    plain.stop()
    traced = PhpServer(ctx, "dokuwiki-trel", DOKUWIKI, options=[site(ctx, "site-trel")], port=port,
                       ini={"root": inst.root, "log_file": ctx.path("trel.log"), "function_stats_limit": "0"})
    got = edit(traced, BROWSER, token)
    settle(ctx.path("site-trel"))
    expect(got == edited, f"editing: {[g[0] for g in got]}, without the extension {[e[0] for e in edited]}:\n"
           f"{body_diff(got[0][1], edited[0][1])}")
    # Refused (no token; a robot with the token), admitted, and each once more, so that
    # one process serves the kinds in turn.
    for label, path in PAGES.items():
        for agent, with_token in ((BROWSER, False), (BROWSER, True), (ROBOT, True)) * 2:
            got = get(traced, path, agent, token if with_token else None)
            expect(got == expected[label], f"{label} ({agent}, token: {with_token}): status {got[0]}, without the "
                   f"extension {expected[label][0]}; the page differs:\n{body_diff(got[1], expected[label][1])}")
    traced.check_healthy()
    check_quiet_log(ctx.path("trel.log"))
    check_no_strays(inst)

    # Each page twice, the edit form and the save once each; nothing of the refused ones.
    admitted = {label: (path, 2, expected[label][0]) for label, path in PAGES.items()}
    admitted["edit"] = ("/doku.php?id=e2e:edited&do=edit&r=edit", 1, edited[0][0])
    admitted["save"] = ("/doku.php?r=save", 1, edited[1][0])
    stored = stored_requests(inst)
    by_label = {}
    for url, row in stored:
        by_label.setdefault(url.rsplit("r=", 1)[-1], []).append((url, row))
    expect({label: len(rows) for label, rows in by_label.items()} == {k: v[1] for k, v in admitted.items()},
           f"stored {sorted((k, len(v)) for k, v in by_label.items())}: each admitted request, no refused one")
    functions = 0
    for label, rows in by_label.items():
        path, _, status = admitted[label]
        for url, row in rows:
            expect(url == f"http://127.0.0.1:{port}{path}", f"{label}: stored URL {url!r}")
            s = check_whole(inst, row, label)
            expect(row["status_code"] == str(status), f"{label}: status {row['status_code']}, served {status}")
            expect(len(s.functions) > 100, f"{label}: {len(s.functions)} functions stored")
            expect(label == "save" or ("", "tpl_content") in s.functions, f"{label}: tpl_content() not counted")
            expect(int(s.breakdown[0][2]) > 0, f"{label}: no local time for dokuwiki's file reads: {s.breakdown}")
            expect(token not in "".join(s.samples.values()), f"{label}: the token was stored")
            functions += len(s.functions)
    save_row = by_label["save"][0][1]
    save = Stored(inst, save_row["id"])
    expect(save_row["method"] == "POST"
           and "Written through the editor" in save.samples[("_POST", "SAMPLE_START")],
           f"the save's $_POST sample: {save.samples[('_POST', 'SAMPLE_START')][:300]!r}")
    # dokuwiki names its session cookie itself (session_name()) once the request runs.
    for kind in ("SAMPLE_START", "SAMPLE_END"):
        expect(re.search(r's:8:"DokuWiki";s:\d+:"\*\*\*\(\d+ bytes\)";', save.samples[("_COOKIE", kind)]),
               f"the save's session cookie is not masked: {save.samples[('_COOKIE', kind)][:300]!r}")
    deprecations = inst.value("SELECT COUNT(*) FROM trel_log_entries WHERE type = 'E_DEPRECATED' "
                              "AND message LIKE '%strftime()%'")
    expect(int(deprecations) > 0, "dokuwiki's strftime() deprecations were not stored")
    print(f"dokuwiki: {len(PAGES)} pages and an edit as without the extension (refused and admitted), "
          f"{len(stored)} admitted requests stored whole ({functions} function rows)")


if __name__ == "__main__":
    sys.exit(run("dokuwiki_check", main))
