"""End to end under a real web server: four PHP workers (php-fpm behind nginx, or
Apache's prefork children with mod_php) serve the small application of tests/php/app
with the extension, on a SQLite installation and on the MariaDB test server.
Under php-fpm also several pools of one master, each with its own trel.root or none,
and two masters sharing one MariaDB database behind one nginx upstream. Concurrent requests with and without a token, workers recycled after a few requests,
the response complete in the browser before the worker writes (and after the session is
saved), and workers killed while a page runs and while they write: the database stays
whole and the next requests are stored.
    server_e2e.py fpm|apache [sqlite|mysql|pools|farm]...
Without the MariaDB test server the parts that need it are skipped (exit 77) once the
others have passed."""

import concurrent.futures
import ctypes
import html
import http.client
import json
import os
import re
import shutil
import signal
import subprocess
import sys

from harness import (Installation, Response, Skipped, Stored, WriteLock, check_no_crash, check_no_strays,
                     check_quiet_log, check_whole, expect, free_port, http_request, run, stored_requests, wait_for)

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


PHP_LOCATION = ("    location ~ (\\.php|^/fpm-status)$ {\n      include /etc/nginx/fastcgi_params;\n"
                "      fastcgi_param SCRIPT_FILENAME $document_root$fastcgi_script_name;\n")


def write_nginx_conf(directory, workers, connections, http):
    """nginx.conf in `directory`, its temporary files and logs there, with `http` in its
    http block."""
    temp = os.path.join(directory, "nginx-temp")
    with open(os.path.join(directory, "nginx.conf"), "w") as f:
        f.write(("user root;\n" if os.geteuid() == 0 else "") +
                f"daemon off;\nworker_processes {workers};\npid {directory}/nginx.pid;\n"
                f"error_log {directory}/nginx-error.log;\nevents {{ worker_connections {connections}; }}\n"
                f"http {{\n  access_log off;\n  client_body_temp_path {temp}/body;\n"
                f"  fastcgi_temp_path {temp}/fastcgi;\n  proxy_temp_path {temp}/proxy;\n"
                f"  uwsgi_temp_path {temp}/uwsgi;\n  scgi_temp_path {temp}/scgi;\n{http}}}\n")


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
        # A shared cache in front of PHP, as sites put one: it keeps what the application
        # says it may (Cache-Control), for every visitor alike.
        write_nginx_conf(self.dir, 2, 256,
                         f"  fastcgi_cache_path {self.dir}/cache keys_zone=pages:1m;\n"
                         f"  server {{\n    listen 127.0.0.1:{self.port};\n    root {APP};\n"
                         f"{PHP_LOCATION}      fastcgi_cache pages;\n      fastcgi_cache_key $request_uri;\n"
                         "      add_header X-Cache $upstream_cache_status;\n"
                         f"      fastcgi_pass unix:{self.socket};\n    }}\n  }}\n")

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


