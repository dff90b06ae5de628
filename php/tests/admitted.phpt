--TEST--
Admitted request: stored whole with errors (silenced flag, backtraces), function statistics (the other functions' row the exact sum of theirs), events and masked samples (every cookie's value but those named in clear)
--FILE--
<?php
require __DIR__ . '/trel.inc';

$page = trel_script(<<<'PHP'
<?php
function inner(string $word) {
    trigger_error("loud $word", E_USER_WARNING);
    @trigger_error("quiet $word", E_USER_NOTICE);
}
function outer() { inner('bar'); }
class Greeter { public function hello(int $n) { return $n > 0 ? $this->hello($n - 1) : 'hi'; } }
outer();
echo (new Greeter)->hello(3), "\n";
$square = fn($x) => $x * $x;
echo array_sum(array_map($square, [1, 2, 3])), "\n";
echo @strlen(null), "\n";
if (function_exists('trel_event')) {
    $events = [trel_event('checkout.done'), trel_event('checkout.done'), trel_event('')];
}
session_save_path(sys_get_temp_dir());
session_name('Shop');
session_start(['use_strict_mode' => true]);
$_SESSION['user'] = 'ann';
$_SESSION['secret_answer'] = 42;
class Profile { public $name = 'ann'; private $password = 'P-7'; public $me; function __destruct() { echo "bye\n"; } }
$_SESSION['profile'] = new Profile;
$_SESSION['profile']->me = $_SESSION['profile'];
http_response_code(201);
PHP);

$request = ['method' => 'POST', 'query' => 'q=shoes&api_key=K-1&list[]=a',
            'body' => 'user[name]=ann&user[Password]=P-2&log=ann&pwd=W-5&pass1=W-6&pass2=W-6&user_pass=W-7&note='
                      . urlencode("nul\0and\xff"),
            'cookie' => 'consent=yes; AUTH_hint=C-3; PHPSESSID=S-4; Shop=' . ($sid = 'sid' . bin2hex(random_bytes(8)))
                        . '; remember_web_59ba36addc2b2f9401580f014c7f58ea=' . ($remember = 'R-' . bin2hex(random_bytes(10)))
                        . '; REMEMBERME=' . ($rememberMe = 'M-' . bin2hex(random_bytes(4))),
            'token' => TREL_TOKEN];
// Named in clear: the consent, and the session's cookie, which is masked all the same.
[$headers, $body, $stderr, $url] = trel_cgi($page, $request, ['trel.clear_cookies' => 'consent, Shop']);
[, $ownBody] = trel_cgi($page, $request, null);
echo $body === $ownBody ? "page as PHP makes it\n" : "PAGE DIFFERS:\n$body\n";
echo "stderr: '$stderr'\n";

$row = trel_request(str_replace('K-1', '***', $url));
printf("method %s, status %d, primary %d, page id %s, memory %s, limit %d, time %s\n",
       $row['method'], $row['status_code'], $row['is_primary_page'],
       preg_match('/^[0-9a-f]{32}$/', $row['page_id']) ? 'random hex' : $row['page_id'],
       $row['peak_memory_usage'] > 0 ? 'measured' : 'none', $row['memory_limit'],
       $row['request_time'] > 0 ? 'measured' : 'none');
$id = $row['id'];

