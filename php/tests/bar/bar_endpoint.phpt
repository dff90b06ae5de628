--TEST--
The bar's data: summary and view of a stored page only for the token that admitted it and covers its URL (not merely the URL asked at), functions' times as stored; every refusal the same 404, a summary not there for a valid token 202; a comparison shows only what the token admitted; the slow-query threshold as set; no script runs, nothing is stored
--FILE--
<?php
require __DIR__ . '/../trel.inc';

$page = trel_script(<<<'PHP'
<?php
file_put_contents(getenv('RAN_FILE'), 'ran', FILE_APPEND);
trigger_error('first', E_USER_WARNING);
trigger_error('second', E_USER_NOTICE);
echo str_repeat('x', 100000), '<html><head></head><body>shop</body></html>';
function outer() { usleep(3000); inner(); }
function inner() { usleep(20000); }
outer();
PHP);
$prepend = trel_script('<?php file_put_contents(getenv("RAN_FILE"), "prepend", FILE_APPEND);');
$ran = tempnam(sys_get_temp_dir(), 'trel-ran-');
$env = ['RAN_FILE' => $ran];
$ini = ['auto_prepend_file' => $prepend];

$path = trel_unique_path('shop');
[$pageHeaders, , , $url] = trel_cgi($page, ['path' => $path, 'token' => TREL_TOKEN, 'env' => $env], $ini);
$row = trel_request($url);
// Every admitted answer names its page, HTML or not; the browser's word decides
// whether it is a page of its own or a script's call.
$json = trel_script('<?php header("Content-Type: application/json"); echo "{}";');
$tagged = [];
foreach (['navigation' => ['HTTP_SEC_FETCH_DEST' => 'document', 'HTTP_SEC_FETCH_MODE' => 'navigate'],
          'fetch' => ['HTTP_SEC_FETCH_DEST' => 'empty', 'HTTP_SEC_FETCH_MODE' => 'cors'],
          'library call' => ['HTTP_X_REQUESTED_WITH' => 'XMLHttpRequest']] as $name => $headers) {
    [$h, , , $u] = trel_cgi($json, ['token' => TREL_TOKEN, 'env' => $headers]);
    $r = trel_request($u);
    $tagged[] = sprintf("%s: X-Trel-Page %s, %s", $name,
        preg_match('/^X-Trel-Page: (\w+)/mi', $h, $m) && $m[1] === $r['page_id'] ? 'names it' : "WRONG:\n$h",
        $r['is_primary_page'] ? 'a page' : 'a call');
}
[$h] = trel_cgi($json, ['token' => 'no-such-token']);
$tagged[] = 'refused: ' . (stripos($h, 'X-Trel-Page') === false ? 'no X-Trel-Page' : 'TAGGED');
echo implode("\n", $tagged), "\n";
echo preg_match("/^X-Trel-Page: {$row['page_id']}\r?$/mi", $pageHeaders) ? "the page names itself\n" : "NOT NAMED:\n$pageHeaders\n";
$pageId = $row['page_id'];
$storedCount = count(trel_rows('SELECT id FROM trel_requests'));
file_put_contents($ran, '');

function ask(string $query, array $extra = []): array {
    global $page, $path, $env, $ini;
    [$headers, $body] = trel_cgi($page, $extra + ['path' => $path, 'query' => $query, 'env' => $env], $ini);
    preg_match('/^Status: (\d+)/m', $headers, $status);
    return [(int)($status[1] ?? 200), $headers, $body];
}

[$status, $headers, $body] = ask("__trel_summary=$pageId", ['token' => TREL_TOKEN]);
$summary = json_decode($body, true);
$errors = trel_rows('SELECT COUNT(*) AS n FROM trel_log_entries WHERE request_id = ?', [$row['id']])[0]['n'];
printf("summary: %d, %s; id %s, errors %d of %d stored, memory %s, time %s, url %s\n", $status,
       preg_match('{^Content-Type: application/json}mi', $headers) ? 'JSON' : 'NOT JSON',
       $summary['id'] == $row['id'] ? 'matches' : 'DIFFERS', $summary['errors'], $errors,
       $summary['peak_memory'] == $row['peak_memory_usage'] ? 'matches' : 'DIFFERS',
       $summary['time_us'] == $row['request_time'] ? 'matches' : 'DIFFERS',
       $summary['url'] === $url ? 'matches' : 'DIFFERS');
printf("slow from %d us: %d slow queries\n", $summary['slow_query_us'] ?? -1, $summary['slow_queries'] ?? -1);
[, $body] = trel_cgi($page, ['path' => $path, 'query' => "__trel_summary=$pageId", 'token' => TREL_TOKEN, 'env' => $env],
                    $ini + ['trel.slow_query_ms' => '7']);
