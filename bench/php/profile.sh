#!/bin/sh
# Where the extension's time goes on a dokuwiki page: serves the page under php -S in
# callgrind four ways (extension not loaded; loaded, request not admitted; admitted
# with function statistics; admitted without), zeroes the counters after a warm-up and
# counts the instructions of N requests. Prints instructions per request for each way
# and the extension's and library's share of the admitted ones; the callgrind files
# stay in OUT for callgrind_annotate. Instruction counts do not move with the
# machine's load, unlike trel_php_bench's latencies.
#   sh bench/php/profile.sh BUILD_DIR [PATH] [N] [OUT]
set -eu
build=$(cd "${1:?usage: profile.sh BUILD_DIR [PATH] [N] [OUT]}" && pwd)
page=${2:-/doku.php}
count=${3:-20}
out=${4:-$(mktemp -d "${TMPDIR:-/tmp}/trel-profile.XXXXXX")}
here=$(cd "$(dirname "$0")/../.." && pwd)
mkdir -p "$out"
sh "$here/tests/php/dokuwiki_site.sh" "$out/site"
"$build/tools/trel" init "$out/root" >/dev/null
"$build/tools/trel" token add "$out/root" bench --ttl 1d >/dev/null
"$build/tools/trel" agent add "$out/root" Bench TrelBench/ >/dev/null
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
agent="User-Agent: Mozilla/5.0 TrelBench/1.0"
trel="-d extension=$build/php/trel.so -d trel.root=$out/root"

# way NAME COOKIE PHP-OPTIONS...
way() {
    name=$1 cookie=$2
    shift 2
    valgrind --tool=callgrind --callgrind-out-file="$out/$name.%p" \
        php -S "127.0.0.1:$port" -t /usr/share/dokuwiki -d auto_prepend_file="$out/site/prepend.php" \
        "$@" >"$out/$name.log" 2>&1 &
    pid=$!
    until curl -s -o /dev/null "http://127.0.0.1:$port/"; do sleep 0.2; done
    for i in 1 2 3; do curl -s -o /dev/null -H "$agent" -b "$cookie" "http://127.0.0.1:$port$page"; done
    callgrind_control -z $pid >/dev/null
    i=0
    while [ $i -lt "$count" ]; do
        curl -s -o /dev/null -H "$agent" -b "$cookie" "http://127.0.0.1:$port$page"
        i=$((i + 1))
    done
    callgrind_control -d $pid >/dev/null
    kill $pid
    wait $pid 2>/dev/null || true
    dump=$(ls -t "$out/$name".*.* 2>/dev/null | grep -v '\.log$' | head -n 1)
    total=$(sed -n 's/^summary: //p;s/^totals: //p' "$dump" | head -n 1 | cut -d' ' -f1)
    echo "$name: $((total / count)) instructions per request ($dump)"
}

way not_loaded "x=1"
# shellcheck disable=SC2086 # the options are words
way not_admitted "x=1" $trel
# shellcheck disable=SC2086
way admitted "trel_token=bench" $trel -d trel.function_stats=1
# shellcheck disable=SC2086
way admitted_no_fstats "trel_token=bench" $trel -d trel.function_stats=0
echo "callgrind files in $out"
