#!/bin/sh
# Where a request's instructions go, way by way: runs trel_php_bench (under nice) with
# TREL_PHP_BENCH_KEEP, so that OUT keeps the callgrind profile of each way's median
# request (PAGE-WAY.callgrind), then prints for each profile its total, the functions
# whose own instructions grew most over the page without extension (PAGE-not_loaded),
# and the inclusive cost of trel's functions and of the observers. Open a profile whole
# with callgrind_annotate --inclusive=yes or kcachegrind.
#   sh bench/php/profile.sh BUILD_DIR [OUT] [BENCHMARK_FILTER]
# e.g. sh bench/php/profile.sh build /tmp/profiles 'dokuwiki/(not_loaded|trel_)'
# With BUILD_DIR "-", only prints what OUT already holds.
set -eu
out=${2:-$(mktemp -d "${TMPDIR:-/tmp}/trel-profile.XXXXXX")}
filter=${3:-BM_PhpOverhead}
mkdir -p "$out"
out=$(cd "$out" && pwd)
if [ "${1:?usage: profile.sh BUILD_DIR [OUT] [BENCHMARK_FILTER]}" != - ]; then
    build=$(cd "$1" && pwd)
    TREL_PHP_BENCH_KEEP=$out nice "$build/bench/php/trel_php_bench" --benchmark_filter="$filter" |
        tee "$out/bench.txt"
fi

# Own (or with --inclusive=yes, inclusive) instructions per function: COUNT<tab>NAME.
costs() {
    callgrind_annotate --threshold=100 --auto=no "$@" 2>/dev/null |
        awk '/^ *[0-9,]+ \( *[0-9.]+%\)  / {
                 n = $1; gsub(",", "", n); sub(/^ *[0-9,]+ \( *[0-9.]+%\)  /, ""); print n "\t" $0 }'
}

for profile in "$out"/*.callgrind; do
    [ -f "$profile" ] || continue
    name=$(basename "$profile" .callgrind)
    base=$out/${name%%-*}-not_loaded.callgrind
    echo
    echo "== $name: $(sed -n 's/^totals: //p' "$profile") instructions"
    if [ "$profile" != "$base" ] && [ -f "$base" ]; then
        echo "-- own instructions grown most over ${name%%-*}-not_loaded:"
        costs "$base" >"$out/.base"
        # The frames still open when the profile was dumped (main and below) own it all.
        costs "$profile" | awk -F '\t' 'NR == FNR { base[$2] = $1; next }
            $2 == "PROGRAM TOTALS" { total = $1; next }
            $1 != total { grown = $1 - base[$2]; if (grown > 0) printf "%12d  %s\n", grown, $2 }' \
            "$out/.base" - |
            sort -rn | head -n 15
        rm -f "$out/.base"
    fi
    echo "-- inclusive, trel and the observers:"
    costs --inclusive=yes "$profile" | grep -E 'trel|observer|Observer' | head -n 20 |
        awk -F '\t' '{ printf "%12d  %s\n", $1, $2 }'
done
echo "profiles in $out"