class FpmFront:
    """php-fpm masters with pools of one worker each (the extension loaded, no trel.root
    given to the master), behind one nginx: each server block of nginx passes to a pool's
    socket or to an upstream of several, with fastcgi_params of its own. Unlike FpmSite,
    what the scenario chooses: several pools, several masters, round robin."""

    def __init__(self, ctx, name):
        self.ctx, self.name = ctx, name
        self.site = Site(ctx, name, None, {})
        self.dir = self.site.dir
        os.makedirs(os.path.join(self.dir, "nginx-temp"))
        self.masters, self.servers, self.upstreams = [], [], {}

    def socket(self, pool):
        return os.path.join(self.dir, f"{pool}.sock")

    def master(self, pools):
        """A master serving pools {name: {setting: value}}; each value is given as the
        pool's php_admin_value[setting]."""
        number = len(self.masters)
        conf = os.path.join(self.dir, f"fpm{number}.conf")
        with open(conf, "w") as f:
            f.write(f"[global]\npid = {self.dir}/fpm{number}.pid\nerror_log = {self.dir}/fpm{number}.log\n"
                    "daemonize = no\nlog_level = notice\n\n")
            for pool, settings in pools.items():
                f.write(f"[{pool}]\nlisten = {self.socket(pool)}\nlisten.mode = 0666\n"
                        "pm = static\npm.max_children = 1\ncatch_workers_output = yes\n"
                        "decorate_workers_output = no\npm.status_path = /fpm-status\n")
                f.write("".join(f"php_admin_value[{key}] = {value}\n" for key, value in settings.items()))
        command = ["/usr/sbin/php-fpm8.2", "-F", "-y", conf, "-p", self.dir,
                   "-d", f"extension={self.ctx.extension}", "-d", "log_errors=0",
                   "-d", f"session.save_path={self.site.sessions}"]
        if os.geteuid() == 0:
            command.append("-R")
        process = self.site.launch(command, f"fpm{number}.out")
        self.masters.append(process)
        wait_for(lambda: all(os.path.exists(self.socket(pool)) for pool in pools) or process.poll() is not None,
                 "php-fpm's sockets")
        expect(process.poll() is None, f"{self.name}: php-fpm exited: {self.site.read(f'fpm{number}.log')}")

    def server(self, target, docroot=APP, params=None):
        """A server block on a free port passing to a pool (its name) or an upstream;
        gives the port."""
        port = free_port()
        self.servers.append((port, target, docroot, params or {}))
        return port

    def upstream(self, name, pools):
        self.upstreams[name] = pools

    def start(self):
        upstreams = "".join(f"  upstream {name} {{\n" + "".join(f"    server unix:{self.socket(pool)};\n"
                                                                  for pool in pools) + "  }\n"
                            for name, pools in self.upstreams.items())
        servers = ""
        for port, target, docroot, params in self.servers:
            passed = target if target in self.upstreams else f"unix:{self.socket(target)}"
            servers += (f"  server {{\n    listen 127.0.0.1:{port};\n    root {docroot};\n{PHP_LOCATION}" +
                        "".join(f'      fastcgi_param {key} "{value}";\n' for key, value in params.items()) +
                        f"      fastcgi_pass {passed};\n    }}\n  }}\n")
        # One nginx worker: its round robin alternates between the upstream's servers.
        write_nginx_conf(self.dir, 1, 64, upstreams + servers)
        nginx = self.site.launch(["/usr/sbin/nginx", "-p", self.dir, "-c", os.path.join(self.dir, "nginx.conf"),
                                  "-e", os.path.join(self.dir, "nginx-error.log")], "nginx.out")

        def listening():
            expect(nginx.poll() is None, f"{self.name}: nginx exited: {self.site.read('nginx.out')}")
            try:
                return all(http_request(port, "GET", "/fpm-status").status == 200 for port, *_ in self.servers)
            except OSError:
                return False
        wait_for(listening, "nginx")

    def check_log(self):
        for number in range(len(self.masters)):
            log = self.site.read(f"fpm{number}.log") + self.site.read(f"fpm{number}.out")
            check_no_crash(self.name, log)
            expect(" exited " not in log, f"{self.name}: a worker ended: {log[-600:]}")


def get(port, path, token=None, host=None):
    headers = {"User-Agent": BROWSER, "Connection": "close"}
    if token:
        headers["Cookie"] = f"trel_token={token}"
    if host:
        headers["Host"] = host
    return http_request(port, "GET", path, headers)


def trel_page(response):
    """The page id an admitted response names (header and bar agreeing), or None when
    the response carries neither."""
    header = dict((name.lower(), value) for name, value in response.headers).get("x-trel-page")
    bar = re.search(rb'data-trel-page="([0-9a-f]+)"', response.body)
    expect(response.status == 200 and b"<p>pid " in response.body, f"{response.status} {response.body[:300]!r}")
    expect((header is None) == (bar is None) and (bar is None or bar.group(1).decode() == header),
           f"the header X-Trel-Page {header!r} and the bar {bar and bar.group(0)!r} disagree")
    return header


def info_rows(port, host=None):
    """The extension's rows of phpinfo(), {name: value}."""
    body = get(port, "/info.php", host=host).body.decode("utf-8", "replace")
    section = body[body.index('<h2><a name="module_trel"'):]
    section = section[:section.index("</table>", section.index("</table>") + 1)]
    return {html.unescape(name.strip()): html.unescape(value.strip()) for name, value in
            re.findall(r'<tr><td class="e">([^<]*)</td><td class="v">([^<]*)</td></tr>', section)}


def read_lines(path):
    try:
        with open(path) as f:
            return [line for line in f.read().splitlines() if line.strip()]
    except FileNotFoundError:
        return []


def reads_of(lines):
    """What the log says each read of an installation found: [(root, process, database)]."""
    return [re.fullmatch(r".*trel: reading the installation at (.*) in process (\d+) - (.*)", line).groups()
            for line in lines if "trel: reading the installation at " in line]


