--TEST--
The bar: put into an admitted HTML page before </head> and the last </body>; every other page byte for byte as PHP makes it
--FILE--
<?php
require __DIR__ . '/trel.inc';

$root = trel_env_or_fail('TREL_TEST_ROOT');
$header = file_get_contents("$root/share/scripts/trel_header.html");
$footer = file_get_contents("$root/share/scripts/trel_footer.html");

// Runs the page admitted and without the extension; returns both answers and the
// stored request.
function both(string $code, array $request = [], array $ini = []): array {
    $page = trel_script($code);
    $request += ['token' => TREL_TOKEN];
    [$headers, $body, $stderr, $url] = trel_cgi($page, $request, $ini);
    [$ownHeaders, $ownBody] = trel_cgi($page, $request, ['trel.none' => true] + $ini);
    return [$headers, $body, $ownHeaders, $ownBody, trel_request($url), $stderr];
}

echo "-- pages with the bar\n";
$pages = [
    'plain' => '<html><head><title>t</title></head><body><p>x</p></body></html>',
    'upper case, two bodies' => "<HTML><HEAD></HEAD><BODY>a</Body>\n<!-- </body> -->b</BODY>\n</HTML>",
    'no head' => '<p>only a body</p></body>',
    'xhtml' => '<?php header("Content-Type: application/xhtml+xml"); ?><html><head></head><body></body></html>',
    'flushed early' => '<html><head></head><body><?php ob_flush(); flush(); ?>rest</body></html>',
];
foreach ($pages as $name => $code) {
    [$headers, $body, $ownHeaders, $ownBody, $row] = both($code);
    $pageHeader = str_replace('{{trel-page-id}}', $row['page_id'], $header);
    $pageFooter = str_replace('{{trel-page-id}}', $row['page_id'], $footer);
    $bodyAt = strripos($ownBody, '</body>');
    $headAt = stripos(substr($ownBody, 0, $bodyAt), '</head>');
    $expected = $headAt === false
        ? substr($ownBody, 0, $bodyAt) . $pageHeader . $pageFooter . substr($ownBody, $bodyAt)
        : substr($ownBody, 0, $headAt) . $pageHeader . substr($ownBody, $headAt, $bodyAt - $headAt)
          . $pageFooter . substr($ownBody, $bodyAt);
    printf("%s: %s, headers %s, page id %s\n", $name, $body === $expected ? 'bar in place' : "WRONG:\n$body",
           $headers === $ownHeaders ? 'as PHP makes them' : "DIFFER:\n$headers",
           preg_match('/^[0-9a-f]{32}$/', $row['page_id']) ? 'in the bar' : 'MISSING');
}

echo "-- pages left alone\n";
$html = '<html><head></head><body>page</body></html>';
$untouched = [
    'json' => ['<?php header("Content-Type: application/json"); echo json_encode(["t" => "</head></body>"]);'],
    'plain text' => ['<?php header("Content-Type: text/plain"); ?>' . $html],
    'download' => ['<?php header("Content-Disposition: attachment; filename=p.html"); ?>' . $html],
    'redirect' => ['<?php header("Location: /elsewhere"); ?>' . $html],
    'status 304' => ['<?php http_response_code(304); ?>' . $html],
    'no </body>' => ['<html><head></head><body>cut short'],
    'own Content-Length' => ['<?php header("Content-Length: ' . strlen($html) . '"); ?>' . $html],
    'ob_gzhandler' => ['<?php ob_start("ob_gzhandler"); ?>' . $html, ['env' => ['HTTP_ACCEPT_ENCODING' => 'gzip']]],
    'zlib.output_compression' => [$html, ['env' => ['HTTP_ACCEPT_ENCODING' => 'gzip']], ['zlib.output_compression' => '1']],
    'Content-Encoding' => ['<?php header("Content-Encoding: identity"); ?>' . $html],
    'HEAD' => [$html, ['method' => 'HEAD']],
    'text flushed early' => ['<?php header("Content-Type: text/plain"); ?><body><?php ob_flush(); ?></body>'],
    'flushed, then discarded' => [$discard = '<?php header("X-A: 1"); echo "<html><body>a"; ob_flush(); echo "b"; ob_end_clean(); ?>c</body></html>'],
    'discarded' => ['<?php echo "gone"; while (ob_get_level()) ob_end_clean(); ?>' . $html],
    // 24 MiB under a memory limit of 8 MiB: streamed on, never held until the end.
    'large download' => ['<?php header("Content-Type: application/octet-stream"); ' . ($big = '$c = str_repeat("x", 65536); for ($i = 0; $i < 384; $i++) echo $c;'), [], ['memory_limit' => '8M']],
    'HTML too large to hold' => ["<html><body><?php $big ?></body></html>", [], ['memory_limit' => '8M']],
];
foreach ($untouched as $name => $case) {
    [$code, $request, $ini] = $case + [1 => [], 2 => []];
    [$headers, $body, $ownHeaders, $ownBody, $row, $stderr] = both($code, $request, $ini);
    printf("%s: %s, %s\n", $name,
           $headers === $ownHeaders && $body === $ownBody && $stderr === '' ? 'byte for byte'
               : "DIFFERENT:\n$headers\n$body\n--- PHP's own:\n$ownHeaders\n$ownBody\n$stderr",
           $row === null ? 'NOT STORED' : 'stored');
}

// With no buffer of PHP's own below, the bar's handler is the one the script discards
// (PHP's own answer differs: it has no buffer to flush or discard): what the script
// flushed still goes out, in order.
[$headers, $body] = both($discard, [], ['output_buffering' => '0']);
echo "discarded with no buffer below: ", str_contains($headers, 'X-A: 1') && $body === '<html><body>ac</body></html>'
    ? 'the flushed part kept' : "WRONG:\n$headers\n$body", "\n";
?>
--EXPECT--
-- pages with the bar
plain: bar in place, headers as PHP makes them, page id in the bar
upper case, two bodies: bar in place, headers as PHP makes them, page id in the bar
no head: bar in place, headers as PHP makes them, page id in the bar
xhtml: bar in place, headers as PHP makes them, page id in the bar
flushed early: bar in place, headers as PHP makes them, page id in the bar
-- pages left alone
json: byte for byte, stored
plain text: byte for byte, stored
download: byte for byte, stored
redirect: byte for byte, stored
status 304: byte for byte, stored
no </body>: byte for byte, stored
own Content-Length: byte for byte, stored
ob_gzhandler: byte for byte, stored
zlib.output_compression: byte for byte, stored
Content-Encoding: byte for byte, stored
HEAD: byte for byte, stored
text flushed early: byte for byte, stored
flushed, then discarded: byte for byte, stored
discarded: byte for byte, stored
large download: byte for byte, stored
HTML too large to hold: byte for byte, stored
discarded with no buffer below: the flushed part kept
