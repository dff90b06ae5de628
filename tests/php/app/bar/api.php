<?php
// A JSON answer fetched by the shop page's script; with fail=1 its SQL fails.
header('Content-Type: application/json');
$db = new PDO('sqlite::memory:');
$db->setAttribute(PDO::ATTR_ERRMODE, PDO::ERRMODE_SILENT);
$db->exec('CREATE TABLE stock (item INTEGER, count INTEGER)');
$db->exec('INSERT INTO stock VALUES (1, 4), (2, 0)');
$query = $db->prepare('SELECT count FROM stock WHERE item = ?');
$query->execute([(int)($_GET['item'] ?? 0)]);
$count = $query->fetchColumn();
if (isset($_GET['fail'])) {
    $db->query('SELECT count FROM no_such_table');
}
echo json_encode(['item' => (int)($_GET['item'] ?? 0), 'count' => $count]);
