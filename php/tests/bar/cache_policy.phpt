--TEST--
The bar's page is kept by no shared cache: an admitted answer is private and unvalidated whatever the script said, and the script does not see the browser's validators; a page not admitted keeps its own caching
--FILE--
<?php
require __DIR__ . '/../trel.inc';

$page = trel_script(<<<'PHP'
<?php
header('Cache-Control: public, max-age=300');
header('ETag: "v1"');
header('Last-Modified: Tue, 01 Dec 2026 10:00:00 GMT');
header('Expires: Tue, 01 Dec 2026 11:00:00 GMT');
header('X-Accel-Expires: 300');
header('Vary: Accept-Encoding');
if (isset($_SERVER['HTTP_IF_NONE_MATCH']) || isset($_SERVER['HTTP_IF_MODIFIED_SINCE'])) {
    http_response_code(304);
    exit;
}
echo "<html><head><title>t</title></head><body>whole page</body></html>";
PHP);
$conditional = ['HTTP_IF_NONE_MATCH' => '"v1"', 'HTTP_IF_MODIFIED_SINCE' => 'Tue, 01 Dec 2026 10:00:00 GMT'];
// Caching and validation headers, in the order sent.
$caching = fn(string $headers) => implode("\n", preg_grep(
    '{^(Status|Cache-Control|ETag|Last-Modified|Expires|X-Accel-Expires|Vary):}i', explode("\r\n", $headers)));

foreach (['plain' => [], 'conditional' => $conditional] as $name => $env) {
    echo "-- admitted, $name\n";
    [$headers, $body, $stderr, $url] = trel_cgi($page, ['token' => TREL_TOKEN, 'env' => $env]);
    echo $caching($headers), "\n";
    $row = trel_request($url);
    echo str_contains($body, 'whole page') ? 'whole page' : 'no page', ', ',
         str_contains($body, 'data-trel-page="' . $row['page_id'] . '"') ? 'with its bar' : 'no bar', "\n";
}
echo "-- not admitted, conditional\n";
[$headers, $body] = trel_cgi($page, ['env' => $conditional]);
echo $caching($headers), "\n", strlen($body), " bytes\n";
?>
--EXPECT--
-- admitted, plain
Vary: Accept-Encoding
Cache-Control: private, no-store
whole page, with its bar
-- admitted, conditional
Vary: Accept-Encoding
Cache-Control: private, no-store
whole page, with its bar
-- not admitted, conditional
Status: 304 Not Modified
Cache-Control: public, max-age=300
ETag: "v1"
Last-Modified: Tue, 01 Dec 2026 10:00:00 GMT
Expires: Tue, 01 Dec 2026 11:00:00 GMT
X-Accel-Expires: 300
Vary: Accept-Encoding
0 bytes
