--TEST--
A missing installation and a failing write leave every page as PHP makes it, each failure logged once
--FILE--
<?php
require __DIR__ . '/trel.inc';

$dir = trel_temp_dir('broken');
file_put_contents("$dir/page.php", "<?php\nvar_dump(trel_event('e'));\necho \"page \$_GET[n]\\n\";\n");
$get = function (int $port, int $n) {
    [$status, $body] = trel_http_get("http://127.0.0.1:$port/page.php?n=$n",
                                     ['User-Agent: ' . TREL_AGENT, 'Cookie: trel_token=' . TREL_TOKEN]);
    return "$status " . str_replace("\n", ' ', $body);
};
$logLines = fn($log) => array_values(array_filter(explode("\n", file_get_contents($log))));

echo "-- missing installation\n";
$log = "$dir/missing.log";
[$server, $port] = trel_server($dir, ['trel.root' => "$dir/nowhere", 'trel.log_file' => $log]);
for ($n = 1; $n <= 3; $n++) echo $get($port, $n), "\n";
foreach ($logLines($log) as $line) echo preg_replace('/^.*?trel: /', 'trel: ', $line), "\n";
proc_terminate($server);

echo "-- failing write\n";
$root = "$dir/root";
$cli = trel_env_or_fail('TREL_CLI');
exec(sprintf('%1$s init %2$s && %1$s token add %2$s t1 && %1$s agent add %2$s a trel-phpt',
             escapeshellarg($cli), escapeshellarg($root)), $out, $status);
echo "installation: $status\n";
$log = "$dir/write.log";
[$server, $port] = trel_server($dir, ['trel.root' => $root, 'trel.log_file' => $log,
                                      'trel.token_cookie' => 'other_cookie']);
$get = function (int $n) use ($port) {
    [$status, $body] = trel_http_get("http://127.0.0.1:$port/page.php?n=$n",
                                     ['User-Agent: ' . TREL_AGENT, 'X-Trel-Token: t1']);
    return "$status " . str_replace("\n", ' ', $body);
};
$db = new PDO("sqlite:$root/data/trel.db");
$stored = fn() => $db->query('SELECT COUNT(*) FROM trel_requests')->fetchColumn();
echo $get(1), ", stored ", $stored(), "\n";
$db->exec('DROP TABLE trel_monitor_events');
echo $get(2), ", stored ", $stored(), "\n";
echo $get(3), ", stored ", $stored(), "\n";
$lines = $logLines($log);
echo count($lines), " log lines\n";
foreach ($lines as $line) echo str_contains($line, 'KTrel::write:') ? "a failed write\n" : "OTHER: $line\n";
proc_terminate($server);
?>
--EXPECTF--
-- missing installation
200 bool(false) page 1 
200 bool(false) page 2 
200 bool(false) page 3 
trel: the installation at %s/nowhere cannot be used: %s
-- failing write
installation: 0
200 bool(true) page 1 , stored 1
200 bool(true) page 2 , stored 1
200 bool(true) page 3 , stored 1
2 log lines
a failed write
a failed write
