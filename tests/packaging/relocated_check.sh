#!/bin/sh
# The tool installed under another prefix than the build's (`cmake --install --prefix`)
# applies the schema installed beside it, not the build's or the source tree's: a marker
# table added to the installed copy must appear in the database `trel init` creates.
#   TREL_SOURCE_DIR=... TREL_BUILD_DIR=... sh tests/packaging/relocated_check.sh
set -eu
: "${TREL_BUILD_DIR:?TREL_BUILD_DIR must name a built tree}"

fail() {
    echo "relocated_check: $*" >&2
    exit 1
}

work=$(mktemp -d /tmp/trel-relocated.XXXXXX)
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

prefix=$work/elsewhere
cmake --install "$TREL_BUILD_DIR" --prefix "$prefix" --component tool >/dev/null
cmake --install "$TREL_BUILD_DIR" --prefix "$prefix" --component library >/dev/null
cmake --install "$TREL_BUILD_DIR" --prefix "$prefix" --component kolv >/dev/null
schema=$prefix/share/trel/schema/sqlite.sql
[ -f "$schema" ] || fail "no schema installed at $schema"
echo "CREATE TABLE relocated_marker (id INTEGER);" >>"$schema"

env -u TREL_SCHEMA_DIR "$prefix/bin/trel" init "$work/root" >"$work/init.log" 2>&1 ||
    {
        cat "$work/init.log" >&2
        fail "trel init failed"
    }
tables=$(sqlite3 "$work/root/data/trel.db" .tables)
echo "$tables" | grep -qw relocated_marker ||
    fail "trel init under $prefix did not apply the schema installed beside it (tables: $tables)"
echo "relocated_check: the tool under another prefix applied its own schema"
