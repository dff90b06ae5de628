#!/bin/sh
# End to end: the small application of tests/php/app under `php -S` with and without
# the extension, on a SQLite installation and on the MariaDB test server
# (TREL_TEST_MYSQL_*, required), driven by real HTTP requests and read back with SQL.
#   TREL_SOURCE_DIR=... TREL_BUILD_DIR=... sh tests/php/php_e2e_check.sh [sqlite|mysql]
set -eu
: "${TREL_SOURCE_DIR:?TREL_SOURCE_DIR must name the source tree}"
: "${TREL_BUILD_DIR:?TREL_BUILD_DIR must name a built tree}"
exec python3 -B "$TREL_SOURCE_DIR/tests/php/php_e2e.py" "$@"
