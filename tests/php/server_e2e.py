"""End to end under a real web server: four PHP workers (php-fpm behind nginx, or
Apache's prefork children with mod_php) serve the small application of tests/php/app
with the extension, on a SQLite installation and on the MariaDB test server.
Concurrent requests with and without a token, workers recycled after a few requests,
the response complete in the browser before the worker writes (and after the session is
saved), and workers killed while a page runs and while they write: the database stays
whole and the next requests are stored.
    server_e2e.py fpm|apache [sqlite|mysql]..."""

import concurrent.futures
import ctypes
import http.client
import json
import os
import re
import signal
import subprocess
import sys

from harness import (Installation, Response, Stored, WriteLock, check_no_crash, check_no_strays, check_quiet_log,
                     check_whole, expect, free_port, http_request, run, stored_requests, wait_for)

APP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "app")
BROWSER = "Mozilla/5.0 (X11; Linux x86_64) E2E-Browser/1.0"
WORKERS = 4
MAX_REQUESTS = 10  # each worker is recycled several times during the run
PR_SET_PDEATHSIG = 1


def end_with_parent():
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


class Site:
    """A web server with PHP and the extension on a free port: its configuration, pid and
    log files in a folder of its own. start() runs it, once the installation is ready."""

    KILLED_STATUS = None  # what the client of a worker killed while its page runs gets

    def __init__(self, ctx, name, inst, env):
        self.ctx, self.name, self.inst, self.env = ctx, name, inst, env
        self.dir = ctx.path(name)
        self.port = free_port()
        self.trel_log = os.path.join(self.dir, "trel.log")
        self.sessions = os.path.join(self.dir, "sessions")
        os.makedirs(self.sessions)

    def launch(self, command, output):
        expect(os.access(command[0], os.X_OK), f"{command[0]} is missing (scripts/bootstrap installs it)")
        log = open(os.path.join(self.dir, output), "wb")
        # The servers end with the check, even when it is killed. A session of their own:
        # Apache signals its whole process group on a restart and at its end.
        process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, preexec_fn=end_with_parent,
                                   start_new_session=True, env={**os.environ, **self.ctx.php_env})
        self.ctx.cleanups.append(lambda: self.stop(process, log))
        return process

    @staticmethod
    def stop(process, log):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        log.close()

    def read(self, path):
        try:
            with open(os.path.join(self.dir, path), "rb") as f:
                return f.read().decode("utf-8", "replace")
        except FileNotFoundError:  # a log the server has not opened yet
            return ""

    def request(self, path, token=None):
        headers = {"User-Agent": BROWSER, "Connection": "close"}
        if token:
            headers["Cookie"] = f"trel_token={token}"
        return http_request(self.port, "GET", path, headers)

    def check_logged(self, path, response):
        """The server's own record of a response, where it keeps one."""


