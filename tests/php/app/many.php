<?php
// A page of many queries and errors: `n` inserts into an SQLite table in memory through
// one prepared statement, every hundredth of them failing on the table's key (PDO kept
// silent), then `e` notices silenced with @.
$n = (int) ($_GET['n'] ?? 0);
$e = (int) ($_GET['e'] ?? 0);
$db = new PDO('sqlite::memory:');
$db->setAttribute(PDO::ATTR_ERRMODE, PDO::ERRMODE_SILENT);
$db->exec('CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)');
$insert = $db->prepare('INSERT INTO t (id, v) VALUES (?, ?)');
$failed = 0;
for ($i = 1; $i <= $n; $i++) {
    $failed += $insert->execute([$i % 100 === 0 ? $i - 1 : $i, str_repeat('v', 40)]) ? 0 : 1;
}
for ($i = 1; $i <= $e; $i++) {
    @trigger_error("notice $i", E_USER_NOTICE);
}
echo "<!DOCTYPE html>\n<html><head><title>many</title></head><body>\n";
echo "<p>$n inserts, $failed failed, $e notices</p>\n</body></html>\n";
