<?php
// PDO on a SQLite file: exec, query, prepare + execute with bound values inside a
// transaction, a rolled-back transaction and a failing query.
require __DIR__ . '/lib/common.php';

$db = new PDO('sqlite:' . e2e_env('E2E_DATA') . '/app.db');
$db->setAttribute(PDO::ATTR_ERRMODE, PDO::ERRMODE_SILENT);
$db->exec('CREATE TABLE IF NOT EXISTS items (id INTEGER PRIMARY KEY, name TEXT, cents INTEGER)');
$db->exec('DELETE FROM items');

$db->beginTransaction();
$insert = $db->prepare('INSERT INTO items (id, name, cents) VALUES (?, ?, ?)');
foreach ([[1, 'rain jacket', 8990], [2, "o'clock socks", 450], [3, 'umbrella', 1200]] as $row) {
    $insert->execute($row);
}
$db->commit();

$db->beginTransaction();
$db->exec("UPDATE items SET cents = 0 WHERE id = 1");
$db->rollBack();

$select = $db->prepare('SELECT name, cents FROM items WHERE cents > :min ORDER BY id');
$select->bindValue(':min', 1000, PDO::PARAM_INT);
$select->execute();
foreach ($select->fetchAll(PDO::FETCH_NUM) as [$name, $cents]) {
    echo $name, ' ', Shop\Price::format($cents), "\n";
}
echo 'count ', $db->query('SELECT COUNT(*) FROM items')->fetchColumn(), "\n";
var_dump($db->query('SELECT * FROM no_such_table'));
echo "done\n";
