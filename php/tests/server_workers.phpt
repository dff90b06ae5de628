--TEST--
php -S with worker processes forked after module start-up: concurrent admitted requests served by several processes, each stored
--FILE--
<?php
require __DIR__ . '/trel.inc';

$dir = trel_temp_dir('workers');
file_put_contents("$dir/page.php", "<?php\nusleep(200000);\ntrel_event('worker');\necho getmypid();\n");
[, $port, $log] = trel_server($dir, ['display_errors' => '0'], ['PHP_CLI_SERVER_WORKERS' => '3']);
// The parent and its three workers each say they started (slowly under a sanitizer); a
// busy one leaves the next connection to another. Which process accepts a connection is
// the kernel's choice, so batches go until more than one has served.
for ($wait = 0; $wait < 600 && substr_count(file_get_contents($log), ') started') < 4; $wait++) {
    usleep(50000);
}

$pids = [];
$sent = 0;
$stored = 0;
for ($batch = 0; $batch < 5 && count($pids) < 2; $batch++) {
    $run = bin2hex(random_bytes(4));
    $handles = [];
    $multi = curl_multi_init();
    for ($n = 0; $n < 8; $n++) {
        $handle = curl_init("http://127.0.0.1:$port/page.php?run=$run-$n");
        curl_setopt_array($handle, [CURLOPT_RETURNTRANSFER => true, CURLOPT_USERAGENT => TREL_AGENT,
                                    CURLOPT_COOKIE => 'trel_token=' . TREL_TOKEN]);
        curl_multi_add_handle($multi, $handle);
        $handles[] = $handle;
    }
    do {
        curl_multi_exec($multi, $running);
        curl_multi_select($multi);
    } while ($running);
    foreach ($handles as $n => $handle) {
        $sent++;
        $pids[curl_multi_getcontent($handle)] = true;
        $row = trel_request("http://127.0.0.1:$port/page.php?run=$run-$n", 10);
        if ($row && count(trel_rows('SELECT 1 FROM trel_monitor_events WHERE request_id = ?', [$row['id']])) === 1) {
            $stored++;
        }
    }
}
echo count($pids) > 1 ? "served by several processes\n" : "served by one process\n";
echo $stored === $sent ? "every request stored with its event\n" : "$stored of $sent stored with their event\n";
?>
--EXPECT--
served by several processes
every request stored with its event
