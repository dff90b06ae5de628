--TEST--
The bar's data of a request's context, read back through the extension: start offsets of queries and errors in order within the request's time, the costliest calls, XHR only as the browser made it, response headers with Set-Cookie masked and its value in no stored text, error_log() messages, an uncaught exception's own class, place and trace, and the request a POST redirected from for the same token only
--FILE--
<?php
require __DIR__ . '/../trel.inc';

$page = trel_script(<<<'PHP'
<?php
error_log('first log line');
$db = new PDO('sqlite::memory:');
$db->exec('CREATE TABLE t (id INTEGER)');
usleep(5000);
$db->exec('INSERT INTO t VALUES (1)');
trigger_error('after two queries', E_USER_NOTICE);
function slow() { usleep(30000); }
function quick() { usleep(1000); }
slow();
quick();
setcookie('remember', getenv('COOKIE_VALUE'), ['path' => '/', 'httponly' => true]);
header('X-Shop: yes');
error_log('second log line ' . getenv('COOKIE_VALUE'));
$db->query('SELECT ' . json_encode(getenv('COOKIE_VALUE')));
class CartException extends RuntimeException {}
function checkout(int $n) { throw new CartException("cart $n is empty"); }
function pay() { checkout(7); }
if (getenv('THROW')) pay();
echo "done\n";
PHP);

function json_of(string $pageId, string $token): ?array {
    [, $body] = trel_cgi(trel_script('<?php'), ['query' => "__trel_json=$pageId", 'token' => $token]);
    return json_decode($body, true);
}

$secret = 'R-' . bin2hex(random_bytes(12));
$env = ['COOKIE_VALUE' => $secret, 'THROW' => '1',
        'HTTP_REFERER' => 'http://trel.test/cart.php?password=hunter2&x=1'];
[, , , $url] = trel_cgi($page, ['token' => TREL_TOKEN, 'env' => $env], ['trel.function_stats' => '1']);
$row = trel_request($url);
$json = json_of($row['page_id'], TREL_TOKEN);
$time = $json['time_us'];

echo "-- offsets\n";
$queries = $json['query_list'];
usort($queries, fn($a, $b) => $a['start_us'] <=> $b['start_us']);
$last = -1;
foreach ($queries as $q) {
    printf("%s: %s\n", $q['statement'], $q['start_us'] > $last && $q['start_us'] + $q['time_us'] <= $time
                                          ? 'in order within the request' : "WRONG {$q['start_us']} of $time");
    $last = $q['start_us'];
}
[$create, $insert] = $queries;
echo $insert['start_us'] - $create['start_us'] >= 5000 ? "the pause between them shows\n" : "NO PAUSE\n";
foreach ($json['error_list'] as $e) {
    printf("%s %s: %s\n", $e['type'], strtok($e['message'], "\n"),
           $e['start_us'] > $insert['start_us'] && $e['start_us'] <= $time ? 'after the insert, within the request'
                                                                          : "WRONG {$e['start_us']}");
}
echo "-- spans\n";
// slow() and quick() first; checkout() and pay(), which only throw, take microseconds.
foreach ($json['spans'] as $i => $s) {
    printf("%s %s\n", $i < 2 ? $s['name'] : 'another', $s['start_us'] >= 0 && $s['start_us'] + $s['time_us'] <= $time ? 'within' : 'OUTSIDE');
}
$spans = array_column($json['spans'], null, 'name');
echo $spans['slow']['time_us'] >= 30000 && $spans['slow']['start_us'] > $insert['start_us'] ? "slow() took its 30 ms after the insert\n" : "SLOW WRONG\n";
echo "-- exception\n";
$fatal = $json['error_list'][1];
$ex = $fatal['exception'];
printf("%s: %s at line %d, %s\n", $ex['class'], $ex['message'], $ex['line'], $ex['file'] === $page ? 'the page' : $ex['file']);
foreach ($ex['trace'] as $frame) {
    printf("  %s line %d %s\n", $frame['call'], $frame['line'], $frame['file'] === $page ? 'the page' : $frame['file']);
}
echo str_starts_with($fatal['message'], 'Uncaught CartException: cart 7 is empty in ') && $fatal['type'] === 'E_ERROR'
    ? "the error keeps its text\n" : "ERROR CHANGED: {$fatal['message']}\n";
