#!/bin/sh
# End to end under php-fpm behind nginx: the small application of tests/php/app with
# the extension, on a SQLite installation and on the MariaDB test server; concurrent
# requests, recycled and killed workers; pools of one master with their own trel.root
# (or none), and two masters sharing one MariaDB database behind one upstream. What needs
# the MariaDB test server (TREL_TEST_MYSQL_*) is skipped without it, with exit code 77.
#   TREL_SOURCE_DIR=... TREL_BUILD_DIR=... sh tests/php/fpm_check.sh [sqlite|mysql|pools|farm]
set -eu
: "${TREL_SOURCE_DIR:?TREL_SOURCE_DIR must name the source tree}"
: "${TREL_BUILD_DIR:?TREL_BUILD_DIR must name a built tree}"
exec python3 -B "$TREL_SOURCE_DIR/tests/php/server_e2e.py" fpm "$@"