class FpmSite(Site):
    """php-fpm (pm = static, WORKERS workers, the extension loaded) behind nginx."""

    KILLED_STATUS = 502

    def __init__(self, ctx, name, inst, env):
        super().__init__(ctx, name, inst, env)
        self.socket = os.path.join(self.dir, "fpm.sock")
        self.fpm_log = os.path.join(self.dir, "fpm.log")
        os.makedirs(os.path.join(self.dir, "nginx-temp"))
        pool_env = "".join(f"env[{key}] = {value}\n" for key, value in env.items())
        with open(os.path.join(self.dir, "fpm.conf"), "w") as f:
            # A reload waits for the workers' writes (php-fpm's default ends them at once).
            f.write(f"[global]\npid = {self.dir}/fpm.pid\nerror_log = {self.fpm_log}\ndaemonize = no\n"
                    "log_level = notice\nprocess_control_timeout = 20s\n\n"
                    f"[app]\nlisten = {self.socket}\nlisten.mode = 0666\n"
                    f"pm = static\npm.max_children = {WORKERS}\npm.max_requests = {MAX_REQUESTS}\n"
                    "pm.status_path = /fpm-status\ncatch_workers_output = yes\ndecorate_workers_output = no\n"
                    f"{pool_env}")
        temp = os.path.join(self.dir, "nginx-temp")
        with open(os.path.join(self.dir, "nginx.conf"), "w") as f:
            f.write(("user root;\n" if os.geteuid() == 0 else "") +
                    f"daemon off;\nworker_processes 2;\npid {self.dir}/nginx.pid;\n"
                    f"error_log {self.dir}/nginx-error.log;\nevents {{ worker_connections 256; }}\n"
                    f"http {{\n  access_log off;\n  client_body_temp_path {temp}/body;\n"
                    f"  fastcgi_temp_path {temp}/fastcgi;\n  proxy_temp_path {temp}/proxy;\n"
                    f"  uwsgi_temp_path {temp}/uwsgi;\n  scgi_temp_path {temp}/scgi;\n"
                    # A shared cache in front of PHP, as sites put one: it keeps what the
                    # application says it may (Cache-Control), for every visitor alike.
                    f"  fastcgi_cache_path {self.dir}/cache keys_zone=pages:1m;\n"
                    f"  server {{\n    listen 127.0.0.1:{self.port};\n    root {APP};\n"
                    "    location ~ (\\.php|^/fpm-status)$ {\n      include /etc/nginx/fastcgi_params;\n"
                    "      fastcgi_param SCRIPT_FILENAME $document_root$fastcgi_script_name;\n"
                    "      fastcgi_cache pages;\n      fastcgi_cache_key $request_uri;\n"
                    "      add_header X-Cache $upstream_cache_status;\n"
                    f"      fastcgi_pass unix:{self.socket};\n    }}\n  }}\n}}\n")

    def start(self):
        command = ["/usr/sbin/php-fpm8.2", "-F", "-y", os.path.join(self.dir, "fpm.conf"), "-p", self.dir,
                   "-d", f"extension={self.ctx.extension}", "-d", f"trel.root={self.inst.root}",
                   "-d", f"trel.log_file={self.trel_log}", "-d", "trel.function_stats=1",
                   "-d", f"session.save_path={self.sessions}",
                   "-d", "log_errors=0"]
        if os.geteuid() == 0:
            command.append("-R")
        self.fpm = self.launch(command, "fpm.out")
        wait_for(lambda: os.path.exists(self.socket) or self.fpm.poll() is not None, "php-fpm's socket")
        expect(self.fpm.poll() is None, f"{self.name}: php-fpm exited: {self.read(self.fpm_log)}")
        self.nginx = self.launch(["/usr/sbin/nginx", "-p", self.dir, "-c", os.path.join(self.dir, "nginx.conf"),
                                  "-e", os.path.join(self.dir, "nginx-error.log")], "nginx.out")
        wait_for(self.listening, "nginx")

    def listening(self):
        expect(self.nginx.poll() is None, f"{self.name}: nginx exited: {self.read('nginx.out')}")
        try:
            return http_request(self.port, "GET", "/fpm-status").status == 200
        except OSError:
            return False

    def settled(self):
        """All workers are up and idle but the one answering: every write has ended."""
        status = json.loads(http_request(self.port, "GET", "/fpm-status?json").body)
        return status["active processes"] == 1 and status["idle processes"] == WORKERS - 1

    def saw_killed(self, pid):
        return f"child {pid} exited" in self.read(self.fpm_log)

    def reload(self):
        os.kill(self.fpm.pid, signal.SIGUSR2)

    def reloading(self):
        return "Reloading in progress" in self.read(self.fpm_log)

    def reloaded(self):
        return "reloading: " in self.read(self.fpm_log)

    def check_log(self, killed):
        """php-fpm saw no crash: its workers ended by exiting normally (recycled) or by
        the SIGKILLs of the check, and were replaced."""
        log = self.read(self.fpm_log) + self.read("fpm.out")
        check_no_crash(self.name, log)
        exits = [line for line in log.splitlines() if " exited " in line]
        abnormal = [line for line in exits if "exited with code 0" not in line
                    and not any(f"child {pid} exited on signal 9" in line for pid in killed)]
        expect(not abnormal, f"{self.name}: workers ended abnormally: {abnormal}")
        expect(sum("exited with code 0" in line for line in exits) >= WORKERS,
               f"{self.name}: workers were not recycled: {exits}")
        for pid in killed:
            expect(f"child {pid} exited on signal 9" in log, f"{self.name}: php-fpm did not see {pid} killed")