echo $json['error_list'][0]['exception'] === null ? "a notice has none\n" : "NOTICE WITH EXCEPTION\n";
echo "-- log messages\n";
foreach ($json['log_messages'] as $m) {
    printf("%s %s\n", $m['message'], $m['start_us'] >= 0 && $m['start_us'] <= $time ? 'within' : 'OUTSIDE');
}
echo "-- headers\n";
foreach ($json['response_headers'] as [$name, $value]) {
    echo $name, ': ', in_array($name, ['X-Powered-By', 'X-Trel-Page', 'Content-Length']) ? 'some' : $value, "\n";
}
echo "-- context\n";
printf("xhr %s, referer %s\n", json_encode($json['xhr']), $json['referer']);
$texts = json_encode($json) . trel_stored_texts($row['id'])
       . json_encode(trel_rows('SELECT * FROM trel_request_context WHERE request_id = ?', [$row['id']]));
echo str_contains($texts, $secret) ? "COOKIE VALUE LEAKED\n" : "the cookie's value is in no stored text\n";
echo str_contains($texts, 'hunter2') ? "REFERER LEAKED\n" : "the referer's password is masked\n";

echo "-- xhr\n";
$plain = trel_script('<?php echo "ok";');
$flags = [];
foreach (['navigation' => ['HTTP_SEC_FETCH_DEST' => 'document', 'HTTP_SEC_FETCH_MODE' => 'navigate'],
          'fetch' => ['HTTP_SEC_FETCH_DEST' => 'empty', 'HTTP_SEC_FETCH_MODE' => 'cors'],
          'same-origin fetch' => ['HTTP_SEC_FETCH_DEST' => 'empty', 'HTTP_SEC_FETCH_MODE' => 'same-origin'],
          'stylesheet' => ['HTTP_SEC_FETCH_DEST' => 'style', 'HTTP_SEC_FETCH_MODE' => 'no-cors'],
          'script' => ['HTTP_SEC_FETCH_DEST' => 'script', 'HTTP_SEC_FETCH_MODE' => 'no-cors'],
          'library call' => ['HTTP_X_REQUESTED_WITH' => 'XMLHttpRequest'],
          'no headers' => []] as $name => $headers) {
    [, , , $u] = trel_cgi($plain, ['token' => TREL_TOKEN, 'env' => $headers]);
    $summary = json_decode(trel_cgi($plain, ['query' => '__trel_summary=' . trel_request($u)['page_id'],
                                             'token' => TREL_TOKEN])[1], true);
    printf("%s: xhr %s\n", $name, json_encode($summary['xhr']));
    $flags[$summary['page_id']] = $summary['xhr'];
}
// The list marks the same rows, with each one's Referer.
[, $body] = trel_cgi($plain, ['query' => '__trel_requests=1', 'token' => TREL_TOKEN]);
preg_match('{id="trel-data">(.*?)</script>}s', $body, $data);
$listed = array_column(json_decode($data[1] ?? 'null', true)['list']['requests'] ?? [], null, 'page_id');
echo array_map(fn($id) => $listed[$id]['xhr'] ?? null, array_keys($flags)) === array_values($flags)
    ? "the list marks them alike\n" : "LIST DIFFERS\n";
echo ($listed[$row['page_id']]['referer'] ?? '') === 'http://trel.test/cart.php?password=***&x=1'
    ? "the list gives the page's referer\n" : "LIST REFERER WRONG\n";

