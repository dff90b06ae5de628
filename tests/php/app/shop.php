<?php
// User functions in a few classes, a real warning deep in them, monitor events.
require __DIR__ . '/lib/common.php';

$cart = new Shop\Cart();
$cart->add('rain jacket', 8990);
$cart->add('socks', 450, 3);
$cart->add('umbrella', 1200);
for ($i = 1; $i <= 5; $i++) {
    echo Shop\Price::format($i * 111), "\n";
}
echo (new Shop\Report())->build($cart), "\n";
// The extension's function; the page runs without the extension as well.
if (function_exists('trel_event')) {
    trel_event('shop.viewed');
    trel_event('shop.viewed');
    trel_event('shop.cart');
}
echo "done\n";
