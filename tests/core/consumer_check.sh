#!/bin/sh
# The installed package works for a host built outside this tree: installs the build
# into a temporary prefix, builds tests/consumer against it once through
# find_package(Trel) and once through pkg-config, and runs each on a fresh SQLite
# installation, checking the stored request with the sqlite3 shell as well.
#   TREL_SOURCE_DIR=... TREL_BUILD_DIR=... sh tests/core/consumer_check.sh
set -eu

: "${TREL_SOURCE_DIR:?TREL_SOURCE_DIR must name the source tree}"
: "${TREL_BUILD_DIR:?TREL_BUILD_DIR must name a built tree}"

work=$(mktemp -d "${TMPDIR:-/tmp}/trel-consumer.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

fail() {
    echo "consumer_check: $*" >&2
    exit 1
}

prefix=$work/prefix
cmake --install "$TREL_BUILD_DIR" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; fail "cmake --install failed"; }

# Build the consumers the way the library was built: same compiler, and a sanitized
# library needs a sanitized program to load it.
cache=$TREL_BUILD_DIR/CMakeCache.txt
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$cache" 2>/dev/null | head -n 1)
[ -n "$cxx" ] || cxx=c++
sanitize=
if grep -Eq '^TREL_(SANITIZE|FUZZ):BOOL=(ON|TRUE|1)$' "$cache" 2>/dev/null; then
    sanitize="-fsanitize=address,undefined"
fi

pc=$(find "$prefix" -name trel.pc -path '*/pkgconfig/*' | head -n 1)
[ -n "$pc" ] || fail "no trel.pc installed under $prefix"
schema=$prefix/share/trel/schema/sqlite.sql
[ -f "$schema" ] || fail "no SQLite schema installed at $schema"

# A SQLite installation as a host finds it: settings, templates, the database.
make_installation() {
    root=$1
    mkdir -p "$root/etc" "$root/data" "$root/share/scripts"
    printf '[database]\ntype=SQLITE\n' >"$root/etc/trel.ini"
    printf '<div id="bar">\n' >"$root/share/scripts/trel_header.html"
    printf '</div>\n' >"$root/share/scripts/trel_footer.html"
    sqlite3 "$root/data/trel.db" <"$schema" >/dev/null || fail "cannot create $root/data/trel.db"
}

# The program must load the installed libraries, not those of the build tree.
check_libraries() {
    for name in libtrel libkolv; do
        resolved=$(ldd "$1" | awk -v n="$name" '$1 ~ "^" n "\\.so" { print $3 }')
        case "$resolved" in
        "$prefix"/*) ;;
        *) fail "$1 loads $name from '$resolved', not from $prefix" ;;
        esac
    done
}

run_consumer() {
    program=$1
    page=$2
    root=$work/root-$page
    make_installation "$root"
    check_libraries "$program"
    "$program" "$root" "$page" >"$work/$page.log" 2>&1 ||
        { cat "$work/$page.log" >&2; fail "$program failed"; }
    rows=$(sqlite3 "$root/data/trel.db" \
        "SELECT COUNT(*) FROM trel_requests WHERE page_id = '$page' AND method = 'GET' AND status_code = 200")
    [ "$rows" = 1 ] || fail "$page: expected 1 stored request, found '$rows'"
    events=$(sqlite3 "$root/data/trel.db" "SELECT agg_key FROM trel_monitor_events")
    [ "$events" = consumer.event ] || fail "$page: expected the monitor event, found '$events'"
}

# 1. find_package(Trel) with the prefix on CMAKE_PREFIX_PATH.
cmake -S "$TREL_SOURCE_DIR/tests/consumer" -B "$work/build-cmake" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_CXX_FLAGS="$sanitize" -DCMAKE_EXE_LINKER_FLAGS="$sanitize" >"$work/cmake.log" 2>&1 ||
    { cat "$work/cmake.log" >&2; fail "configuring the find_package consumer failed"; }
cmake --build "$work/build-cmake" >>"$work/cmake.log" 2>&1 ||
    { cat "$work/cmake.log" >&2; fail "building the find_package consumer failed"; }
run_consumer "$work/build-cmake/trel_consumer" cmake

# 2. pkg-config, nothing but its flags (-fPIC: Qt requires position-independent code).
export PKG_CONFIG_PATH="${pc%/*}"
flags=$(pkg-config --cflags --libs trel) || fail "pkg-config does not know trel"
libdir=$(pkg-config --variable=libdir trel)
# shellcheck disable=SC2086 # the flags are words
"$cxx" -std=c++17 -fPIC $sanitize -o "$work/consumer-pc" \
    "$TREL_SOURCE_DIR/tests/consumer/main.cpp" $flags -Wl,-rpath,"$libdir" >"$work/pc.log" 2>&1 ||
    { cat "$work/pc.log" >&2; fail "building the pkg-config consumer failed"; }
run_consumer "$work/consumer-pc" pkgconfig

echo "consumer_check: both consumers stored their request"
