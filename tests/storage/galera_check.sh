#!/bin/sh
# Three web servers on a three-node Galera cluster on loopback (scripts/mariadb-test-server
# galera): trel init on node 1 and on the other two (which join), one writer process per
# node (trel_stress worker, as a PHP worker writes), node 3 killed with SIGKILL under load
# and started again, then cleanup on node 1 while nodes 2 and 3 write. Asserts that:
#   - init refuses, in one line and before creating anything, a user who may not create
#     the trigger on a server that logs its changes, and that the second and third
#     servers join the installation;
#   - every request a writer reported written is stored whole, every failed one is absent
#     (trel_stress check: no orphan row, no partial request, no duplicate);
#   - no request exhausted the writer's attempts, and the writers on nodes 1 and 2 lost no
#     request while node 3 was down;
#   - the three nodes hold the same rows (counts and checksums of every table);
#   - cleanup ran on node 1 while the others wrote (its outcome is printed).
# Skipped (exit 77) where Galera or rsync is not installed.
#   TREL_SOURCE_DIR=... TREL_BUILD_DIR=... sh tests/storage/galera_check.sh
set -eu
: "${TREL_SOURCE_DIR:?TREL_SOURCE_DIR must name the source tree}"
: "${TREL_BUILD_DIR:?TREL_BUILD_DIR must name a built tree}"