printf("with trel.slow_query_ms = 7: slow from %d us\n", json_decode($body, true)['slow_query_us'] ?? -1);
echo preg_match('{^Cache-Control: no-store}mi', $headers) && preg_match('{^X-Content-Type-Options: nosniff}mi', $headers)
    ? "not to be cached or sniffed\n" : "HEADERS MISSING:\n$headers\n";

[$status, $headers, $body] = ask("a=1&__trel=$pageId", ['header_token' => TREL_TOKEN]);
preg_match('{<script type="application/json" id="trel-data">(.*?)</script>}s', $body, $data);
$data = json_decode($data[1] ?? 'null', true);
printf("details: %d, %s, %s\n", $status,
       ($data['request']['id'] ?? 0) == $row['id'] && ($data['request']['error_list'][0]['message'] ?? '') === 'first'
       && $data['live']['path'] === $path ? 'the viewer of the stored request' : "WRONG:\n$body",
       preg_match("{^Content-Security-Policy: default-src 'none'}mi", $headers) ? 'loading nothing' : 'NO POLICY');
[$status, $headers, $body] = ask("__trel_json=$pageId", ['token' => TREL_TOKEN]);
$json = json_decode($body, true);
printf("JSON: %d, %s\n", $status, $json == $data['request'] ? 'the viewer\'s data' : "WRONG:\n$body");
// Its functions as stored: outer()'s own time is well below its total.
$functions = array_column($json['functions'] ?? [], null, 'name');
foreach (trel_rows('SELECT function_name, times_called, time_exclusive, time_inclusive FROM trel_functions_stats
                    WHERE request_id = ? ORDER BY function_name', [$row['id']]) as $f) {
    $shown = $functions[$f['function_name']] ?? [];
    printf("function %s: %s\n", $f['function_name'],
           ($shown['calls'] ?? -1) == $f['times_called'] && ($shown['own_us'] ?? -1) == $f['time_exclusive']
           && ($shown['total_us'] ?? -1) == $f['time_inclusive']
           && ($f['function_name'] !== 'outer' || $f['time_inclusive'] >= $f['time_exclusive'] + 15000)
               ? 'calls, own and total time as stored' : 'WRONG: ' . json_encode($shown) . ' for ' . json_encode($f));
}
// The list: the token's own requests only, newest first.
[$status, , $body] = ask("__trel_requests=1&trel_url=" . urlencode($path), ['token' => TREL_TOKEN]);
preg_match('{id="trel-data">(.*?)</script>}s', $body, $data);
$listed = array_column(json_decode($data[1] ?? 'null', true)['list']['requests'] ?? [], 'id');
printf("list: %d, %s\n", $status, $listed == [$row['id']] ? 'the request' : 'WRONG: ' . json_encode($listed));
[$status, , $body] = ask('__trel_requests=1', ['header_token' => 'phpt-elsewhere']);
preg_match('{id="trel-data">(.*?)</script>}s', $body, $data);
printf("list for another host: %d, %d requests\n", $status,
       count(json_decode($data[1] ?? 'null', true)['list']['requests'] ?? [1]));

$refusals = [
    'no token' => ["__trel=$pageId", []],
    'summary, no token' => ["__trel_summary=$pageId", []],
    'unknown token' => ["__trel=$pageId", ['token' => 'no-such-token']],
    'token for another host' => ["__trel_summary=$pageId", ['header_token' => 'phpt-elsewhere']],
    'unknown page' => ['__trel=' . str_repeat('0', 32), ['token' => TREL_TOKEN]],
    'sequential id' => ["__trel={$row['id']}", ['token' => TREL_TOKEN]],
    'empty page id' => ['__trel=', ['token' => TREL_TOKEN]],
    'JSON, unknown token' => ["__trel_json=$pageId", ['token' => 'no-such-token']],
    'list, no token' => ['__trel_requests=1', []],
    'list, unknown token' => ['__trel_requests=1', ['token' => 'no-such-token']],
    'JSON of a page id in SQL' => ["__trel_json=" . urlencode("' OR 1=1 --"), ['token' => TREL_TOKEN]],
    // phpt-asking covers http://trel.test/asking/ alone: the URL asked at, not the page's.
    'details, token for the asking URL only' => ["__trel=$pageId", ['header_token' => 'phpt-asking', 'path' => '/asking/bar.php']],
    'JSON, token for the asking URL only' => ["__trel_json=$pageId", ['token' => 'phpt-asking', 'path' => '/asking/bar.php']],
    'compare, no token' => ["__trel_compare=$pageId", []],
    'compare, unknown token' => ["__trel_compare=$pageId&trel_with=$pageId", ['token' => 'no-such-token']],
    'compare, token for the asking URL only' => ["__trel_compare=$pageId", ['token' => 'phpt-asking', 'path' => '/asking/bar.php']],
];
$answers = [];
foreach ($refusals as $name => [$query, $extra]) {
    [$status, $headers, $body] = ask($query, $extra);
    $answers[] = $body;
    $leak = str_contains($body, $pageId) || str_contains($body, 'shop') || str_contains($body, 'first');
    printf("%s: %d, %s\n", $name, $status, $leak ? "LEAKS:\n$body" : 'nothing of the request');
}
echo count(array_unique($answers)) === 1 ? "every refusal the same answer\n" : "REFUSALS DIFFER\n";

// The bar's summary, asked with a token that covers the address it is asked at, of a
// page it cannot show (not stored yet, not there, not the token's): ask again later,
// with nothing of any request.
// A token that covers the asking URL but not the stored page's gets no more than that.
$pending = [
    'unknown page' => [str_repeat('0', 32), ['token' => TREL_TOKEN]],
    'page id in SQL' => ["' OR 1=1 --", ['token' => TREL_TOKEN]],
    'a page for a token of the asking URL only' => [$pageId, ['token' => 'phpt-asking', 'path' => '/asking/bar.php']],
];
foreach ($pending as $name => [$id, $extra]) {
    [$status, $headers, $body] = ask('__trel_summary=' . urlencode($id), $extra);
    $leak = str_contains($body, 'shop') || str_contains($body, 'first');
    printf("summary of %s: %d %s%s%s\n", $name, $status, trim($body),
           preg_match('{^Retry-After: 1\r?$}m', $headers) ? ', ask again' : '', $leak ? ' LEAKS' : '');
}

// The stored request is read whole only for a token that covers its URL; a refused
// token has nothing but the URL read (the log records each whole read at level 2).
$log = tempnam(sys_get_temp_dir(), 'trel-log-');
$plain = $ini;
$ini += ['trel.log_file' => $log, 'trel.log_level' => '2'];
foreach (['unknown token' => ['token' => 'no-such-token'], 'token for another host' => ['header_token' => 'phpt-elsewhere'],
          'the token' => ['token' => TREL_TOKEN]] as $name => $extra) {
    file_put_contents($log, '');
    [$status] = ask("__trel_summary=$pageId", $extra);
    $reads = substr_count(file_get_contents($log), "read request {$row['id']} whole");
    printf("%s: %d, the request read whole %d time(s)\n", $name, $status, $reads);
}
$ini = $plain;
unlink($log);

// /shop admits /shop-admin/ (admission compares the path's text), yet each token's views
// show only the requests it admitted itself; a request stored without its token is
// shown to none.
$cli = trel_env_or_fail('TREL_CLI');
$root = trel_env_or_fail('TREL_TEST_ROOT');
$suffix = bin2hex(random_bytes(4));
$tokens = ['shop' => "phpt-shop-$suffix", 'admin' => "phpt-shopadmin-$suffix"];
foreach (['shop' => 'http://trel.test/shop', 'admin' => 'http://trel.test/shop-admin/'] as $who => $base) {
    exec(implode(' ', array_map('escapeshellarg', [$cli, 'token', 'add', $root, $tokens[$who], '--ttl', '1h', '--base-url', $base])), $o, $code);
    if ($code !== 0) echo "token $who NOT ADDED\n";
}
$stored = [];
foreach (['admin', 'shop'] as $who) {
    [, , , $u] = trel_cgi($page, ['path' => "/shop-admin/$who-$suffix.php", 'token' => $tokens[$who], 'env' => $env], $ini);
    $stored[$who] = trel_request($u);
}
$views = [];
foreach (['admin', 'shop'] as $whose) {
    foreach (['summary' => '__trel_summary', 'details' => '__trel', 'JSON' => '__trel_json'] as $view => $parameter) {
        $answers = [];
        foreach (['admin', 'shop', 'phpt-token'] as $asker) {
            [$h] = trel_cgi($page, ['path' => '/', 'query' => "$parameter={$stored[$whose]['page_id']}",
                                    'token' => $tokens[$asker] ?? TREL_TOKEN], $ini);
            // A summary a token cannot see is "not stored yet" (202) where the token covers
            // the asking URL: still nothing of the request.
            $answers[] = "$asker " . (preg_match('/^Status: (\d+)/m', $h, $m) ? $m[1] : 200);
        }
        $views[] = "$whose's $view: " . implode(', ', $answers);
    }
}
// A comparison shows the other side only when the token admitted it as well.
foreach (['shop' => 'its own request', 'admin' => "another token's request"] as $other => $what) {
    [$h, $body] = trel_cgi($page, ['path' => '/', 'token' => $tokens['shop'],
                                   'query' => "__trel_compare={$stored['shop']['page_id']}&trel_with={$stored[$other]['page_id']}"], $ini);
    preg_match('{id="trel-data">(.*?)</script>}s', $body, $data);
    $data = json_decode($data[1] ?? 'null', true);
    $views[] = sprintf("shop compared with %s: %s, this %s, other %s", $what, preg_match('/^Status: (\d+)/m', $h, $m) ? $m[1] : 200,
                       ($data['request']['id'] ?? 0) == $stored['shop']['id'] ? 'shown' : 'WRONG',
                       isset($data['other']) ? (($data['other']['id'] ?? 0) == $stored[$other]['id'] ? 'shown' : 'WRONG') : 'not shown');
}
foreach (['admin', 'shop'] as $asker) {
    [, $body] = trel_cgi($page, ['path' => '/', 'query' => "__trel_requests=1&trel_url=$suffix", 'token' => $tokens[$asker]], $ini);
    preg_match('{id="trel-data">(.*?)</script>}s', $body, $data);
    $ids = array_column(json_decode($data[1] ?? 'null', true)['list']['requests'] ?? [], 'id');
    $views[] = "list of $asker: " . ($ids == [$stored[$asker]['id']] ? 'its own request' : 'WRONG: ' . json_encode($ids));
}
trel_rows('DELETE FROM trel_request_owners WHERE request_id = ?', [$stored['admin']['id']]);
[$h] = trel_cgi($page, ['path' => '/', 'query' => "__trel_summary={$stored['admin']['page_id']}", 'token' => $tokens['admin']], $ini);
$views[] = 'stored without its token: ' . (preg_match('/^Status: 404/m', $h) ? 404 : 200);
echo implode("\n", $views), "\n";
foreach ($tokens as $name) {
    exec(implode(' ', array_map('escapeshellarg', [$cli, 'token', 'remove', $root, $name])));
}
file_put_contents($ran, '');

echo "scripts run: '", file_get_contents($ran), "'\n";
echo count(trel_rows('SELECT id FROM trel_requests')) === $storedCount + 2 ? "nothing more stored\n" : "STORED\n";
[, , $body] = ask('__trelx=1', ['token' => TREL_TOKEN]);
echo "a look-alike parameter: ", str_ends_with($body, '</html>') ? 'the page' : 'NOT THE PAGE', ", scripts run: '", file_get_contents($ran), "'\n";
unlink($ran);
?>
--EXPECT--
navigation: X-Trel-Page names it, a page
fetch: X-Trel-Page names it, a call
library call: X-Trel-Page names it, a call
refused: no X-Trel-Page
the page names itself
summary: 200, JSON; id matches, errors 2 of 2 stored, memory matches, time matches, url matches
slow from 100000 us: 0 slow queries
with trel.slow_query_ms = 7: slow from 7000 us
not to be cached or sniffed
details: 200, the viewer of the stored request, loading nothing
JSON: 200, the viewer's data
function inner: calls, own and total time as stored
function outer: calls, own and total time as stored
list: 200, the request
list for another host: 200, 0 requests
no token: 404, nothing of the request
summary, no token: 404, nothing of the request
unknown token: 404, nothing of the request
token for another host: 404, nothing of the request
unknown page: 404, nothing of the request
sequential id: 404, nothing of the request
empty page id: 404, nothing of the request
JSON, unknown token: 404, nothing of the request
list, no token: 404, nothing of the request
list, unknown token: 404, nothing of the request
JSON of a page id in SQL: 404, nothing of the request
details, token for the asking URL only: 404, nothing of the request
JSON, token for the asking URL only: 404, nothing of the request
compare, no token: 404, nothing of the request
compare, unknown token: 404, nothing of the request
compare, token for the asking URL only: 404, nothing of the request
every refusal the same answer
summary of unknown page: 202 Not stored yet, ask again
summary of page id in SQL: 202 Not stored yet, ask again
summary of a page for a token of the asking URL only: 202 Not stored yet, ask again
unknown token: 404, the request read whole 0 time(s)
token for another host: 404, the request read whole 0 time(s)
the token: 200, the request read whole 1 time(s)
admin's summary: admin 200, shop 404, phpt-token 202
admin's details: admin 200, shop 404, phpt-token 404
admin's JSON: admin 200, shop 404, phpt-token 404
shop's summary: admin 404, shop 200, phpt-token 202
shop's details: admin 404, shop 200, phpt-token 404
shop's JSON: admin 404, shop 200, phpt-token 404
shop compared with its own request: 200, this shown, other shown
shop compared with another token's request: 200, this shown, other not shown
list of admin: its own request
list of shop: its own request
stored without its token: 404
scripts run: ''
nothing more stored
a look-alike parameter: the page, scripts run: 'prependran'
