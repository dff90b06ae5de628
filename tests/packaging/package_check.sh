#!/bin/sh
# The Debian packages of the built tree, installed on this machine as a PHP developer
# would: scripts/package builds them (lintian finds no error, nor in the packages of a
# `git archive` of the tree), apt-get installs them, PHP loads the extension, `trel init`
# and a request through `php -S` and one through Apache with mod_php store a request,
# and a purge leaves none of their files behind.
# Needs root, and changes the system while it runs (every php process loads the
# installed extension): CTest runs it alone, and the sanitizer pass not at all.
# Packages are made only of a normal build for the prefix /usr in Debian's multiarch
# library folder (scripts/package); a build configured otherwise, as the README allows,
# skips the check with its reason (exit status 77, which CTest reports as skipped).
#   TREL_SOURCE_DIR=... TREL_BUILD_DIR=... sh tests/packaging/package_check.sh
set -eu
export DEBIAN_FRONTEND=noninteractive
: "${TREL_SOURCE_DIR:?TREL_SOURCE_DIR must name the source tree}"
: "${TREL_BUILD_DIR:?TREL_BUILD_DIR must name a built tree}"

fail() {
    echo "package_check: $*" >&2
    exit 1
}

# Runs a command with its output in $tmp/log, shown only when it fails.
logged() {
    "$@" >"$tmp/log" 2>&1 || {
        cat "$tmp/log" >&2
        fail "failed: $*"
    }
}

skip() {
    echo "package_check: skipped: $*"
    exit 77
}
cache=$TREL_BUILD_DIR/CMakeCache.txt
[ -f "$cache" ] || fail "$TREL_BUILD_DIR is not a configured build"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
grep -q '^CMAKE_INSTALL_PREFIX:PATH=/usr$' "$cache" ||
    skip "the build's install prefix is $(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$cache"), packages are made for /usr"
grep -q "^CMAKE_INSTALL_LIBDIR:PATH=lib/$multiarch\$" "$cache" ||
    skip "the build's library folder is not lib/$multiarch, where the packages put the libraries"
if grep -Eq '^TREL_(SANITIZE|FUZZ):BOOL=(ON|TRUE|1)$' "$cache"; then
    skip "a sanitizer build; packages are made of a normal build"
fi

[ "$(id -u)" = 0 ] || fail "needs root: it installs and purges the packages with apt-get"

