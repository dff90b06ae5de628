<?php
// The bar's page: a shop page whose script fetches two more answers after it loads (and
// asks for a third with XMLHttpRequest), a
// query run in a loop, a warning, a session changed by the page, and a stylesheet that
// would break any element it reached. Its own script holds "</head>" and "</body>" in
// a string and a comment after the page holds "</body>": the bar goes where the browser
// has the tags.
session_start();
$db = new PDO('sqlite::memory:');
$db->setAttribute(PDO::ATTR_ERRMODE, PDO::ERRMODE_SILENT);
$db->exec('CREATE TABLE items (id INTEGER PRIMARY KEY, name TEXT, price INTEGER)');
$insert = $db->prepare('INSERT INTO items (name, price) VALUES (?, ?)');
foreach (['lamp' => 2490, 'desk' => 15900, 'chair' => 8900] as $name => $price) {
    $insert->execute([$name, $price]);
}
function item(PDOStatement $one, int $id): array {
    $one->execute([$id]);
    return $one->fetch(PDO::FETCH_ASSOC);
}
function price(array $item): string {
    return number_format($item['price'] / 100, 2) . ' EUR';
}
$items = [];
$one = $db->prepare('SELECT name, price FROM items WHERE id = ?');
for ($i = 0; $i < 20; $i++) {
    $items[] = item($one, 1 + $i % 3);
}
$_GET['sort'] = 'price';
if (!isset($_SESSION['visits'])) {
    $_SESSION['visits'] = 0;
}
$_SESSION['visits']++;
$_SESSION['cart'] = ['lamp' => 1, 'chair' => ['colour' => 'oak', 'count' => 2]];
trigger_error('the price list is 3 days old', E_USER_WARNING);
$search = htmlspecialchars($_GET['q'] ?? '');
?><!DOCTYPE html>
<html><head><title>Shop</title>
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
<script>
var stock = new XMLHttpRequest();
stock.open('GET', 'api.php?item=3');
stock.send();
Promise.all([fetch('api.php?item=1').then(r => r.json()), fetch('api.php?item=2&fail=1').then(r => r.json())])
  .then(function (answers) { document.getElementById('basket').textContent = 'basket: ' + answers.length + ' answers'; });
</script>
</body></html>
<!-- cached copy, </body> -->