class ApacheSite(Site):
    """Apache with the prefork MPM and mod_php, WORKERS children recycled after a few
    connections, the extension loaded from the php.ini of its PHPIniDir. Run by root,
    the children run as nobody, and the check's folder is theirs."""

    MODULES = ("mpm_prefork", "authz_core", "env", "status")

    def __init__(self, ctx, name, inst, env):
        super().__init__(ctx, name, inst, env)
        self.error_log = os.path.join(self.dir, "error.log")
        self.access_log = os.path.join(self.dir, "access.log")
        ini = os.path.join(self.dir, "php")
        os.makedirs(ini)
        with open(os.path.join(ini, "php.ini"), "w") as f:
            f.write(f"extension={ctx.extension}\ntrel.root={inst.root}\ntrel.log_file={self.trel_log}\ntrel.function_stats=1\n"
                    f"session.save_path={self.sessions}\nlog_errors=0\n"
                    # As php.ini-development and -production have it: start-up errors shown,
                    # from PHP's default output buffer.
                    "output_buffering=4096\ndisplay_startup_errors=1\ndisplay_errors=1\n")
        modules = "".join(f"LoadModule {module}_module /usr/lib/apache2/modules/mod_{module}.so\n"
                          for module in self.MODULES)
        environment = "".join(f"SetEnv {key} {value}\n" for key, value in env.items())
        user = "User nobody\nGroup nogroup\n" if os.geteuid() == 0 else ""
        with open(os.path.join(self.dir, "apache.conf"), "w") as f:
            f.write(f"ServerRoot {self.dir}\nDefaultRuntimeDir {self.dir}\nPidFile {self.dir}/apache.pid\n"
                    f"ServerName 127.0.0.1\nListen 127.0.0.1:{self.port}\n{user}"
                    f"ErrorLog {self.error_log}\nLogLevel notice\n"
                    f"LogFormat \"%>s %B %r\" plain\nCustomLog {self.access_log} plain\n{modules}"
                    "LoadModule php_module /usr/lib/apache2/modules/libphp8.2.so\n"
                    f"PHPIniDir {ini}\n"
                    f"StartServers {WORKERS}\nMinSpareServers {WORKERS}\nMaxSpareServers {WORKERS}\n"
                    f"ServerLimit {WORKERS}\nMaxRequestWorkers {WORKERS}\nMaxConnectionsPerChild {MAX_REQUESTS}\n"
                    f"KeepAlive On\nDocumentRoot {APP}\n<Directory />\n  Require all granted\n</Directory>\n"
                    "<FilesMatch \"\\.php$\">\n  SetHandler application/x-httpd-php\n</FilesMatch>\n"
                    "<Location /server-status>\n  SetHandler server-status\n</Location>\n"
                    f"{environment}")

    def start(self):
        if os.geteuid() == 0:
            subprocess.run(["chown", "-R", "nobody:nogroup", self.ctx.work], check=True)
        self.apache = self.launch(["/usr/sbin/apache2", "-f", os.path.join(self.dir, "apache.conf"),
                                   "-DFOREGROUND"], "apache.out")
        wait_for(self.listening, "Apache")

    def listening(self):
        expect(self.apache.poll() is None,
               f"{self.name}: Apache exited: {self.read('apache.out')}{self.read(self.error_log)}")
        try:
            return http_request(self.port, "GET", "/server-status?auto").status == 200
        except OSError:
            return False

    def settled(self):
        """No child is busy but the one answering: every write has ended."""
        status = http_request(self.port, "GET", "/server-status?auto").body.decode()
        return re.search(r"^BusyWorkers: 1$", status, re.M) is not None

    def saw_killed(self, pid):
        """Apache does not log a SIGKILL: the child is gone once Apache has reaped it."""
        return not os.path.exists(f"/proc/{pid}")

    def reload(self):
        os.kill(self.apache.pid, signal.SIGUSR1)

    def reloading(self):
        return "Graceful restart requested" in self.read(self.error_log)

    def reloaded(self):
        return self.read(self.error_log).count("resuming normal operations") >= 2

    def check_logged(self, path, response):
        """Apache logged the response's status and its size as sent."""
        line = f"{response.status} {len(response.body)} GET {path} HTTP/1.1"
        expect(line in self.read(self.access_log).splitlines(), f"{self.name}: no '{line}' in the access log")

    def check_log(self, killed):
        """Apache saw no crash: no child ended on a signal (Apache logs all but SIGKILL)."""
        log = self.read(self.error_log) + self.read("apache.out")
        check_no_crash(self.name, log)
        signalled = [line for line in log.splitlines() if "exit signal" in line]
        expect(not signalled, f"{self.name}: children ended abnormally: {signalled}")


SITES = {"fpm": FpmSite, "apache": ApacheSite}


def stored_labels(inst):
    return {url.split("?r=")[1].split("&")[0]: row for url, row in stored_requests(inst)}


