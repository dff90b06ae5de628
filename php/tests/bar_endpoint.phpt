--TEST--
The bar's data: summary and view of a stored page only for a token that covers its URL; every refusal the same 404; no script runs, nothing is stored
--FILE--
<?php
require __DIR__ . '/trel.inc';

$page = trel_script(<<<'PHP'
<?php
file_put_contents(getenv('RAN_FILE'), 'ran', FILE_APPEND);
trigger_error('first', E_USER_WARNING);
trigger_error('second', E_USER_NOTICE);
echo str_repeat('x', 100000), '<html><head></head><body>shop</body></html>';
PHP);
$prepend = trel_script('<?php file_put_contents(getenv("RAN_FILE"), "prepend", FILE_APPEND);');
$ran = tempnam(sys_get_temp_dir(), 'trel-ran-');
$env = ['RAN_FILE' => $ran];
$ini = ['auto_prepend_file' => $prepend];

$path = trel_unique_path('shop');
[, , , $url] = trel_cgi($page, ['path' => $path, 'token' => TREL_TOKEN, 'env' => $env], $ini);
$row = trel_request($url);
$pageId = $row['page_id'];
$stored = count(trel_rows('SELECT id FROM trel_requests'));
file_put_contents($ran, '');

function ask(string $query, array $extra = []): array {
    global $page, $path, $env, $ini;
    [$headers, $body] = trel_cgi($page, ['path' => $path, 'query' => $query, 'env' => $env] + $extra, $ini);
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
echo preg_match('{^Cache-Control: no-store}mi', $headers) && preg_match('{^X-Content-Type-Options: nosniff}mi', $headers)
    ? "not to be cached or sniffed\n" : "HEADERS MISSING:\n$headers\n";

[$status, $headers, $body] = ask("a=1&__trel=$pageId", ['header_token' => TREL_TOKEN]);
printf("details: %d, %s\n", $status,
       str_contains($body, "<main id=\"trel-request\" data-request-id=\"{$row['id']}\">")
       && str_contains($body, 'first') ? 'the stored view' : "WRONG:\n$body");

$refusals = [
    'no token' => ["__trel=$pageId", []],
    'summary, no token' => ["__trel_summary=$pageId", []],
    'unknown token' => ["__trel=$pageId", ['token' => 'no-such-token']],
    'token for another host' => ["__trel_summary=$pageId", ['header_token' => 'phpt-elsewhere']],
    'unknown page' => ['__trel=' . str_repeat('0', 32), ['token' => TREL_TOKEN]],
    'sequential id' => ["__trel={$row['id']}", ['token' => TREL_TOKEN]],
    'empty page id' => ['__trel=', ['token' => TREL_TOKEN]],
    'page id in SQL' => ["__trel_summary=" . urlencode("' OR 1=1 --"), ['token' => TREL_TOKEN]],
];
$answers = [];
foreach ($refusals as $name => [$query, $extra]) {
    [$status, $headers, $body] = ask($query, $extra);
    $answers[] = $body;
    $leak = str_contains($body, $pageId) || str_contains($body, 'shop') || str_contains($body, 'first');
    printf("%s: %d, %s\n", $name, $status, $leak ? "LEAKS:\n$body" : 'nothing of the request');
}
echo count(array_unique($answers)) === 1 ? "every refusal the same answer\n" : "REFUSALS DIFFER\n";

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

echo "scripts run: '", file_get_contents($ran), "'\n";
echo count(trel_rows('SELECT id FROM trel_requests')) === $stored ? "nothing more stored\n" : "STORED\n";
[, , $body] = ask('__trelx=1', ['token' => TREL_TOKEN]);
echo "a look-alike parameter: ", str_ends_with($body, '</html>') ? 'the page' : 'NOT THE PAGE', ", scripts run: '", file_get_contents($ran), "'\n";
unlink($ran);
?>
--EXPECT--
summary: 200, JSON; id matches, errors 2 of 2 stored, memory matches, time matches, url matches
not to be cached or sniffed
details: 200, the stored view
no token: 404, nothing of the request
summary, no token: 404, nothing of the request
unknown token: 404, nothing of the request
token for another host: 404, nothing of the request
unknown page: 404, nothing of the request
sequential id: 404, nothing of the request
empty page id: 404, nothing of the request
page id in SQL: 404, nothing of the request
every refusal the same answer
unknown token: 404, the request read whole 0 time(s)
token for another host: 404, the request read whole 0 time(s)
the token: 200, the request read whole 1 time(s)
scripts run: ''
nothing more stored
a look-alike parameter: the page, scripts run: 'prependran'
