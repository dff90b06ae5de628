<?php
// The demo's cart: a session, the order written to SQLite in a transaction, and a query
// that fails.
session_start();
$_SESSION['cart'][] = $_GET['add'] ?? 'umbrella';

$db = new PDO('sqlite::memory:');
$db->setAttribute(PDO::ATTR_ERRMODE, PDO::ERRMODE_WARNING);
$db->exec('CREATE TABLE orders (id INTEGER PRIMARY KEY, item TEXT)');
$db->beginTransaction();
$insert = $db->prepare('INSERT INTO orders (item) VALUES (?)');
foreach ($_SESSION['cart'] as $item) {
    $insert->execute([$item]);
}
$db->commit();
$db->query('SELECT total FROM invoices');

echo "<!DOCTYPE html>\n<html><head><title>Cart</title></head><body>\n";
echo '<h1>Cart</h1><p>', count($_SESSION['cart']), " items</p>\n</body></html>\n";
if (function_exists('trel_event')) {
    trel_event('cart.changed');
}