def concurrent_load(site, inst, token):
    """Requests from eight clients at once, a token in every second one (the others
    have none or a wrong one): each admitted request stored whole, nothing of the
    others, every page as without the extension."""
    kinds = (token, None, token, "not-a-token")
    plan = [(f"load-{i}", kinds[i % len(kinds)]) for i in range(96)]
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        responses = list(pool.map(lambda item: site.request(f"/shop.php?r={item[0]}", item[1]), plan))
    expect({r.status for r in responses} == {200}, f"statuses {[r.status for r in responses]}")
    expect(len({r.body for r in responses}) == 1 and b"total " in responses[0].body,
           "pages with and without a token differ")
    wait_for(site.settled, "the workers to finish their writes")
    stored = stored_labels(inst)
    admitted = {label for label, presented in plan if presented == token}
    expect(set(stored) == admitted, f"stored {sorted(set(stored) ^ admitted)} beyond or short of the admitted ones")
    for label in admitted:
        shop = check_whole(inst, stored[label], label)
        expect(shop.function("Shop\\Cart", "add")[0] == 3 and shop.events == ["shop.cart", "shop.viewed"]
               and shop.error("E_WARNING", 'Undefined array key "discount"'), f"{label}: sections")


def finished_before_write(site, inst, token):
    """With the database locked, the browser has the whole page, its bar included,
    while the worker still waits to write, though the page flushed its head early: the
    bar's summary is not there yet ("not stored yet", 202), and the page's session is
    free for the browser's next page. Once the lock is gone the request is stored and the
    summary answers, on the connection that the browser kept open: the page went with its
    length."""
    lock = WriteLock(inst)
    browser = http.client.HTTPConnection("127.0.0.1", site.port, timeout=60)
    site.ctx.cleanups.append(browser.close)
    headers = {"User-Agent": BROWSER, "Cookie": f"trel_token={token}"}
    try:
        browser.request("GET", "/worker.php?r=held&session=1&flush=1", headers=headers)
        answer = browser.getresponse()
        response = Response(answer.status, answer.getheaders(), answer.read())
        kept = browser.sock
        expect(kept and not answer.will_close, "the held page's connection was not kept open")
        page = re.search(rb'data-trel-page="([0-9a-f]+)"', response.body)
        expect(response.status == 200 and response.body.endswith(b"</html>\n") and page
               and answer.getheader("Content-Length") == str(len(response.body)),
               f"the page with the database locked: {response.status} {answer.getheader('Content-Length')} "
               f"{response.body[-300:]!r}")
        summary = f"/worker.php?__trel_summary={page.group(1).decode()}"
        expect(site.request(summary, token).status == 202 and "held" not in stored_labels(inst),
               "stored before the page was sent: nothing blocked the write")
        expect(site.request(summary).status == 404, "the summary without the token is not the 404")
        session = next(value.split(";")[0] for name, value in response.headers
                       if name.lower() == "set-cookie" and value.startswith("PHPSESSID="))
        following = http_request(site.port, "GET", "/worker.php?r=next&session=1",
                                 {"User-Agent": BROWSER, "Cookie": session})
        expect(following.status == 200 and b"<p>visit 2</p>" in following.body
               and "held" not in stored_labels(inst),
               "the next page of the session was not served while the held write waited")
    finally:
        lock.release()
    wait_for(lambda: "held" in stored_labels(inst), "the write held by the lock to be stored after it")
    row = stored_labels(inst)["held"]
    check_whole(inst, row, "held")
    browser.request("GET", summary, headers=headers)
    answer = browser.getresponse()
    body = answer.read()
    expect(browser.sock is kept, "the connection kept open after the held page was not used again")
    expect(answer.status == 200 and json.loads(body)["id"] == int(row["id"]),
           f"the bar's summary of the stored request: {answer.status} {body[:200]!r}")
    browser.close()
    wait_for(site.settled, "the held write")
    site.check_logged("/worker.php?r=held&session=1&flush=1", response)


