#!/bin/sh
# A MediaWiki site of its own in DIR for the overhead benchmark (trel_php_bench), from
# Debian's mediawiki package without installing it: apt-get download and dpkg -x, the
# package's links into /etc and /var/lib replaced by folders of the site, then
# MediaWiki's own installer (maintenance/install.php) on SQLite, as an operator would
# run it. Serve it with
#   php -S HOST:PORT -t DIR/root/usr/share/mediawiki $(sed 's/^/-d /' DIR/options)
# and ask /index.php?title=Main_Page. DIR/options holds the -d settings the site needs
# beyond PHP's own (the intl extension, from its package the same way, where PHP here
# lacks it), one a line. Made once: a site that is ready (DIR/ready) is kept as it is.
#   sh bench/php/mediawiki_site.sh DIR
set -eu
dir=${1:?usage: mediawiki_site.sh DIR}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
[ -f "$dir/ready" ] && exit 0
log=$dir/setup.log
rm -rf "$dir/debs" "$dir/root" "$dir/data" "$dir/options"
mkdir -p "$dir/debs" "$dir/data"
: >"$dir/options"
: >"$log"
fail() {
    echo "mediawiki_site.sh: $1 (see $log)" >&2
    exit 1
}

# apt-get download warns that its sandbox user cannot write here when run as root.
(cd "$dir/debs" && apt-get download mediawiki mediawiki-classes) >>"$log" 2>&1 ||
    fail "apt-get download mediawiki failed"
for deb in "$dir/debs"/*.deb; do dpkg -x "$deb" "$dir/root" >>"$log" 2>&1; done
rm -rf "$dir/debs"

if ! php -m | grep -qx intl; then
    version=$(php -r 'echo PHP_MAJOR_VERSION, ".", PHP_MINOR_VERSION;')
    mkdir -p "$dir/debs"
    (cd "$dir/debs" && apt-get download "php$version-intl") >>"$log" 2>&1 ||
        fail "MediaWiki needs intl, and apt-get download php$version-intl failed"
    dpkg -x "$dir/debs"/*.deb "$dir/intl" >>"$log" 2>&1
    rm -rf "$dir/debs"
    intl=$(find "$dir/intl" -name intl.so | head -n 1)
    [ -n "$intl" ] || fail "no intl.so in php$version-intl"
    echo "extension=$intl" >>"$dir/options"
fi

site=$dir/root/usr/share/mediawiki
[ -f "$site/index.php" ] || fail "the package holds no usr/share/mediawiki/index.php"
# The package points these at /etc/mediawiki and /var/lib/mediawiki, which are not there.
rm -f "$site/extensions" "$site/config" "$site/images" "$site/LocalSettings.php"
ln -s extensions-core "$site/extensions"
mkdir -p "$site/config" "$site/images"

options=$(sed 's/^/-d /' "$dir/options")
# shellcheck disable=SC2086 # one word per option
php $options "$site/maintenance/install.php" --confpath="$site" --dbtype=sqlite \
    --dbpath="$dir/data" --dbname=wiki --server=http://127.0.0.1 --scriptpath= \
    --pass=bench-admin-password "Bench Wiki" Admin >>"$log" 2>&1 || fail "MediaWiki's installer failed"
[ -f "$site/LocalSettings.php" ] || fail "MediaWiki's installer wrote no LocalSettings.php"
touch "$dir/ready"
