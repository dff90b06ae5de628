#!/bin/sh
# The short form of the reliability scenarios (scripts/stress --short) on the programs
# of this build: concurrency, crashes, a restarting server and a locked database, on
# SQLite and on a private MariaDB server that the script starts and stops itself.
#   TREL_SOURCE_DIR=... TREL_BUILD_DIR=... sh tests/stress/stress_check.sh
set -eu

: "${TREL_SOURCE_DIR:?TREL_SOURCE_DIR must name the source tree}"
: "${TREL_BUILD_DIR:?TREL_BUILD_DIR must name a built tree}"

exec sh "$TREL_SOURCE_DIR/scripts/stress" --short --build-dir "$TREL_BUILD_DIR"
