--TEST--
Hostile input is stored cleanly: a 100 KB cookie, NUL bytes and invalid UTF-8, deep recursion, huge argument lists and messages, an uncaught exception
--FILE--
<?php
require __DIR__ . '/trel.inc';

$page = trel_script(<<<'PHP'
<?php
function down(int $n) { if ($n === 0) { trigger_error('bottom', E_USER_NOTICE); return 0; } return down($n - 1) + 1; }
function many(...$args) { trigger_error('many', E_USER_NOTICE); }
echo down(20000), "\n";
many(...array_fill(0, 20000, 'abc'));
trigger_error(str_repeat("\xff", 300000) . "\0after a NUL", E_USER_NOTICE);
echo strlen($_COOKIE['big']), ' ', count($_GET), "\n";
throw new RuntimeException('boom');
PHP);

$request = ['query' => 'k%00ey=v%FF%00&%FF%FE=1', 'cookie' => 'big=' . str_repeat('c', 100 * 1024),
            'token' => TREL_TOKEN];
// Named in clear, the cookie is stored whole.
$ini = ['display_errors' => '0', 'trel.clear_cookies' => 'big'];
[$headers, $body, $stderr, $url] = trel_cgi($page, $request, $ini);
echo $body, $body === trel_cgi($page, $request, ['trel.none' => true] + $ini)[1]
    ? "page as PHP makes it\n" : "PAGE DIFFERS\n";
echo "stderr: '$stderr'\n";

$row = trel_request($url);
echo "status ", $row['status_code'], "\n";
foreach (trel_rows('SELECT e.type, e.message, b.backtrace FROM trel_log_entries e
                    LEFT JOIN trel_backtrace b ON b.id = e.backtrace_id
                    WHERE e.request_id = ? ORDER BY e.id', [$row['id']]) as $e) {
    $lines = explode("\n", $e['backtrace']);
    printf("%s %s: %d bytes of backtrace, %d lines, last: %s\n", $e['type'],
           strlen($e['message']) > 100 ? strlen($e['message']) . ' bytes' : strtok($e['message'], "\n"),
           strlen($e['backtrace']), count($lines), end($lines));
}
foreach (trel_rows("SELECT sg_name, data FROM trel_superglobals_data WHERE request_id = ?
                    AND sample_type = 'SAMPLE_START' AND sg_name IN ('_GET', '_COOKIE')
                    ORDER BY sg_name", [$row['id']]) as $s) {
    $value = unserialize($s['data']);
    echo $s['sg_name'], ': ', $s['sg_name'] === '_GET' ? bin2hex(serialize($value))
                                                      : strlen($value['big']) . ' bytes', "\n";
}
?>
--EXPECTF--
20000
102400 2
page as PHP makes it
stderr: ''
status 500
E_USER_NOTICE bottom: %d bytes of backtrace, 101 lines, last: #100 {deeper frames cut}
E_USER_NOTICE many: %d bytes of backtrace, %d lines, last: #... {trace cut at 65536 bytes}
E_USER_NOTICE %d bytes: %d bytes of backtrace, 2 lines, last: #1 {main}
E_ERROR Uncaught RuntimeException: boom in %s:8: %d bytes of backtrace, 1 lines, last: #0 {main}
_COOKIE: 102400 bytes
_GET: %s