tmp=$(mktemp -d /tmp/trel-package-check.XXXXXX)
server=
packages=
apache_pid_file=
# Stops the detached Apache gracefully (its children end their requests and writes) and
# waits for its end.
stop_apache() {
    [ -n "$apache_pid_file" ] && [ -f "$apache_pid_file" ] || return 0
    pid=$(cat "$apache_pid_file")
    apache_pid_file=
    kill -WINCH "$pid" 2>/dev/null || true
    for attempt in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
}
cleanup() {
    [ -z "$server" ] || kill "$server" 2>/dev/null || true
    stop_apache
    if [ -n "$packages" ]; then
        apt-get purge -y -qq $packages >/dev/null 2>&1 || true
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

logged sh "$TREL_SOURCE_DIR/scripts/package" "$TREL_BUILD_DIR" "$tmp/debs"
set -- "$tmp"/debs/*.deb
[ $# = 5 ] || fail "expected 5 packages, got $#: $*"
dpkg-deb -c "$(ls "$tmp"/debs/libtrel-dev_*.deb)" | grep -q " ./usr/lib/$multiarch/pkgconfig/trel.pc$" ||
    fail "trel.pc is not in /usr/lib/$multiarch/pkgconfig"
for deb in "$@"; do
    doc=./usr/share/doc/$(dpkg-deb -f "$deb" Package)/copyright
    dpkg-deb --fsys-tarfile "$deb" | tar -xO "$doc" | grep -qx "License: Apache-2.0" ||
        fail "$deb: $doc does not name the Apache License 2.0"
done

# A tree from `git archive` (its files 0664, as under umask 002) makes packages that
# lintian accepts: configured from that tree and packed from the binaries built above, as
# the sources' modes reach the packages only through what is configured and packed.
if git -C "$TREL_SOURCE_DIR" rev-parse --git-dir >/dev/null 2>&1; then
    mkdir "$tmp/archive"
    (umask 002 && git -C "$TREL_SOURCE_DIR" archive HEAD | tar -x -C "$tmp/archive")
    [ "$(stat -c %a "$tmp/archive/packaging/library-triggers")" = 664 ] || fail "the archive's files are not 0664"
    logged cmake -S "$tmp/archive" -B "$tmp/archive-build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_INSTALL_PREFIX=/usr -DTREL_TESTS=OFF
    private=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "\(.*\)")$/\1/p' \
        "$TREL_BUILD_DIR/CPackConfig.cmake")
    (cd "$tmp/archive-build" && cpack -G DEB -B "$tmp/archive-debs" \
        -D "CPACK_INSTALL_CMAKE_PROJECTS=$TREL_BUILD_DIR;trel;ALL;/" \
        -D "CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS=$private") >"$tmp/log" 2>&1 || {
        cat "$tmp/log" >&2
        fail "cpack of the archive's tree failed"
    }
    lintian --fail-on error "$tmp"/archive-debs/*.deb >"$tmp/lintian" 2>&1 || {
        cat "$tmp/lintian" >&2
        fail "lintian finds errors in the packages of the archive's tree"
    }
else
    echo "package_check: $TREL_SOURCE_DIR is no git tree; the packages of its archive are not checked"
fi
for deb in "$@"; do
    packages="$packages $(dpkg-deb -f "$deb" Package)"
done

# A package of ours already installed would be purged at the end: refuse instead.
for p in $packages; do
    if dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^.[^n]'; then
        saved=$packages
        packages=
        fail "$p is installed already; purge it first ($saved)"
    fi
done

# Each library package is named after the SONAME of the library it holds
# (libtrel.so.0 goes in libtrel0).
for lib in kolv trel; do
    deb=$(ls "$tmp"/debs/lib${lib}[0-9]*_*.deb)
    dpkg-deb -x "$deb" "$tmp/x-$lib"
    file=$(find "$tmp/x-$lib/usr/lib" -name "lib$lib.so.*.*.*" -type f)
    soname=$(objdump -p "$file" | awk '$1 == "SONAME" { print $2 }')
    [ "$(dpkg-deb -f "$deb" Package)" = "$(echo "$soname" | sed 's/\.so\.//')" ] ||
        fail "$deb holds $soname"
done

api=$(php-config --phpapi)
php_deb=$(ls "$tmp"/debs/php*-trel_*.deb)
dpkg-deb -f "$php_deb" Depends | grep -q "phpapi-$api" || fail "$php_deb does not depend on phpapi-$api"

# Everything the install rules put in place is in some package (Debian's doc files aside).
DESTDIR="$tmp/all" cmake --install "$TREL_BUILD_DIR" --prefix /usr >/dev/null
(cd "$tmp/all" && find . ! -type d | sed 's/^\.//' | sort) >"$tmp/installed"
for deb in "$@"; do dpkg-deb -c "$deb"; done | awk '$1 !~ /^d/ { print $6 }' |
    sed 's/^\.//' | grep -v '^/usr/share/doc/' | sort >"$tmp/packaged"
diff "$tmp/installed" "$tmp/packaged" >&2 || fail "the packages and the install rules differ (above)"

# What the packages bring that the system lacks (folders too) must go with the purge.
for deb in "$@"; do dpkg-deb -c "$deb"; done | awk '{ print $6 }' | sed 's/^\.//; s|/$||' |
    while read -r f; do [ -z "$f" ] || [ -e "$f" ] || [ -L "$f" ] || echo "$f"; done >"$tmp/new"
grep -qx /usr/bin/trel "$tmp/new" || fail "/usr/bin/trel exists before the installation"
logged apt-get install -y -qq "$@"

php -m | grep -qx trel || fail "php -m does not list trel"
ls /etc/php/*/cli/conf.d/*trel.ini >/dev/null 2>&1 || fail "no conf.d link for the CLI"

# Asks the server on PORT for index.php with the token until it answers (it may still be
# starting); fails unless the answer is the probe's.
ask_with_token() {
    python3 - "$1" "$2" <<'EOF'
import sys, time, urllib.request
port, probe = sys.argv[1], sys.argv[2]
request = urllib.request.Request(f"http://127.0.0.1:{port}/index.php?probe={probe}",
    headers={"User-Agent": "PackageCheck/1", "Cookie": "trel_token=pkg-token"})
for attempt in range(100):
    try:
        body = urllib.request.urlopen(request).read().decode()
        break
    except OSError:
        time.sleep(0.1)
else:
    sys.exit("the server did not answer")
if body != "served " + probe:
    sys.exit("unexpected answer: " + body)
EOF
}

root="$tmp/installation"
/usr/bin/trel init "$root" >/dev/null
/usr/bin/trel token add "$root" pkg-token --ttl 1h >/dev/null
/usr/bin/trel agent add "$root" Checker PackageCheck >/dev/null
mkdir "$tmp/www"
echo '<?php echo "served ", $_GET["probe"];' >"$tmp/www/index.php"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
php -d "trel.root=$root" -S "127.0.0.1:$port" -t "$tmp/www" >"$tmp/php-s.log" 2>&1 &
server=$!
probe="probe-$$"
ask_with_token "$port" "$probe" || fail "the request through php -S failed"
kill "$server"
wait "$server" 2>/dev/null || true
server=
/usr/bin/trel requests "$root" >"$tmp/requests"
grep -q "index.php?probe=$probe" "$tmp/requests" || {
    cat "$tmp/requests" "$tmp/php-s.log" >&2
    fail "the request was not stored"
}

# Apache with mod_php loads the extension from the system's configuration too (its
# conf.d; the php.ini of a PHPIniDir of its own names the installation): a private Apache
# (its children run as nobody, who must reach the page and write the database) serves a
# request that is stored.
apache="$tmp/apache"
mkdir "$apache"
echo "trel.root = $root" >>"$apache/php.ini"
chmod 755 "$tmp"
chown -R nobody:nogroup "$root"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
modules=/usr/lib/apache2/modules
cat >"$apache/apache.conf" <<EOF
ServerRoot $apache
DefaultRuntimeDir $apache
PidFile $apache/apache.pid
ErrorLog $apache/error.log
ServerName 127.0.0.1
Listen 127.0.0.1:$port
User nobody
Group nogroup
LoadModule mpm_prefork_module $modules/mod_mpm_prefork.so
LoadModule authz_core_module $modules/mod_authz_core.so
LoadModule php_module $modules/libphp8.2.so
PHPIniDir $apache
DocumentRoot $tmp/www
<Directory $tmp/www>
  Require all granted
</Directory>
<FilesMatch "\.php$">
  SetHandler application/x-httpd-php
</FilesMatch>
EOF
# Detached: Apache signals its whole process group when it stops.
apache_pid_file="$apache/apache.pid"
logged /usr/sbin/apache2 -f "$apache/apache.conf"
probe="apache-$$"
ask_with_token "$port" "$probe" || fail "the request through Apache failed: $(cat "$apache/error.log")"
stop_apache
/usr/bin/trel requests "$root" >"$tmp/requests"
grep -q "index.php?probe=$probe" "$tmp/requests" ||
    fail "the request through Apache was not stored: $(cat "$apache/error.log")"

# Removed but not purged, the extension is disabled: no SAPI tries to load a module
# that is gone.
php_package=$(dpkg-deb -f "$php_deb" Package)
logged apt-get remove -y -qq "$php_package"
php -m >"$tmp/modules" 2>&1
! grep -qi trel "$tmp/modules" || fail "after removing $php_package, php -m says: $(grep -i trel "$tmp/modules")"

logged apt-get purge -y -qq $packages
saved=$packages
packages=
for p in $saved; do
    case $(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null || true) in
    "" | ?n*) ;;
    *) fail "$p is not purged" ;;
    esac
done
left=$(while read -r f; do [ ! -e "$f" ] && [ ! -L "$f" ] || echo "$f"; done <"$tmp/new")
[ -z "$left" ] || fail "left after the purge: $left"
links=$(find /etc/php -lname '*trel.ini' 2>/dev/null)
[ -z "$links" ] || fail "conf.d links left after the purge: $links"
state=$(find /var/lib/php/modules -name trel 2>/dev/null)
[ -z "$state" ] || fail "phpenmod's state left after the purge: $state"
! php -m | grep -qx trel || fail "php -m still lists trel after the purge"
echo "package_check: 5 packages built, installed, used and purged"
