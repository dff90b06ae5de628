<?php
// The demo's shop front: a catalogue in SQLite read through PDO with bound values, a
// warning the code does not mean to raise, and an event of the application's own.

function catalogue(): PDO
{
    $db = new PDO('sqlite::memory:');
    $db->exec('CREATE TABLE products (id INTEGER PRIMARY KEY, name TEXT, cents INTEGER)');
    $insert = $db->prepare('INSERT INTO products (name, cents) VALUES (?, ?)');
    foreach ([['rain jacket', 8990], ['umbrella', 1200], ['wool socks', 450]] as $row) {
        $insert->execute($row);
    }
    return $db;
}

function price(int $cents): string
{
    return sprintf('%d.%02d EUR', intdiv($cents, 100), $cents % 100);
}

$db = catalogue();
$query = $db->prepare('SELECT name, cents FROM products WHERE cents <= :max ORDER BY cents');
$query->execute([':max' => (int) ($_GET['max'] ?? 10000)]);
echo "<!DOCTYPE html>\n<html><head><title>Shop</title></head><body>\n<h1>Shop</h1>\n<ul>\n";
foreach ($query->fetchAll(PDO::FETCH_ASSOC) as $product) {
    echo '<li>', htmlspecialchars($product['name']), ' ', price($product['cents']), "</li>\n";
}
echo "</ul>\n<p>", htmlspecialchars($_GET['sale']), "</p>\n</body></html>\n";
if (function_exists('trel_event')) {
    trel_event('catalogue.viewed');
}