echo "-- redirect\n";
$login = trel_script(<<<'PHP'
<?php
if ($_SERVER['REQUEST_METHOD'] === 'POST') { header('Location: dash.php?from=login'); exit; }
echo 'dashboard';
PHP);
$dir = trel_unique_path('shop');
foreach (['same token' => [TREL_TOKEN, TREL_TOKEN], 'other token' => ['phpt-asking', TREL_TOKEN]] as $case => [$first, $second]) {
    $base = $case === 'other token' ? '/asking' . $dir : $dir;
    [$h, , , $postUrl] = trel_cgi($login, ['path' => "$base/login.php", 'method' => 'POST', 'body' => 'user=ann',
                                           'token' => $first]);
    [, , , $getUrl] = trel_cgi($login, ['path' => "$base/dash.php", 'query' => 'from=login', 'token' => $second]);
    $post = trel_request($postUrl);
    $got = json_of(trel_request($getUrl)['page_id'], $second);
    $from = $got['redirected_from'];
    printf("%s: POST %d, then %s\n", $case, $post['status_code'],
           $from === null ? 'no redirect' : sprintf('from %s %s %d, %s', $from['method'], basename($from['url']),
                                                    $from['status'], $from['page_id'] === $post['page_id'] ? 'the POST' : 'ANOTHER'));
}
// A reload of the page the redirect led to: its earlier visit was the redirect's.
[, , , $reloadUrl] = trel_cgi($login, ['path' => "$dir/dash.php", 'query' => 'from=login', 'token' => TREL_TOKEN]);
[$reloaded, $landed] = trel_rows('SELECT r.page_id FROM trel_requests r JOIN trel_requests_urls u ON u.id = r.url_id
                                  WHERE u.url = ? ORDER BY r.id DESC', [$reloadUrl]);
$reload = json_of($reloaded['page_id'], TREL_TOKEN);
printf("a reload: %s, after %s\n", $reload['redirected_from'] === null ? 'no redirect' : 'REDIRECTED',
       $reload['previous_page_id'] === $landed['page_id'] ? 'the redirected visit' : 'ANOTHER');
// The previous request of the same URL, for the same token.
[, , , $againUrl] = trel_cgi($page, ['path' => parse_url($url, PHP_URL_PATH), 'token' => TREL_TOKEN, 'env' => $env]);
$again = json_of(trel_rows('SELECT r.page_id FROM trel_requests r JOIN trel_requests_urls u ON u.id = r.url_id
                            WHERE u.url = ? ORDER BY r.id DESC', [$againUrl])[0]['page_id'], TREL_TOKEN);
echo $again['previous_page_id'] === $row['page_id'] ? "the previous request of the URL is the first\n" : "PREVIOUS WRONG\n";
echo $json['previous_page_id'] === null ? "the first has none\n" : "FIRST HAS A PREVIOUS\n";
?>
--EXPECTF--
-- offsets
CREATE TABLE t (id INTEGER): in order within the request
INSERT INTO t VALUES (1): in order within the request
SELECT "***": in order within the request
the pause between them shows
E_USER_NOTICE after two queries: after the insert, within the request
E_ERROR Uncaught CartException: cart 7 is empty in %s: after the insert, within the request
-- spans
slow within
quick within
another within
another within
slow() took its 30 ms after the insert
-- exception
CartException: cart 7 is empty at line 17, the page
  checkout() line 18 the page
  pay() line 19 the page
the error keeps its text
a notice has none
-- log messages
first log line within
second log line *** within
-- headers
X-Trel-Page: some
Set-Cookie: remember=***(26 bytes); path=/; HttpOnly
X-Shop: yes
Content-Length: some
Content-type: text/html; charset=UTF-8
Cache-Control: private, no-store
-- context
xhr false, referer http://trel.test/cart.php?password=***&x=1
the cookie's value is in no stored text
the referer's password is masked
-- xhr
navigation: xhr false
fetch: xhr true
same-origin fetch: xhr true
stylesheet: xhr false
script: xhr false
library call: xhr true
no headers: xhr false
the list marks them alike
the list gives the page's referer
-- redirect
same token: POST 302, then from POST login.php 302, the POST
other token: POST 302, then no redirect
a reload: no redirect, after the redirected visit
the previous request of the URL is the first
the first has none