def pools(ctx):
    """One php-fpm master, the extension loaded without a root, its pools given theirs
    with php_admin_value: pool a the SQLite installation A, pool b B, pool none no root
    (its site's .user.ini names A, which PHP must ignore: a site cannot point at another
    site's installation), and pool switch none of its own, nginx giving each request its
    root (PHP_ADMIN_VALUE), so that its one worker switches between A and B. Each pool's
    pages are stored in its own installation only; the pool without a root stores
    nothing and sends neither the header nor the bar; phpinfo() and the log name the
    installation of each worker."""
    a, b = Installation(ctx, "sqlite", "pool-a"), Installation(ctx, "sqlite", "pool-b")
    for inst, token in ((a, "pool-token-a"), (b, "pool-token-b")):
        inst.trel("token", "add", inst.root, token, "--ttl", "1d")
        inst.trel("agent", "add", inst.root, "Browsers", "E2E-Browser/")
    front = FpmFront(ctx, "fpm-pools")
    logs = {pool: os.path.join(front.dir, f"trel-{pool}.log") for pool in ("a", "b", "switch")}
    front.master({"a": {"trel.root": a.root, "trel.log_file": logs["a"], "trel.log_level": 1},
                  "b": {"trel.root": b.root, "trel.log_file": logs["b"], "trel.log_level": 1},
                  "none": {},
                  "switch": {"trel.log_file": logs["switch"], "trel.log_level": 1}})
    rootless = ctx.path("rootless-site")
    shutil.copytree(APP, rootless)
    with open(os.path.join(rootless, ".user.ini"), "w") as f:
        f.write(f"trel.root = {a.root}\n")
    ports = {"a": front.server("a"), "b": front.server("b"), "none": front.server("none", rootless),
             "switch-a": front.server("switch", params={"PHP_ADMIN_VALUE": f"trel.root={a.root}"}),
             "switch-b": front.server("switch", params={"PHP_ADMIN_VALUE": f"trel.root={b.root}"})}
    front.start()

    plan = [("a", "pool-a", "pool-token-a", True), ("b", "pool-b", "pool-token-b", True),
            ("a", "pool-a-other-token", "pool-token-b", False), ("none", "none", "pool-token-a", False),
            ("switch-a", "switch-a1", "pool-token-a", True), ("switch-b", "switch-b1", "pool-token-b", True),
            ("switch-a", "switch-a2", "pool-token-a", True)]
    pids = {}
    for site, label, token, admitted in plan:
        response = get(ports[site], f"/worker.php?r={label}", token)
        expect((trel_page(response) is not None) == admitted,
               f"{label}: {'not ' if admitted else ''}admitted: {response.headers}")
        pids.setdefault(site.split("-")[0], set()).add(pid_of(response))
    expect(len(pids["switch"]) == 1, f"the switch pool's one worker: {pids['switch']}")

    # Each pool has one worker: its phpinfo() comes after its last write.
    infos = {site: info_rows(port) for site, port in ports.items()}
    expect(sorted(stored_labels(a)) == ["pool-a", "switch-a1", "switch-a2"], f"A holds {sorted(stored_labels(a))}")
    expect(sorted(stored_labels(b)) == ["pool-b", "switch-b1"], f"B holds {sorted(stored_labels(b))}")
    for inst in (a, b):
        for label, row in stored_labels(inst).items():
            check_whole(inst, row, label)
    database = {inst: f"SQLite database {inst.root}/data/trel.db" for inst in (a, b)}
    expected = {
        "a": ("yes", a.root, database[a]),
        "b": ("yes", b.root, database[b]),
        "none": ("no: trel.root is empty or trel.enabled off here", None,
                 "not read yet in this process (at its first request with a token)"),
        "switch-a": ("yes", a.root, database[a]),
        "switch-b": ("yes", b.root, f"{database[a]}, read from the installation at {a.root} for an earlier "
                                    "request; this request's is read at its first request with a token")}
    for site, (watching, root, installation) in expected.items():
        got = infos[site]
        expect((got.get("Watching requests"), got.get("Installation root"), got.get("Installation in this process"))
               == (watching, root, installation), f"phpinfo() of {site}: {got}")
    # The pool's value is the one PHP reports; the .user.ini's is not taken.
    expect('trel.root</td><td class="v"><i>no value</i>' in
           get(ports["none"], "/info.php").body.decode(), "the .user.ini's trel.root was taken")

    # Each names the pool's one worker.
    worker = {pool: str(next(iter(pids[pool]))) for pool in ("a", "b", "switch")}
    for pool, inst in (("a", a), ("b", b)):
        expect(reads_of(read_lines(logs[pool])) == [(inst.root, worker[pool], database[inst])],
               f"pool {pool}'s log: {read_lines(logs[pool])}")
    lines = read_lines(logs["switch"])
    expect(reads_of(lines) == [(inst.root, worker["switch"], database[inst]) for inst in (a, b, a)]
           and [line.split("trel: ", 1)[1] for line in lines if "names the installation" in line] ==
           [f"this request names the installation at {b.root} - the collector of {a.root} is released",
            f"this request names the installation at {a.root} - the collector of {b.root} is released"]
           and len(lines) == 5, f"the switch pool's log: {lines}")
    front.check_log()
    print("pools: two pools of one php-fpm master stored in their own installations, a pool without a root "
          "stored nothing, one worker switched installations with the request's root")


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


