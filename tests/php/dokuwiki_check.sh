#!/bin/sh
# End to end on Debian's dokuwiki: pages under `php -S` with and without the extension
# (refused and admitted requests) come out the same, and the admitted ones are stored.
#   TREL_SOURCE_DIR=... TREL_BUILD_DIR=... sh tests/php/dokuwiki_check.sh
set -eu
: "${TREL_SOURCE_DIR:?TREL_SOURCE_DIR must name the source tree}"
: "${TREL_BUILD_DIR:?TREL_BUILD_DIR must name a built tree}"
exec python3 -B "$TREL_SOURCE_DIR/tests/php/dokuwiki_e2e.py"
