--TEST--
I/O capture: HTTP and socket calls count as network time, local file work as local time
--FILE--
<?php
require __DIR__ . '/../sql.inc';

$dir = sys_get_temp_dir() . '/trel-io-' . bin2hex(random_bytes(4));
mkdir($dir);
file_put_contents("$dir/slow.php", '<?php usleep(150000); echo "slow";');
[, $port] = trel_server($dir, ['trel.root' => '']);
$data = "$dir/data.txt";
file_put_contents($data, str_repeat("some local line\n", 200000));
$row = sql_serve(<<<PHP
<?php
echo file_get_contents('http://127.0.0.1:$port/slow.php'), "\\n";
\$socket = stream_socket_client('tcp://127.0.0.1:$port');
fwrite(\$socket, "GET /slow.php HTTP/1.0\\r\\nHost: x\\r\\n\\r\\n");
echo substr(stream_get_contents(\$socket), -4), "\\n";
echo strlen(file_get_contents('$data')), ' ', count(file('$data')), "\\n";
\$memory = fopen('php://memory', 'w+');
fwrite(\$memory, 'not I/O');
PHP);
$b = trel_rows('SELECT * FROM trel_processing_breakdown WHERE request_id = ?', [$row['id']])[0];
printf("network %s, local %s, database %d, sum within the request time: %s\n",
       $b['network_time'] >= 300000 ? 'covers both slow calls' : "{$b['network_time']} us",
       $b['local_time'] > 0 && $b['local_time'] < $b['network_time'] ? 'measured' : "{$b['local_time']} us",
       $b['database_time'],
       $b['network_time'] + $b['local_time'] <= $row['request_time'] ? 'yes' : 'NO');
unlink($data);
unlink("$dir/slow.php");
rmdir($dir);
?>
--EXPECT--
slow
slow
3200000 200000
network covers both slow calls, local measured, database 0, sum within the request time: yes