def warning_before_page(site, inst, token):
    """A form with more fields than max_input_vars, on a connection kept open: PHP's
    warning, shown from its default output buffer ahead of the page, is counted in the
    page's length, so that the page is read whole and the next response from its
    start."""
    browser = http.client.HTTPConnection("127.0.0.1", site.port, timeout=60)
    site.ctx.cleanups.append(browser.close)
    form = "&".join(f"f{i}=1" for i in range(1001))
    browser.request("POST", "/worker.php?r=fields", body=form, headers={
        "User-Agent": BROWSER, "Cookie": f"trel_token={token}", "Content-Type": "application/x-www-form-urlencoded"})
    answer = browser.getresponse()
    body = answer.read()
    expect(answer.status == 200 and b"Input variables exceeded 1000" in body and body.endswith(b"</html>\n")
           and b"data-trel-page" in body and answer.getheader("Content-Length") == str(len(body)),
           f"the page after a start-up warning: length {answer.getheader('Content-Length')} of {len(body)} bytes, "
           f"ending {body[-80:]!r}")
    try:
        browser.request("GET", "/worker.php?r=fields-next", headers={"User-Agent": BROWSER})
        answer = browser.getresponse()
        following = answer.status, answer.read()
    except http.client.HTTPException as error:
        following = None, repr(error).encode()
    expect(following[0] == 200 and following[1].endswith(b"</html>\n"),
           f"the next response on the connection: {following[0]} {following[1][:120]!r}")
    browser.close()
    wait_for(lambda: "fields" in stored_labels(inst), "the page after the warning to be stored")


def shared_cache(site, inst, token):
    """A page that says a shared cache may keep it (public, max-age=300, with an ETag and
    a Last-Modified), behind nginx's fastcgi_cache: asked with the token it is private
    and unvalidated every time, so the cache keeps none of them; a conditional request
    with the token gets the whole page with its bar, not a 304; the visitor without the
    token after them gets the application's page without the bar."""
    path = "/worker.php?r=cached&cache=1"
    conditional = {"If-None-Match": '"worker-1"', "If-Modified-Since": "Tue, 01 Dec 2026 10:00:00 GMT"}
    pages = []
    for extra in ({}, conditional):
        headers = {"User-Agent": BROWSER, "Cookie": f"trel_token={token}", "Connection": "close", **extra}
        response = http_request(site.port, "GET", path, headers)
        fields = {name.lower(): value for name, value in response.headers}
        expect(response.status == 200 and b"data-trel-page" in response.body and b"</html>" in response.body
               and fields.get("cache-control") == "private, no-store" and "x-trel-page" in fields
               and "etag" not in fields and "last-modified" not in fields and "expires" not in fields,
               f"the admitted page of a cacheable answer ({sorted(extra)}): {response.status} {response.headers}")
        pages.append(fields["x-trel-page"])
    visitor = site.request(path)
    fields = {name.lower(): value for name, value in visitor.headers}
    expect(visitor.status == 200 and b"<p>pid " in visitor.body and b"trel" not in visitor.body
           and "x-trel-page" not in fields and fields.get("cache-control") == "public, max-age=300",
           f"the visitor without the token after the developer: {visitor.status} {visitor.headers} "
           f"{visitor.body[:300]!r}")
    wait_for(site.settled, "the workers to finish their writes")
    stored = [row["page_id"] for url, row in stored_requests(inst) if "r=cached" in url]
    expect(sorted(stored) == sorted(pages), f"the developer's two pages were not both stored: {stored} {pages}")


def signed_in_before_redirect(site, inst, token):
    """A sign-in that redirects, on a session store that neither locks nor saves at
    once: with the database locked, the redirect comes after the session is saved (the
    next page, served at once by another worker, sees the sign-in) and before the write
    (the request is not stored until the lock goes)."""
    lock = WriteLock(inst)
    try:
        response = http_request(site.port, "POST", "/signin.php?r=signin",
                                {"User-Agent": BROWSER, "Cookie": f"trel_token={token}",
                                 "Content-Type": "application/x-www-form-urlencoded"}, b"user=ada")
        expect(response.status == 302, f"the sign-in: {response.status} {response.body[:200]!r}")
        session = next(value.split(";")[0] for name, value in response.headers
                       if name.lower() == "set-cookie" and value.startswith("PHPSESSID="))
        following = http_request(site.port, "GET", "/signin.php?r=after-signin",
                                 {"User-Agent": BROWSER, "Cookie": session})
        expect(b"<p>user ada</p>" in following.body,
               f"the page after the sign-in did not see it (the redirect came before the session was saved): "
               f"{following.body[-120:]!r}")
        expect("signin" not in stored_labels(inst), "the sign-in was stored before its redirect was sent")
    finally:
        lock.release()
    wait_for(site.settled, "the held write")
    row = stored_labels(inst).get("signin")
    expect(row and row["status_code"] == "302", f"the sign-in held by the lock was not stored after it: {row}")
    check_whole(inst, row, "signin")


