<?php
// Local file I/O: a whole file, then line by line through a stream.
require __DIR__ . '/lib/common.php';

echo strlen(file_get_contents(__DIR__ . '/lib/shop.php')), "\n";
$lines = 0;
$handle = fopen(__FILE__, 'r');
while (fgets($handle) !== false) {
    $lines++;
}
fclose($handle);
echo "lines $lines\n";
