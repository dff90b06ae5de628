--TEST--
Idle and refused requests: the page is byte for byte PHP's own, nothing is stored, nothing logged
--FILE--
<?php
require __DIR__ . '/trel.inc';

$page = trel_script(<<<'PHP'
<?php
header('X-Page: 1');
setcookie('visited', 'yes');
function greet(string $who) { return "hello $who"; }
echo greet($_GET['who'] ?? 'nobody'), "\n";
echo @$undefined, $alsoUndefined ?? '', "\n";
trigger_error('a user notice', E_USER_NOTICE);
var_dump(function_exists('trel_event') ? trel_event('idle.event') : false);
echo strlen($_COOKIE['trel_token'] ?? ''), "\n";
PHP);

$log = tempnam(sys_get_temp_dir(), 'trel-log-');
$request = ['path' => '/idle.php', 'query' => 'who=world'];
[$headers, $body] = trel_cgi($page, $request, null);
echo $body;

$cases = [
    'root empty' => [[], ['trel.root' => '']],
    'disabled' => [['token' => TREL_TOKEN], ['trel.enabled' => '0']],
    'no token' => [[], []],
    'unknown token' => [['token' => 'no-such-token'], []],
    'user agent not allowed' => [['token' => TREL_TOKEN, 'agent' => 'curl/8'], []],
    'token for another host' => [['header_token' => 'phpt-elsewhere'], []],
    'broken root, no token' => [[], ['trel.root' => '/nonexistent/trel']],
];
foreach ($cases as $name => [$extra, $ini]) {
    $path = trel_unique_path('idle');
    $request = ['path' => $path, 'query' => 'who=world'] + $extra;
    [$ownHeaders, $ownBody] = trel_cgi($page, $request, null);
    [$gotHeaders, $gotBody, $stderr, $url] =
        trel_cgi($page, $request, $ini + ['trel.log_file' => $log]);
    $same = $gotHeaders === $ownHeaders && $gotBody === $ownBody && $stderr === '';
    printf("%s: %s, %s\n", $name, $same ? 'identical' : "DIFFERENT:\n$gotHeaders\n$gotBody\n$stderr",
           trel_request($url) === null ? 'not stored' : 'STORED');
}
echo "log: '", file_get_contents($log), "'\n";
unlink($log);

// The cost of a request that is not admitted: without function statistics no call
// observer is registered, so PHP's observer machinery never runs; the SQL and I/O
// functions are watched either way.
foreach (['0', '1'] as $stats) {
    $command = array_merge([PHP_BINARY], trel_ini_args(['trel.function_stats' => $stats]),
                           ['-r', 'phpinfo(INFO_MODULES);']);
    $info = shell_exec(implode(' ', array_map('escapeshellarg', $command)));
    preg_match('/^Function-call observers in PHP => (\w+)$/m', $info, $observers);
    preg_match('/^Internal functions watched => (\d+)$/m', $info, $watched);
    printf("function statistics %s: observers %s, %s internal functions watched\n", $stats,
           $observers[1] ?? 'NOT SHOWN', ($watched[1] ?? 0) > 100 ? 'over 100' : ($watched[1] ?? 'no'));
}
?>
--EXPECTF--
hello world


Notice: a user notice in %s on line 7
bool(false)
0
root empty: identical, not stored
disabled: identical, not stored
no token: identical, not stored
unknown token: identical, not stored
user agent not allowed: identical, not stored
token for another host: identical, not stored
broken root, no token: identical, not stored
log: ''
function statistics 0: observers none, over 100 internal functions watched
function statistics 1: observers registered, over 100 internal functions watched
