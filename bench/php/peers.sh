#!/bin/sh
# The extensions the overhead benchmark (trel_php_bench) sets beside trel, taken from
# Debian's packages without installing them: an installed PHP extension package enables
# itself for every PHP run on the machine. Each is fetched with apt-get download,
# unpacked with dpkg -x below DIR and, when PHP here loads it, copied to DIR/NAME.so
# (xdebug, excimer, tideways_xhprof). One that cannot be had or loaded has no NAME.so,
# and the benchmark leaves it out; the reason is in DIR/NAME.log. A present NAME.so is
# kept: the next run fetches nothing.
#   sh bench/php/peers.sh DIR
set -u
dir=${1:?usage: peers.sh DIR}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
version=$(php -r 'echo PHP_MAJOR_VERSION, ".", PHP_MINOR_VERSION;')

# take NAME DIRECTIVE PACKAGE... : the first package that brings NAME.so and loads.
take() {
    name=$1 directive=$2
    shift 2
    [ -f "$dir/$name.so" ] && return 0
    log=$dir/$name.log
    : >"$log"
    for package in "$@"; do
        work=$dir/$name.d
        rm -rf "$work"
        mkdir -p "$work"
        # apt-get download warns that its sandbox user cannot write here when run as root.
        if ! (cd "$work" && apt-get download "$package") >>"$log" 2>&1; then
            echo "$package: apt-get download failed" >>"$log"
            continue
        fi
        for deb in "$work"/*.deb; do dpkg -x "$deb" "$work/tree" >>"$log" 2>&1; done
        so=$(find "$work/tree" -name "$name.so" 2>/dev/null | head -n 1)
        if [ -z "$so" ]; then
            echo "$package: no $name.so in the package" >>"$log"
            continue
        fi
        if php -d "$directive=$so" -r "exit(extension_loaded('$name') ? 0 : 1);" >>"$log" 2>&1; then
            cp "$so" "$dir/$name.so.part" && mv "$dir/$name.so.part" "$dir/$name.so"
            rm -rf "$work"
            echo "$package: $dir/$name.so" >>"$log"
            return 0
        fi
        echo "$package: PHP $version does not load $so" >>"$log"
    done
    rm -rf "$work"
    return 1
}

take xdebug zend_extension "php$version-xdebug" php-xdebug
take excimer extension "php$version-excimer" php-excimer
take tideways_xhprof extension "php$version-tideways" php-tideways
exit 0