trel=$TREL_BUILD_DIR/tools/trel
stress=$TREL_BUILD_DIR/tests/stress/trel_stress
server=$TREL_SOURCE_DIR/scripts/mariadb-test-server
for program in "$trel" "$stress"; do
    [ -x "$program" ] || { echo "galera_check: $program is not built" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/trel-galera-check.XXXXXX")
cluster=$work/cluster
pids=""
finish() {
    for pid in $pids; do kill "$pid" 2>/dev/null || true; done
    sh "$server" stop "$cluster" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap finish EXIT
trap 'exit 1' INT TERM

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

rc=0
sh "$server" galera "$cluster" || rc=$?
if [ $rc -eq 77 ]; then
    echo "galera_check: skipped: Galera cannot run here (see the line above)"
    exit 77
fi
[ $rc -eq 0 ] || exit 1
set -a
. "$cluster/env"
set +a

node() { # N SQL: runs SQL as root on node N, waiting until the node has applied every
    # write the cluster committed before (wsrep_sync_wait)
    eval "socket=\$TREL_TEST_GALERA_SOCKET$1"
    mariadb --no-defaults --socket="$socket" -uroot -N -B trel_test \
        -e "SET SESSION wsrep_sync_wait = 15; $2"
}

# init: refused in one line to a user without the right to create the trigger; made on
# node 1; joined from nodes 2 and 3.
printf '%s' "$TREL_TEST_MYSQL_PASSWORD" >"$work/password"
printf 'limited' >"$work/limited-password"
node 1 "CREATE USER limited@'127.0.0.1' IDENTIFIED BY 'limited';
        GRANT ALL ON trel_test.* TO limited@'127.0.0.1'"
if "$trel" init "$work/limited" --mysql "127.0.0.1:$TREL_TEST_GALERA_PORT1" \
    --database trel_test --user limited --password-file "$work/limited-password" \
    >"$work/limited.out" 2>&1; then
    fail "init succeeded for a user who may not create the trigger"
fi
[ "$(wc -l <"$work/limited.out")" -eq 1 ] &&
    grep -q "set log_bin_trust_function_creators = 1 on the server (every node of a cluster) or grant the user SUPER, then run trel init again; nothing was created" "$work/limited.out" ||
    fail "init's refusal: $(cat "$work/limited.out")"
[ "$(node 1 "SHOW TABLES" | wc -l)" -eq 0 ] || fail "the refused init created tables"
[ ! -e "$work/limited" ] || fail "the refused init created its folder"

for n in 1 2 3; do
    eval "port=\$TREL_TEST_GALERA_PORT$n"
    "$trel" init "$work/web$n" --mysql "127.0.0.1:$port" --database trel_test \
        --user "$TREL_TEST_MYSQL_USER" --password-file "$work/password" >"$work/init$n.out"
done
head -1 "$work/init1.out" | grep -q '^created a MariaDB/MySQL installation' ||
    fail "init on node 1: $(head -1 "$work/init1.out")"
for n in 2 3; do
    head -1 "$work/init$n.out" | grep -q "^joined the MariaDB/MySQL installation in database trel_test" ||
        fail "init on node $n: $(head -1 "$work/init$n.out")"
done
[ "$(node 3 "SELECT COUNT(*) FROM information_schema.TRIGGERS WHERE TRIGGER_SCHEMA = 'trel_test'")" -eq 1 ] ||
    fail "the trigger is not there once"
# A pattern added through node 3's root raises the shared generation (made at 1 by init)
# in its own transaction, which every node then holds: the workers of each web server
# read the installation again.
"$trel" agent add "$work/web3" Browsers Mozilla >/dev/null || fail "agent add through node 3"
for n in 1 2 3; do
    [ "$(node $n "SELECT generation FROM trel_generation")" = 2 ] ||
        fail "node $n's generation: $(node $n "SELECT * FROM trel_generation")"
done

# One writer per node. Node 3 is killed under load and started again.
worker() { # N PHASE: a writer on node N until its stop file appears
    "$stress" worker "$work/web$1" 1000000 "$1" "$work/$2-node$1.manifest" --interval 2 \
        --stop-file "$work/stop-$2-$1" >"$work/$2-node$1.out" 2>&1 &
    pids="$pids $!"
    eval "worker_$2_$1=$!"
}
stop_worker() { # N PHASE
    touch "$work/stop-$2-$1"
    eval "wait \$worker_$2_$1" || fail "the writer on node $1 ($2) ended badly: $(cat "$work/$2-node$1.out")"
}

start=$(date +%s)
for n in 1 2 3; do worker $n load; done
sleep 8
kill -9 "$(cat "$cluster/node3/mysqld.pid")"
echo "galera_check: node 3 killed after 8 s of writes"
sleep 3
sh "$server" restart "$cluster" 3
echo "galera_check: node 3 back after $(($(date +%s) - start - 8)) s"
sleep 5
stop_worker 1 load

# Cleanup on node 1 while nodes 2 and 3 write.
"$stress" cleaner "$work/web1" 12 300 "$work/cleaner.log" --pause 2000 >"$work/cleaner.out" 2>&1 ||
    fail "the cleaner ended badly: $(cat "$work/cleaner.out")"
stop_worker 2 load
stop_worker 3 load
elapsed=$(($(date +%s) - start))

cat "$work"/load-node*.out "$work/cleaner.out"
# Whole or absent, no orphan, no duplicate; node 1's view.
# shellcheck disable=SC2046 # the manifests are words
"$stress" check "$work/web1" $(ls "$work"/*.manifest) --cleaner "$work/cleaner.log" \
    --label galera || fail "trel_stress check found violations (above)"

# No request exhausted its attempts; nodes 1 and 2 lost none while node 3 was down.
exhausted=$(cat "$work"/*.manifest | grep -c 'gave up after' || true)
[ "$exhausted" -eq 0 ] || fail "$exhausted requests exhausted the writer's attempts"
# A node that is briefly out of the cluster's majority (a loaded machine's late answers
# while node 3 rejoins) refuses writes as a stopped one does; nothing else may fail there.
for n in 1 2; do
    grep '^failed' "$work/load-node$n.manifest" |
        grep -v 'WSREP has not yet prepared node\|Not connected to Primary Component' |
        sed 's/^/  /' >"$work/lost$n" || true
    [ ! -s "$work/lost$n" ] || fail "the writer on node $n lost requests: $(cat "$work/lost$n")"
done
grep -Eq 'written [1-9][0-9]*, failed [0-9]+,' "$work/load-node3.out" ||
    fail "the writer on node 3 wrote nothing"

# The nodes agree.
tables="trel_requests trel_requests_urls trel_sql_statements trel_sql_queries trel_log_entries
trel_functions_stats trel_monitor_events trel_processing_breakdown trel_superglobals_data
trel_backtrace trel_tokens trel_user_agent trel_generation"
for n in 1 2 3; do
    for t in $tables; do
        echo "$t $(node $n "SELECT COUNT(*) FROM $t") $(node $n "CHECKSUM TABLE $t" | cut -f2)"
    done >"$work/node$n.sums"
done
cmp -s "$work/node1.sums" "$work/node2.sums" && cmp -s "$work/node1.sums" "$work/node3.sums" ||
    fail "the nodes differ: $(diff "$work/node1.sums" "$work/node2.sums"; diff "$work/node1.sums" "$work/node3.sums")"

# Figures: rewrites per 1,000 stored requests, and cleanup's outcome.
written=$(sed -n 's/.*: written \([0-9]*\),.*/\1/p' "$work"/load-node*.out | awk '{s += $1} END {print s + 0}')
rewrites=$(sed -n 's/.*, rewrites \([0-9]*\),.*/\1/p' "$work"/load-node*.out | awk '{s += $1} END {print s + 0}')
attempts=$(sed -n 's/.*, most attempts \([0-9]*\).*/\1/p' "$work"/load-node*.out | sort -n | tail -1)
cleanups=$(grep -c '^cleanup deleted' "$work/cleaner.log" || true)
cleanup_failures=$(grep -c '^cleanup failed' "$work/cleaner.log" || true)
echo "galera_check: $written requests written in ${elapsed} s by three writers, $rewrites" \
    "rewritten ($(awk -v r="$rewrites" -v w="$written" 'BEGIN {printf "%.1f", w ? 1000 * r / w : 0}')" \
    "per 1,000), at most $attempts attempts for one request"
echo "galera_check: cleanup on node 1 while nodes 2 and 3 wrote: $cleanups succeeded," \
    "$cleanup_failures failed"
grep '^cleanup failed' "$work/cleaner.log" | head -3 | sed 's/^/galera_check:   /'
# Cleanup deletes in batches of whole requests, each its own short transaction, so that
# it succeeds while the other nodes write.
if [ "$cleanups" -eq 0 ]; then
    fail "no cleanup succeeded on node 1 while the other nodes wrote"
fi

if [ $failures -gt 0 ]; then
    kept=$(mktemp -d "${TMPDIR:-/tmp}/trel-galera-check-failed.XXXXXX")
    cp "$work"/*.manifest "$work"/*.out "$work/cleaner.log" "$cluster"/node*/error.log "$kept/" 2>/dev/null || true
    for n in 1 2 3; do cp "$cluster/node$n/error.log" "$kept/node$n.error.log" 2>/dev/null || true; done
    echo "galera_check: $failures failures; the writers' manifests and the nodes' logs are in $kept" >&2
    exit 1
fi
echo "galera_check: passed"
