--TEST--
SQL capture: a request's statement texts are bounded in all; past the budget each text is cut short with its full size
--FILE--
<?php
require __DIR__ . '/../sql.inc';

$row = sql_serve(<<<'PHP'
<?php
$db = new SQLite3(':memory:');
for ($i = 0; $i < 11; $i++) {
    $db->querySingle("SELECT length('" . str_repeat(chr(97 + $i), 3 << 20) . "')");
}
$statement = $db->prepare('SELECT length(?)');
$statement->bindValue(1, str_repeat('z', 5000));
$statement->execute();
PHP);
$runs = [];
foreach (trel_rows('SELECT resolved_statement AS text FROM trel_sql_queries WHERE request_id = ?
                    ORDER BY id', [$row['id']]) as $query) {
    preg_match('{/\* cut, (\d+) bytes in all \*/}', $query['text'], $mark);
    $shape = strlen($query['text']) . ' bytes' . ($mark ? " of {$mark[1]}" : '');
    if ($runs && end($runs)[0] === $shape) $runs[count($runs) - 1][1]++;
    else $runs[] = [$shape, 1];
}
foreach ($runs as [$shape, $count]) echo "$count x $shape\n";
?>
--EXPECT--
2 x 1048544 bytes of 3145745
9 x 992 bytes of 3145745
1 x 989 bytes of 1049
