#!/bin/sh
# End to end under Apache with the prefork MPM and mod_php, the extension loaded from
# a private PHPIniDir: the same scenarios as fpm_check, on a SQLite installation and on
# the MariaDB test server (TREL_TEST_MYSQL_*, required).
#   TREL_SOURCE_DIR=... TREL_BUILD_DIR=... sh tests/php/apache_check.sh [sqlite|mysql]
set -eu
: "${TREL_SOURCE_DIR:?TREL_SOURCE_DIR must name the source tree}"
: "${TREL_BUILD_DIR:?TREL_BUILD_DIR must name a built tree}"
exec python3 -B "$TREL_SOURCE_DIR/tests/php/server_e2e.py" apache "$@"
