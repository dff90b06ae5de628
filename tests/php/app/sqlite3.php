<?php
// SQLite3: exec, prepare + bindValue + execute, query, a failing statement.
require __DIR__ . '/lib/common.php';

$db = new SQLite3(e2e_env('E2E_DATA') . '/app3.db');
$db->exec('CREATE TABLE IF NOT EXISTS notes (id INTEGER PRIMARY KEY, body TEXT)');
$db->exec('DELETE FROM notes');
$insert = $db->prepare('INSERT INTO notes (id, body) VALUES (:id, :body)');
foreach ([1 => 'first note', 2 => 'second note'] as $id => $body) {
    $insert->bindValue(':id', $id, SQLITE3_INTEGER);
    $insert->bindValue(':body', $body, SQLITE3_TEXT);
    $insert->execute();
    $insert->reset();
}
$result = $db->query('SELECT body FROM notes ORDER BY id');
while ($row = $result->fetchArray(SQLITE3_NUM)) {
    echo $row[0], "\n";
}
var_dump(@$db->exec('INSERT INTO missing_table VALUES (1)'));
echo "done\n";
