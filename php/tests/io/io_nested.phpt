--TEST--
I/O capture: a write made inside curl's callback counts once, as network time; the same write outside counts as local time
--FILE--
<?php
require __DIR__ . '/../sql.inc';

$dir = sys_get_temp_dir() . '/trel-io-' . bin2hex(random_bytes(4));
mkdir($dir);
file_put_contents("$dir/page.php", '<?php echo str_repeat("x", 1000);');
[, $port] = trel_server($dir, ['trel.root' => '']);
// popen() is not observed: the pipe's writes are the only local I/O of the page.
$page = <<<PHP
<?php
\$pipe = popen('cat > /dev/null', 'w');
\$write = fn() => fwrite(\$pipe, str_repeat('y', 1 << 20));
\$curl = curl_init('http://127.0.0.1:$port/page.php');
curl_setopt(\$curl, CURLOPT_WRITEFUNCTION, function (\$curl, \$chunk) use (\$write) {
    if (INSIDE) \$write();
    return strlen(\$chunk);
});
curl_exec(\$curl);
if (!INSIDE) \$write();
pclose(\$pipe);
PHP;
foreach (['inside', 'outside'] as $where) {
    $row = sql_serve(str_replace('INSIDE', $where === 'inside' ? 'true' : 'false', $page));
    $b = trel_rows('SELECT * FROM trel_processing_breakdown WHERE request_id = ?', [$row['id']])[0];
    printf("write %s the callback: network %s, local %s\n", $where,
           $b['network_time'] > 0 ? 'measured' : 'none', $b['local_time'] > 0 ? 'measured' : 'none');
}
unlink("$dir/page.php");
rmdir($dir);
?>
--EXPECT--
write inside the callback: network measured, local none
write outside the callback: network measured, local measured
