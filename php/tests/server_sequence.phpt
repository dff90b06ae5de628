--TEST--
One php -S process: refused, admitted, refused and admitted again (XHR, header token) are each treated right
--FILE--
<?php
require __DIR__ . '/trel.inc';

$dir = trel_temp_dir('seq');
file_put_contents("$dir/page.php", <<<'PHP'
<?php
function work(int $n) { return $n ? work($n - 1) + 1 : 0; }
echo work(5), ' ', $_GET['run'], "\n";
trigger_error('seen ' . $_GET['run'], E_USER_NOTICE);
var_dump(trel_event('event.' . $_GET['run']));
class Db extends SQLite3 {}
(new Db(':memory:'))->query('SELECT 1');
(new SQLite3(':memory:'))->query('SELECT 2');
PHP);
// With opcache on, a function's observer data could outlive the request that set it.
[, $port] = trel_server($dir, ['display_errors' => '0', 'opcache.enable_cli' => '1']);
$base = "http://127.0.0.1:$port/page.php?run=";
file_put_contents("$dir/ready.txt", 'ready');
$run = bin2hex(random_bytes(4));
$requests = [
    'refused' => [],
    'admitted' => ['Cookie: trel_token=' . TREL_TOKEN],
    'refused-again' => ['Cookie: trel_token=not-a-token'],
    'xhr' => ['X-Trel-Token: ' . TREL_TOKEN, 'X-Requested-With: XMLHttpRequest'],
    'no-agent' => ['Cookie: trel_token=' . TREL_TOKEN],
];
foreach ($requests as $name => $headers) {
    $agent = $name === 'no-agent' ? 'Wget/1.21' : TREL_AGENT;
    [$status, $body] = trel_http_get($base . "$name-$run", array_merge(["User-Agent: $agent"], $headers));
    echo "$name: $status ", trim($body), "\n";
    // One process serves one request at a time and writes before it takes the next: the
    // answer to the next request says the write of this one has ended.
    trel_http_get("http://127.0.0.1:$port/ready.txt");
    $row = trel_request($base . "$name-$run");
    if ($row === null) {
        echo "  not stored\n";
        continue;
    }
    $count = fn($table) => count(trel_rows("SELECT 1 FROM $table WHERE request_id = ?", [$row['id']]));
    $calls = trel_rows("SELECT times_called FROM trel_functions_stats WHERE request_id = ?
                        AND function_name = 'work'", [$row['id']]);
    printf("  stored: primary %d, %d error, %d event, work() called %d times, %d queries\n",
           $row['is_primary_page'], $count('trel_log_entries'), $count('trel_monitor_events'),
           $calls[0]['times_called'] ?? 0, $count('trel_sql_queries'));
}
?>
--EXPECTF--
refused: 200 5 refused-%s
bool(false)
  not stored
admitted: 200 5 admitted-%s
bool(true)
  stored: primary 1, 1 error, 1 event, work() called 6 times, 2 queries
refused-again: 200 5 refused-again-%s
bool(false)
  not stored
xhr: 200 5 xhr-%s
bool(true)
  stored: primary 0, 1 error, 1 event, work() called 6 times, 2 queries
no-agent: 200 5 no-agent-%s
bool(false)
  not stored
