#!/bin/sh
# The bar in headless Chromium: a page under `php -S` with the extension shows the bar
# with the stored summary to a browser with the token, opens the stored view, and shows
# nothing of it to a browser without.
#   TREL_SOURCE_DIR=... TREL_BUILD_DIR=... sh tests/php/bar_browser_check.sh
set -eu
: "${TREL_SOURCE_DIR:?TREL_SOURCE_DIR must name the source tree}"
: "${TREL_BUILD_DIR:?TREL_BUILD_DIR must name a built tree}"
# Debian's Python: the one that has Debian's websocket client (scripts/bootstrap).
exec /usr/bin/python3 -B "$TREL_SOURCE_DIR/tests/php/bar_browser.py"
