"""End to end on a real application: Debian's dokuwiki under `php -S`, without the
extension and with it, on a SQLite installation. Every page must come out as without
the extension, refused or admitted, and every admitted request must be stored whole."""

import os
import re
import subprocess
import sys

from harness import Installation, PhpServer, body_diff, check_no_strays, check_quiet_log, check_whole, expect, free_port, run, stored_requests

HERE = os.path.dirname(os.path.abspath(__file__))
DOKUWIKI = "/usr/share/dokuwiki"
BROWSER = "Mozilla/5.0 (X11; Linux x86_64) E2E-Browser/1.0"
ROBOT = "E2E-Robot/3.0"
PAGES = {
    "start": "/doku.php?r=start",
    "created": "/doku.php?id=e2e:hello&r=created",
    "syntax": "/doku.php?id=wiki:syntax&r=syntax",
    "search": "/doku.php?do=search&q=hello&r=search",
    "missing": "/doku.php?id=no:such:page&r=missing",
}
# dokuwiki's page footer calls its task runner with the current second in the URL
# ("taskrunner.php?id=start&amp;1796687669"): the only part of a page that changes
# from one request to the next, and so the only one masked in the comparison.
TASKRUNNER = re.compile(rb"(taskrunner\.php\?id=[^&\"]*&amp;)\d+")


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
    return response.status, TASKRUNNER.sub(rb"\1<second>", response.body)


def main(ctx):
    expect(os.path.exists(f"{DOKUWIKI}/doku.php"), "dokuwiki is not installed (scripts/bootstrap)")
    inst = Installation(ctx, "sqlite")
    port = free_port()
    token = "dokuwiki-e2e"
    inst.trel("token", "add", inst.root, token, "--ttl", "1d", "--base-url", f"http://127.0.0.1:{port}/")
    inst.trel("agent", "add", inst.root, "Browsers", "E2E-Browser/")
    # One copy of the site and one port for both servers, one after the other: the pages
    # name their own URL (port included) and their asset URLs carry a digest of the
    # settings files' times.
    prepend = site(ctx, "site")
    plain = PhpServer(ctx, "dokuwiki-plain", DOKUWIKI, options=[prepend], port=port)
    expected = {label: get(plain, path, BROWSER) for label, path in PAGES.items()}
    plain.check_healthy()
    plain.stop()
    traced = PhpServer(ctx, "dokuwiki-trel", DOKUWIKI, options=[prepend], port=port,
                       ini={"root": inst.root, "log_file": ctx.path("trel.log")})
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

    stored = stored_requests(inst)
    by_label = {}
    for url, row in stored:
        label = url.rsplit("&r=", 1)[-1].split("?r=")[-1]
        by_label.setdefault(label, []).append((url, row))
    expect(sorted(by_label) == sorted(PAGES) and all(len(v) == 2 for v in by_label.values()),
           f"stored {sorted((k, len(v)) for k, v in by_label.items())}: each admitted request once, no refused one")
    functions = 0
    for label, rows in by_label.items():
        for url, row in rows:
            expect(url == f"http://127.0.0.1:{port}{PAGES[label]}", f"{label}: stored URL {url!r}")
            s = check_whole(inst, row, label)
            expect(row["status_code"] == str(expected[label][0]), f"{label}: status {row['status_code']}")
            expect(len(s.functions) > 100 and ("", "tpl_content") in s.functions,
                   f"{label}: {len(s.functions)} functions stored")
            expect(int(s.breakdown[0][2]) > 0, f"{label}: no local time for dokuwiki's file reads: {s.breakdown}")
            expect(token not in "".join(s.samples.values()), f"{label}: the token was stored")
            functions += len(s.functions)
    deprecations = inst.value("SELECT COUNT(*) FROM trel_log_entries WHERE type = 'E_DEPRECATED' "
                              "AND message LIKE '%strftime()%'")
    expect(int(deprecations) > 0, "dokuwiki's strftime() deprecations were not stored")
    print(f"dokuwiki: {len(PAGES)} pages as without the extension (refused and admitted), "
          f"{len(stored)} admitted requests stored whole ({functions} function rows)")


if __name__ == "__main__":
    sys.exit(run("dokuwiki_check", main))