echo "-- errors\n";
foreach (trel_rows('SELECT e.type, e.message, e.line, e.silenced, b.backtrace FROM trel_log_entries e
                    LEFT JOIN trel_backtrace b ON b.id = e.backtrace_id WHERE e.request_id = ?
                    ORDER BY e.id', [$id]) as $e) {
    printf("%s %d silenced=%d %s\n%s\n", $e['type'], $e['line'], $e['silenced'], $e['message'],
           str_replace($page, 'PAGE', $e['backtrace']));
}

echo "-- functions\n";
$functions = trel_rows('SELECT function_scope, function_name, times_called, time_exclusive,
                        time_inclusive, filename, line FROM trel_functions_stats
                        WHERE request_id = ? ORDER BY function_scope, function_name', [$id]);
foreach ($functions as $f) {
    printf("%s::%s calls=%d line=%d %s %s\n", $f['function_scope'], $f['function_name'],
           $f['times_called'], $f['line'], $f['filename'] === $page ? 'file ok' : $f['filename'],
           $f['time_inclusive'] >= $f['time_exclusive'] && $f['time_exclusive'] >= 0
               ? 'times ok' : "times {$f['time_exclusive']}/{$f['time_inclusive']}");
}

echo "-- events\n";
foreach (trel_rows('SELECT agg_key FROM trel_monitor_events WHERE request_id = ?', [$id]) as $e) {
    echo $e['agg_key'], "\n";
}

echo "-- samples\n";
$stored = '';
foreach (trel_rows('SELECT sg_name, sample_type, data FROM trel_superglobals_data
                    WHERE request_id = ? ORDER BY sample_type DESC, sg_name', [$id]) as $s) {
    $stored .= $s['data'];
    $value = unserialize($s['data']);
    if ($s['sg_name'] === '_SESSION') {
        $value = str_replace("\0", '~', $s['data']);
    } elseif ($s['sg_name'] === '_SERVER') {
        $value = array_intersect_key($value, array_flip(['HTTP_COOKIE', 'REQUEST_METHOD', 'QUERY_STRING']));
    }
    echo $s['sample_type'], ' ', $s['sg_name'], ' ', json_encode($value, JSON_INVALID_UTF8_SUBSTITUTE), "\n";
}
foreach (['phpt-token', 'K-1', 'P-2', 'C-3', 'P-7', 'S-4', 'W-5', 'W-6', 'W-7', $sid, $remember, $rememberMe] as $secret) {
    if (str_contains($stored, $secret)) echo "LEAKED: $secret\n";
}
echo count(trel_rows('SELECT * FROM trel_processing_breakdown WHERE request_id = ?', [$id])),
     " breakdown row\n";

echo "-- limits\n";
// Two functions stored, the other three in one row; then function statistics off.
foreach (['limit' => ['trel.function_stats_limit' => '2'], 'off' => ['trel.function_stats' => '0']]
         as $case => $ini) {
    [, , , $caseUrl] = trel_cgi($page, ['query' => "case=$case", 'token' => TREL_TOKEN], $ini);
    $caseId = trel_request($caseUrl)['id'];
    $rows = trel_rows('SELECT function_scope, function_name, times_called, time_exclusive, filename
                       FROM trel_functions_stats WHERE request_id = ? ORDER BY id', [$caseId]);
    $named = array_filter($rows, fn($f) => $f['function_name'][0] !== '(');
    $other = array_values(array_filter($rows, fn($f) => $f['function_name'][0] === '('));
    $slowest = array_map(fn($f) => $f['time_exclusive'], $named);
    printf("%s: %d rows, %d calls, %d errors%s\n", $case, count($rows),
           array_sum(array_column($rows, 'times_called')),
           count(trel_rows('SELECT id FROM trel_log_entries WHERE request_id = ?', [$caseId])),
           $other ? sprintf(", '%s' scope '%s' file '%s', %s", $other[0]['function_name'],
                            $other[0]['function_scope'], $other[0]['filename'],
                            min($slowest) + 1 >= $other[0]['time_exclusive'] / 3 ? 'kept the slowest' : 'KEPT FASTER ONES')
                  : '');
}

// The other functions' row stands for top()'s callees (a, b and c, the limit keeps top
// alone): its own and total time are each the sum of their own times, which is top()'s
// total less its own (to the microsecond each stored time is cut to).
$tree = trel_script(<<<'PHP'
<?php
function top() { usleep(20000); a(); b(); }
function a() { usleep(2000); }
function b() { usleep(3000); c(); }
function c() { usleep(4000); }
top();
PHP);
[, , , $treeUrl] = trel_cgi($tree, ['token' => TREL_TOKEN], ['trel.function_stats_limit' => '1']);
$rows = trel_rows('SELECT function_name, times_called, time_exclusive, time_inclusive FROM trel_functions_stats
                   WHERE request_id = ? ORDER BY function_name DESC', [trel_request($treeUrl)['id']]);
[$top, $other] = $rows + [1 => null];
$callees = $top['time_inclusive'] - $top['time_exclusive'];
printf("tree: %d rows, %s %d call, %s %d calls, %s\n", count($rows), $top['function_name'], $top['times_called'],
       $other['function_name'] ?? 'NO OTHER ROW', $other['times_called'] ?? 0,
       $other && $other['time_exclusive'] == $other['time_inclusive'] && $callees >= 9000
       && $callees - $other['time_exclusive'] >= 0 && $callees - $other['time_exclusive'] <= 1
           ? "own and total the callees' time"
           : sprintf('WRONG: top %d/%d, other %d/%d', $top['time_exclusive'], $top['time_inclusive'],
                     $other['time_exclusive'] ?? -1, $other['time_inclusive'] ?? -1));
?>
--EXPECTF--
page as PHP makes it
stderr: ''
method POST, status 201, primary 1, page id random hex, memory measured, limit 134217728, time measured
-- errors
E_USER_WARNING 3 silenced=0 loud bar
#0 PAGE(3): trigger_error('loud bar', 512)
#1 PAGE(6): inner('bar')
#2 PAGE(8): outer()
#3 {main}
E_USER_NOTICE 4 silenced=1 quiet bar
#0 PAGE(4): trigger_error('quiet bar', 1024)
#1 PAGE(6): inner('bar')
#2 PAGE(8): outer()
#3 {main}
E_DEPRECATED 12 silenced=1 strlen(): Passing null to parameter #1 ($string) of type string is deprecated
#0 {main}
-- functions
::inner calls=1 line=2 file ok times ok
::outer calls=1 line=6 file ok times ok
::{closure} calls=3 line=10 file ok times ok
Greeter::hello calls=4 line=7 file ok times ok
Profile::__destruct calls=1 line=21 file ok times ok
-- events
checkout.done
-- samples
SAMPLE_START _COOKIE {"consent":"yes","AUTH_hint":"***(3 bytes)","PHPSESSID":"***(3 bytes)","Shop":"***(19 bytes)","remember_web_59ba36addc2b2f9401580f014c7f58ea":"***(22 bytes)","REMEMBERME":"***(10 bytes)","trel_token":"***(10 bytes)"}
SAMPLE_START _GET {"q":"shoes","api_key":"***","list":["a"]}
SAMPLE_START _POST {"user":{"name":"ann","Password":"***"},"log":"ann","pwd":"***","pass1":"***","pass2":"***","user_pass":"***","note":"nul\u0000and\ufffd"}
SAMPLE_START _SERVER {"REQUEST_METHOD":"POST","QUERY_STRING":"q=shoes&api_key=***&list[]=a","HTTP_COOKIE":"***"}
SAMPLE_END _COOKIE {"consent":"yes","AUTH_hint":"***(3 bytes)","PHPSESSID":"***(3 bytes)","Shop":"***(19 bytes)","remember_web_59ba36addc2b2f9401580f014c7f58ea":"***(22 bytes)","REMEMBERME":"***(10 bytes)","trel_token":"***(10 bytes)"}
SAMPLE_END _GET {"q":"shoes","api_key":"***","list":["a"]}
SAMPLE_END _POST {"user":{"name":"ann","Password":"***"},"log":"ann","pwd":"***","pass1":"***","pass2":"***","user_pass":"***","note":"nul\u0000and\ufffd"}
SAMPLE_END _SERVER {"REQUEST_METHOD":"POST","QUERY_STRING":"q=shoes&api_key=***&list[]=a","HTTP_COOKIE":"***"}
SAMPLE_END _SESSION "a:3:{s:4:\"user\";s:3:\"ann\";s:13:\"secret_answer\";s:3:\"***\";s:7:\"profile\";O:7:\"Profile\":3:{s:4:\"name\";s:3:\"ann\";s:17:\"~Profile~password\";s:3:\"***\";s:2:\"me\";s:3:\"***\";}}"
1 breakdown row
-- limits
limit: 3 rows, 10 calls, 3 errors, '(3 other functions)' scope '' file '', kept the slowest
off: 0 rows, 0 calls, 3 errors
tree: 2 rows, top 1 call, (3 other functions) 3 calls, own and total the callees' time
