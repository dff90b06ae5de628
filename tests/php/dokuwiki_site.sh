#!/bin/sh
# Makes a writable copy of Debian's dokuwiki site in DIR: its settings (/etc/dokuwiki)
# and data (/var/lib/dokuwiki/data), one page of our own, the search index, and
# DIR/prepend.php that points the code in /usr/share/dokuwiki at the copy. Serve it with
#   php -S HOST:PORT -t /usr/share/dokuwiki -d auto_prepend_file=DIR/prepend.php
# Used by tests/php/dokuwiki_check.sh and by the overhead benchmark (bench/php).
set -eu
dir=${1:?usage: dokuwiki_site.sh DIR}
[ -f /usr/share/dokuwiki/doku.php ] || { echo "dokuwiki_site.sh: dokuwiki is not installed (scripts/bootstrap)" >&2; exit 1; }
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
cp -RLp /etc/dokuwiki "$dir/conf"
cp -Rp /var/lib/dokuwiki/data "$dir/data"
# Anyone may edit: the end-to-end check writes a page through the editor.
printf "<?php\n\$conf['savedir'] = '%s/data';\n\$conf['useacl'] = 0;\n" "$dir" >"$dir/conf/local.protected.php"
cat >"$dir/prepend.php" <<PHP
<?php
define('DOKU_MAIN_CONF', '$dir/conf/');
define('DOKU_CONF', '$dir/conf/');
PHP
mkdir -p "$dir/data/pages/e2e"
cat >"$dir/data/pages/e2e/hello.txt" <<'TEXT'
====== Hello ======
A page of the **end-to-end** check, with a [[wiki:syntax|link]] and a list:
  * one
  * two
TEXT
# Fixed times for what this script writes, so that two copies serve the same pages:
# dokuwiki tells recent changes' age in words ("2 seconds ago") and puts a digest of its
# settings files' times in its asset URLs.
touch -d '2024-01-02 03:04:05 UTC' "$dir/data/pages/e2e/hello.txt" "$dir/conf/local.protected.php"
# The same secret too: dokuwiki signs its image URLs with it (made at random otherwise).
printf 'e2e-site-salt' >"$dir/data/meta/_htcookiesalt2"
php -d auto_prepend_file="$dir/prepend.php" /usr/share/dokuwiki/bin/indexer.php -q >"$dir/indexer.log" 2>&1 ||
    { cat "$dir/indexer.log" >&2; exit 1; }
# From here on dokuwiki reports its notices and deprecations instead of hiding them.
touch "$dir/conf/report_e_all"
