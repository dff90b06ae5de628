#!/bin/sh
# The fuzz targets in the test command: each runs for a bounded time (TREL_FUZZ_SECONDS,
# 20 by default, about a minute in all), built with clang in <build>/fuzz. Fails when a
# target finds a crash, a sanitizer report or a broken promise of the library. Longer
# runs: scripts/fuzz SECONDS.
set -eu
TREL_FUZZ_BUILD_DIR="$TREL_BUILD_DIR/fuzz"
export TREL_FUZZ_BUILD_DIR
exec "$TREL_SOURCE_DIR/scripts/fuzz" "${TREL_FUZZ_SECONDS:-20}"
