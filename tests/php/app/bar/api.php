<?php
// A JSON answer fetched by the shop page's script; with fail=1 its SQL fails and then an
// exception thrown two calls deep goes uncaught.
header('Content-Type: application/json');
$db = new PDO('sqlite::memory:');
$db->setAttribute(PDO::ATTR_ERRMODE, PDO::ERRMODE_SILENT);
$db->exec('CREATE TABLE stock (item INTEGER, count INTEGER)');
$db->exec('INSERT INTO stock VALUES (1, 4), (2, 0)');
$query = $db->prepare('SELECT count FROM stock WHERE item = ?');
$query->execute([(int)($_GET['item'] ?? 0)]);
$count = $query->fetchColumn();
function reserve(int $item, int $count): void {
    check($item, $count);
}
function check(int $item, int $count): void {
    if ($count < 1) {
        throw new DomainException("item $item is out of stock");
    }
}
if (isset($_GET['fail'])) {
    $db->query('SELECT count FROM no_such_table');
    reserve((int)$_GET['item'], (int)$count);
}
echo json_encode(['item' => (int)($_GET['item'] ?? 0), 'count' => $count]);
