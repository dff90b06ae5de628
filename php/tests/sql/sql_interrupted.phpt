--TEST--
SQL capture: a query that SQLite's callback ends by exit(), by the memory limit or by leaving its fiber suspended leaves the page as PHP makes it and the request stored
--FILE--
<?php
require __DIR__ . '/../sql.inc';

$pages = [
    'exit() in a PDO function' => <<<'PHP'
<?php
$db = new PDO('sqlite::memory:');
$db->sqliteCreateFunction('stop', function ($v) { echo "stopping\n"; exit(); });
$db->query('SELECT stop(1)');
echo "not reached\n";
PHP,
    'memory limit in an SQLite3 function' => <<<'PHP'
<?php
ini_set('memory_limit', '16M');
$db = new SQLite3(':memory:');
$db->createFunction('grow', function ($v) { $a = []; while (true) $a[] = str_repeat('x', 1000); });
$db->querySingle('SELECT grow(1)');
echo "not reached\n";
PHP,
    'a fiber left suspended in an SQLite3 function' => <<<'PHP'
<?php
$db = new SQLite3(':memory:');
$db->createFunction('pause', function ($v) { Fiber::suspend(1); return 1; });
$fiber = new Fiber(function () use ($db) { $db->querySingle('SELECT pause(1)'); echo "not reached\n"; });
echo "suspended with ", $fiber->start(), "\n";
PHP,
];
foreach ($pages as $name => $code) {
    echo "== $name\n";
    $script = trel_script($code);
    [$headers, $body, $stderr, $url] = trel_cgi($script, ['token' => TREL_TOKEN]);
    [$plainHeaders, $plainBody, $plainStderr] = trel_cgi($script, [], ['trel.none' => true]);
    echo trel_page_headers($headers) === $plainHeaders && $body === $plainBody && $stderr === $plainStderr
        ? "page as PHP makes it\n" : "PAGE DIFFERS:\n$headers\n$body\n$stderr\n";
    $row = trel_request($url);
    if ($row === null) {
        echo "NOT STORED\n";
        continue;
    }
    sql_print($row);
}
?>
--EXPECT--
== exit() in a PDO function
page as PHP makes it
4 FAILED -1: Interrupted: the script ended during the call, rows 0, tx -: SELECT stop(1)
event db.query_error:-1
== memory limit in an SQLite3 function
page as PHP makes it
5 FAILED -1: Interrupted: the script ended during the call, rows 0, tx -: SELECT grow(1)
event db.query_error:-1
== a fiber left suspended in an SQLite3 function
page as PHP makes it
4 FAILED -1: Interrupted: its fiber was destroyed during the call, rows 0, tx -: SELECT pause(1)
event db.query_error:-1
