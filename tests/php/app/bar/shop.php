<?php
// The bar's page: a shop page whose script fetches two more answers after it loads (and
// asks for a third with XMLHttpRequest), its SQL through a database class of its own
// with a slow query, a loop of prepared and one of string-built queries, a warning, a
// line in PHP's log, headers of its own, a session changed by the page, and a
// stylesheet that would break any element it reached. Its own script holds "</head>"
// and "</body>" in a string and a comment after the page holds "</body>": the bar goes
// where the browser has the tags.
require __DIR__ . '/shopdb.php';
session_start();
header('X-Shop: lamps and desks');
setcookie('basket', 'b4sket-3f9a2c71', ['httponly' => true, 'path' => '/bar/']);
$db = new ShopDb();
$db->run('CREATE TABLE items (id INTEGER PRIMARY KEY, name TEXT, price INTEGER)');
$db->run('CREATE TABLE pages (id INTEGER PRIMARY KEY, title TEXT)');
foreach (['lamp' => 2490, 'desk' => 15900, 'chair' => 8900] as $name => $price) {
    $db->fetch('INSERT INTO items (name, price) VALUES (?, ?)', [$name, $price]);
}
function item(ShopDb $db, int $id): array {
    return $db->fetch('SELECT name, price FROM items WHERE id = ?', [$id]);
}
function price(array $item): string {
    return number_format($item['price'] / 100, 2) . ' EUR';
}
function title(ShopDb $db, int $id): string {
    return (string)$db->run("SELECT title FROM pages WHERE id = $id")->fetchColumn();
}
$items = [];
for ($i = 0; $i < 20; $i++) {
    $items[] = item($db, 1 + $i % 3);
}
$titles = [];
for ($id = 1; $id <= 8; $id++) {
    $titles[] = title($db, $id);
}
$db->run('SELECT pause(60) AS stock_sync');
if (isset($_SESSION['user'])) {
    $db->run("SELECT name, price FROM items WHERE name = 'lamp'");
}
$_GET['sort'] = 'price';
if (!isset($_SESSION['visits'])) {
    $_SESSION['visits'] = 0;
}
$_SESSION['visits']++;
$_SESSION['cart'] = ['lamp' => 1, 'chair' => ['colour' => 'oak', 'count' => 2]];
trigger_error('the price list is 3 days old', E_USER_WARNING);
error_log('stock sync took longer than it should');
$search = htmlspecialchars($_GET['q'] ?? '');
?><!DOCTYPE html>
<html><head><title>Shop</title>
<meta name="viewport" content="width=device-width, initial-scale=1">
<script>var blank = "<html><head></head><body></body></html>"; window.shopScript = blank.length;</script>
<style>
body { font: 16px Georgia, serif; margin: 40px; background: #fdfaf3; color: #2b2118; }
/* A page's own rules that would break any bar they reached. */
div, a, span, button { all: unset !important; display: none !important; font: 40px serif !important; color: red !important; }
</style></head>
<body><h1>Shop</h1>
<p>Results for <em><?= $search ?></em></p>
<ul><?php foreach (array_slice($items, 0, 3) as $item): ?><li><?= $item['name'] ?>, <?= price($item) ?></li><?php endforeach ?></ul>
<p id="basket">basket: loading</p>
<p id="last">the end of the page</p>
<script>
var stock = new XMLHttpRequest();
stock.open('GET', 'api.php?item=3');
stock.setRequestHeader('X-Requested-With', 'XMLHttpRequest');
stock.send();
Promise.all([fetch('api.php?item=1').then(r => r.json()), fetch('api.php?item=2&fail=1').then(r => r.status)])
  .then(function (answers) { document.getElementById('basket').textContent = 'basket: ' + answers.length + ' answers'; });
</script>
</body></html>
<!-- cached copy, </body> -->