def pid_of(response):
    return int(re.search(rb"<p>pid (\d+)</p>", response.body).group(1))


def killed_while_writing(site, inst, token):
    """A worker killed halfway through its write (its page already sent) leaves
    nothing of that request."""
    lock = WriteLock(inst)
    try:
        pid = pid_of(site.request("/worker.php?r=killed-writing", token))
        if inst.backend == "mysql":
            wait_for(lock.writer_waiting, "the write to reach the locked table")
        os.kill(pid, signal.SIGKILL)
        wait_for(lambda: site.saw_killed(pid), "the server to see the kill")
    finally:
        lock.release()
    return pid


def answered_status(pending):
    try:
        return pending.result().status
    except (OSError, http.client.HTTPException):
        return None


def killed_while_running(site, inst, token, data):
    """A worker killed while its page runs: the browser gets the server's error page (or
    a dropped connection where the worker held it), and nothing of the request is
    stored."""
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        pending = pool.submit(site.request, "/worker.php?r=killed-running&case=sleep", token)
        pid_file = os.path.join(data, "pid-killed-running")
        wait_for(lambda: os.path.exists(pid_file) and os.path.getsize(pid_file) > 0, "the page to start")
        with open(pid_file) as f:
            pid = int(f.read())
        os.kill(pid, signal.SIGKILL)
        expect(answered_status(pending) == site.KILLED_STATUS, "the killed page was answered")
    return pid


def restarted(site, inst, token):
    """The server reloaded gracefully (php-fpm's SIGUSR2 with its
    process_control_timeout, Apache's SIGUSR1) while a worker waits to write: the worker
    ends its write, then new workers serve."""
    lock = WriteLock(inst)
    try:
        site.request("/worker.php?r=reload-held", token)
        site.reload()
        wait_for(site.reloading, "the server to begin its reload")
    finally:
        lock.release()
    wait_for(lambda: site.reloaded() and site.settled(), "the server to reload")
    expect("reload-held" in stored_labels(inst), "the write under way at the reload was lost")


def after_kills(site, inst, token, killed):
    """The replaced workers serve and store the next requests; the database is whole:
    every stored request has all its rows, none of the killed requests is there."""
    labels = [f"after-{i}" for i in range(8)]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        pids = list(pool.map(lambda label: pid_of(site.request(f"/worker.php?r={label}", token)), labels))
    expect(not set(pids) & set(killed), f"a killed worker served: {pids}")
    wait_for(site.settled, "the workers to finish their writes")
    stored = stored_labels(inst)
    expect(not {"killed-running", "killed-writing"} & set(stored), f"a killed request was stored: {sorted(stored)}")
    if inst.backend == "sqlite":
        expect(inst.value("PRAGMA integrity_check") == "ok", "the SQLite file is damaged")
    for label, row in stored.items():
        check_whole(inst, row, label)
    for label in labels:
        expect(Stored(inst, stored[label]["id"]).events == ["worker.page"], f"{label}: events")
    check_no_strays(inst)
    return len(stored)


def run_backend(ctx, server, backend):
    inst = Installation(ctx, backend)
    site_name = f"{server}-{backend}"
    data = ctx.path(f"{site_name}-data")
    os.makedirs(data)
    site = SITES[server](ctx, site_name, inst, {"E2E_DATA": data})
    token = "server-e2e-token"
    inst.trel("token", "add", inst.root, token, "--ttl", "1d", "--base-url", f"http://127.0.0.1:{site.port}/")
    inst.trel("agent", "add", inst.root, "Browsers", "E2E-Browser/")
    site.start()
    concurrent_load(site, inst, token)
    finished_before_write(site, inst, token)
    if server == "fpm":
        shared_cache(site, inst, token)
    else:
        warning_before_page(site, inst, token)
    signed_in_before_redirect(site, inst, token)
    killed = [killed_while_writing(site, inst, token), killed_while_running(site, inst, token, data)]
    restarted(site, inst, token)
    stored = after_kills(site, inst, token, killed)
    site.check_log(killed)
    check_quiet_log(site.trel_log)
    print(f"{server} on {backend}: {stored} requests stored whole through {WORKERS} workers, "
          "two workers killed (running, writing), none of their requests stored; a reload kept its write")


def main(ctx):
    server = sys.argv[1]
    for backend in sys.argv[2:] or ("sqlite", "mysql"):
        run_backend(ctx, server, backend)


if __name__ == "__main__":
    sys.exit(run(f"{sys.argv[1]}_check", main))
