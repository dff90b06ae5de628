--TEST--
The bar: put into an admitted HTML page before </head> and the last </body> tags as a browser finds them (not in scripts, styles, comments); every other page, JSON sent as HTML too, byte for byte as PHP makes it
--FILE--
<?php
require __DIR__ . '/../trel.inc';

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
    return [trel_page_headers($headers), $body, $ownHeaders, $ownBody, trel_request($url), $stderr];
}

echo "-- pages with the bar\n";
// {H} and {F} mark where the header and the footer go; the PHP blocks print nothing.
$pages = [
    'plain' => '<html><head><title>t</title>{H}</head><body><p>x</p>{F}</body></html>',
    'upper case, two bodies' => "<HTML><HEAD>{H}</HEAD><BODY>a</Body>\n<!-- </body> -->b{F}</BODY>\n</HTML>",
    'no head' => '<p>only a body</p>{H}{F}</body>',
    'xhtml' => '<?php header("Content-Type: application/xhtml+xml"); ?><html><head>{H}</head><body>{F}</body></html>',
    'flushed early' => '<html><head>{H}</head><body><?php ob_flush(); flush(); ?>rest{F}</body></html>',
    'markup in scripts, styles, comments' => "<!DOCTYPE html><html><head><title>a </head> b</title>"
        . "<script>var t = '<html><head></head><body></body>';</script><style>p:after { content: \"</body>\" }</style>"
        . "<!-- </head> --><script type=\"text/template\"></head></SCRIPT >{H}</head>"
        . "<body data-x=\"</body>\"><textarea></body></textarea><template></body></template>"
        . "<svg><![CDATA[</body>]]></svg><!-- a -- </body> --!>{F}</body ></html>\n<!-- cached </body> -->\n",
    'text before the page' => "Notice: printed first\n<html><head>{H}</head><body>{F}</body></html>",
];
foreach ($pages as $name => $marked) {
    [$headers, $body, $ownHeaders, $ownBody, $row] = both(str_replace(['{H}', '{F}'], '', $marked));
    $pageHeader = str_replace('{{trel-page-id}}', $row['page_id'], $header);
    $pageFooter = str_replace('{{trel-page-id}}', $row['page_id'], $footer);
    $expected = str_replace(['{H}', '{F}'], [$pageHeader, $pageFooter],
                            preg_replace('/<\?php.*?\?>/s', '', $marked));
    printf("%s: %s, headers %s, page id %s\n", $name, $body === $expected ? 'bar in place' : "WRONG:\n$body",
           $headers === $ownHeaders ? 'as PHP makes them' : "DIFFER:\n$headers",
           preg_match('/^[0-9a-f]{32}$/', $row['page_id']) ? 'in the bar' : 'MISSING');
}

echo "-- pages left alone\n";
$html = '<html><head></head><body>page</body></html>';
$untouched = [
    'json' => ['<?php header("Content-Type: application/json"); echo json_encode(["t" => "</head></body>"], JSON_UNESCAPED_SLASHES);'],
    'json sent as HTML' => ["\n <?php echo json_encode(['<html><head></head><body>x</body></html>'], JSON_UNESCAPED_SLASHES);"],
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
markup in scripts, styles, comments: bar in place, headers as PHP makes them, page id in the bar
text before the page: bar in place, headers as PHP makes them, page id in the bar
-- pages left alone
json: byte for byte, stored
json sent as HTML: byte for byte, stored
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