def farm(ctx):
    """Two php-fpm masters, each the web server of its own installation root, both roots
    made by `trel init --mysql` on one MariaDB database (the second joins the first),
    behind one nginx upstream with round robin: the pages are served by both, and every
    page's details and JSON answer on either server, for the one token both share."""
    first = Installation(ctx, "mysql", "farm-1")
    second = Installation(ctx, "mysql", "farm-2", join=first)
    expect(second.init_output.startswith(f"joined the MariaDB/MySQL installation in database {first.database} at "),
           f"the second server's trel init: {second.init_output}")
    front = FpmFront(ctx, "fpm-farm")
    logs = [os.path.join(front.dir, f"trel-{number}.log") for number in (1, 2)]
    for number, inst in ((1, first), (2, second)):
        front.master({f"server{number}": {"trel.root": inst.root, "trel.log_file": logs[number - 1],
                                           "trel.log_level": 1}})
    front.upstream("farm", ["server1", "server2"])
    balancer = front.server("farm")
    direct = [front.server("server1"), front.server("server2")]
    host = f"127.0.0.1:{balancer}"
    token = "farm-token"
    first.trel("token", "add", first.root, token, "--ttl", "1d", "--base-url", f"http://{host}/")
    second.trel("agent", "add", second.root, "Browsers", "E2E-Browser/")
    front.start()
    workers = [pid_of(get(port, "/worker.php?r=farm-visitor")) for port in direct]

    pages, served = {}, []
    for number in range(6):
        response = get(balancer, f"/worker.php?r=farm-{number}", token)
        pages[f"farm-{number}"] = trel_page(response)
        served.append(pid_of(response))
    expect(None not in pages.values(), f"a page through the balancer was not admitted: {pages}")
    expect(sorted(served) == sorted(workers * 3), f"round robin over {workers} served {served}")
    wait_for(lambda: len(stored_labels(first)) == 6, "the six pages to be stored")
    stored = stored_labels(first)
    expect(sorted(stored) == sorted(pages), f"stored {sorted(stored)}")
    for label, page in pages.items():
        row = check_whole(first, stored[label], label)
        for port in direct + [balancer]:
            details = get(port, f"/worker.php?__trel={page}", token, host)
            expect(details.status == 200 and f"r={label}".encode() in details.body,
                   f"{label}'s details on port {port}: {details.status} {details.body[:200]!r}")
            answer = get(port, f"/worker.php?__trel_json={page}", token, host)
            expect(answer.status == 200 and json.loads(answer.body)["id"] == int(row.request_id),
                   f"{label}'s JSON on port {port}: {answer.status} {answer.body[:200]!r}")
            expect(get(port, f"/worker.php?__trel={page}", host=host).status == 404,
                   f"{label}'s details without the token on port {port}")
    database = (f"MariaDB/MySQL database {first.database} on {first.mysql['host']}:{first.mysql['port']}, "
                f"user {first.mysql['user']}")
    for number, inst in ((1, first), (2, second)):
        lines = read_lines(logs[number - 1])
        expect(reads_of(lines) == [(inst.root, str(workers[number - 1]), database)] and len(lines) == 1,
               f"server {number}'s log: {lines}")
    front.check_log()
    print(f"farm: two php-fpm masters on one MariaDB database served {len(pages)} pages in turn; "
          "each page's details and JSON answered on both")


# What a check runs: the scenarios on each backend, then, under php-fpm, its pools and
# its farm. Those that need the MariaDB test server are skipped without it.
PARTS = {"fpm": ("sqlite", "mysql", "pools", "farm"), "apache": ("sqlite", "mysql")}
NEEDS_MYSQL = ("mysql", "farm")


def main(ctx):
    server = sys.argv[1]
    parts = sys.argv[2:] or PARTS[server]
    # Apache's check requires the server, as it always has.
    have_mysql = server != "fpm" or all(os.environ.get(f"TREL_TEST_MYSQL_{n}")
                                        for n in ("HOST", "PORT", "USER", "PASSWORD"))
    for part in parts:
        if part in NEEDS_MYSQL and not have_mysql:
            continue
        if part == "pools":
            pools(ctx)
        elif part == "farm":
            farm(ctx)
        else:
            run_backend(ctx, server, part)
    skipped = [part for part in parts if part in NEEDS_MYSQL and not have_mysql]
    if skipped:
        raise Skipped(f"{', '.join(skipped)} need the MariaDB test server (TREL_TEST_MYSQL_*, "
                      "scripts/mariadb-test-server)")


if __name__ == "__main__":
    sys.exit(run(f"{sys.argv[1]}_check", main))

