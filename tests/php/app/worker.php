<?php
// An HTML page that says which process served it. With `case=sleep` it leaves that
// process id in the data folder, then runs on until the check kills the process.
require __DIR__ . '/lib/common.php';

// With `session=1` the page counts its visits in a session.
if (isset($_GET['session'])) {
    session_start();
    $_SESSION['visits'] = ($_SESSION['visits'] ?? 0) + 1;
}

// With `cache=1` the page says a shared cache may keep it for five minutes, with its
// validators, and answers a matching conditional request with 304.
if (isset($_GET['cache'])) {
    header('Cache-Control: public, max-age=300');
    header('ETag: "worker-1"');
    header('Last-Modified: Tue, 01 Dec 2026 10:00:00 GMT');
    if (($_SERVER['HTTP_IF_NONE_MATCH'] ?? '') === '"worker-1"' || isset($_SERVER['HTTP_IF_MODIFIED_SINCE'])) {
        http_response_code(304);
        exit;
    }
}

$cart = new Shop\Cart();
$cart->add('lamp', 2500);
echo "<!DOCTYPE html>\n<html><head><title>worker</title></head><body>\n";
// With `flush=1` the head goes to the browser at once, as many themes do.
if (isset($_GET['flush'])) {
    if (ob_get_level() > 0) {
        ob_flush();
    }
    flush();
}
echo '<p>', Shop\Price::format($cart->total()), "</p>\n";
if (function_exists('trel_event')) {
    trel_event('worker.page');
}
$pid = getmypid();
if (($_GET['case'] ?? '') === 'sleep') {
    $label = preg_replace('/[^a-z0-9-]/', '', $_GET['r'] ?? '');
    file_put_contents(e2e_env('E2E_DATA') . "/pid-$label", (string) $pid);
    sleep(120);
}
if (isset($_SESSION['visits'])) {
    echo "<p>visit {$_SESSION['visits']}</p>\n";
}
echo "<p>pid $pid</p>\n</body></html>\n";
