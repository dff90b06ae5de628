#!/bin/sh
# Runs the extension's phpt tests with PHP's run-tests.php twice: on a fresh SQLite
# installation, then on a fresh database of the MariaDB test server (TREL_TEST_MYSQL_*,
# from scripts/mariadb-test-server; the run fails when they are missing). The tests
# find the installation in TREL_TEST_ROOT and serve their pages through trel.inc.
#   TREL_PHP_EXTENSION=.../trel.so TREL_CLI=.../trel sh php/tests/run_phpt.sh [TEST...]
# TREL_TEST_INI="name=value ..." adds settings to every PHP the tests start (the pages'
# php-cgi and php -S), with and without the extension: a mode such as OPcache with its JIT.
set -eu

: "${TREL_PHP_EXTENSION:?TREL_PHP_EXTENSION must name the built trel.so}"
: "${TREL_CLI:?TREL_CLI must name the built trel tool}"
here=$(cd "$(dirname "$0")" && pwd)
php=${TREL_PHP_BINARY:-$(command -v php)}
cgi=$(command -v php-cgi) || { echo "run_phpt: php-cgi is missing" >&2; exit 1; }
run_tests=$(php-config --extension-dir)/build/run-tests.php
[ -f "$run_tests" ] || { echo "run_phpt: no $run_tests" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/trel-phpt.XXXXXX")
mysql_db=
cleanup() {
    if [ -n "$mysql_db" ]; then
        mariadb --protocol=TCP -h "$TREL_TEST_MYSQL_HOST" -P "$TREL_TEST_MYSQL_PORT" \
            -u "$TREL_TEST_MYSQL_USER" -p"$TREL_TEST_MYSQL_PASSWORD" \
            -e "DROP DATABASE IF EXISTS $mysql_db" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# A sanitized module runs in PHP (which is not) with the sanitizer's runtime preloaded,
# behind the shim that drops RTLD_DEEPBIND (tests/php/nodeepbind.c). PHP's exits leave
# memory to the system, which is no leak of ours.
asan=$(ldd "$TREL_PHP_EXTENSION" | awk '/libasan/ { print $3; exit }')
if [ -n "$asan" ]; then
    cc -shared -fPIC -o "$work/nodeepbind.so" "$here/../../tests/php/nodeepbind.c" -ldl
    LD_PRELOAD="$work/nodeepbind.so:$asan"
    ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0
    export LD_PRELOAD ASAN_OPTIONS
fi

# Access: the token phpt-token covers every URL, phpt-elsewhere only another host,
# phpt-asking only the pages below http://trel.test/asking/; the
# user agents containing "trel-phpt" are allowed.
prepare() {
    root=$1
    shift
    "$TREL_CLI" init "$@" "$root" >/dev/null
    "$TREL_CLI" token add "$root" phpt-token --ttl 1d >/dev/null
    "$TREL_CLI" token add "$root" phpt-elsewhere --ttl 1d --base-url http://elsewhere.test/ >/dev/null
    "$TREL_CLI" token add "$root" phpt-asking --ttl 1d --base-url http://trel.test/asking/ >/dev/null
    "$TREL_CLI" agent add "$root" phpt trel-phpt >/dev/null
}

run_suite() {
    label=$1
    shift
    [ $# -gt 0 ] || set -- "$here"
    echo "== phpt on $label${TREL_TEST_INI:+ with $TREL_TEST_INI}" >&2
    TEST_PHP_EXECUTABLE=$php TEST_PHP_CGI_EXECUTABLE=$cgi TREL_PHP_EXTENSION=$TREL_PHP_EXTENSION \
        TREL_CLI=$TREL_CLI \
        TREL_TEST_INI=${TREL_TEST_INI:-} TREL_TEST_ROOT=$root TREL_TEST_DB=$label TREL_TEST_MYSQL_PHPT_DB=$mysql_db \
        REPORT_EXIT_STATUS=1 NO_INTERACTION=1 \
        "$php" "$run_tests" -q -p "$php" --show-diff -d "extension=$TREL_PHP_EXTENSION" \
        "$@"
}

root=$work/sqlite
prepare "$root"
run_suite sqlite "$@"

: "${TREL_TEST_MYSQL_HOST:?the MariaDB test server is not running (scripts/mariadb-test-server)}"
mysql_db=trel_phpt_$$
mariadb --protocol=TCP -h "$TREL_TEST_MYSQL_HOST" -P "$TREL_TEST_MYSQL_PORT" \
    -u "$TREL_TEST_MYSQL_USER" -p"$TREL_TEST_MYSQL_PASSWORD" -e "CREATE DATABASE $mysql_db"
printf '%s' "$TREL_TEST_MYSQL_PASSWORD" >"$work/mysql-password"
root=$work/mysql
prepare "$root" --mysql "$TREL_TEST_MYSQL_HOST:$TREL_TEST_MYSQL_PORT" --database "$mysql_db" \
    --user "$TREL_TEST_MYSQL_USER" --password-file "$work/mysql-password"
run_suite mysql "$@"
