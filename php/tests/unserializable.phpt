--TEST--
Superglobals holding values serialize() refuses at the request's end: the page is as PHP makes it and the request is stored, the samples naming each refused value
--FILE--
<?php
require __DIR__ . '/trel.inc';

$page = trel_script(<<<'PHP'
<?php
class Cart { public $items = [1]; function __serialize(): array { echo "cart printed\n"; throw new RuntimeException('cart is locked'); } }
class Legacy { public $a = 1; function __sleep() { return 'a'; } }
class Box { public $inner; }
session_save_path(sys_get_temp_dir());
session_start();
$_SESSION['user'] = 'ann';
session_write_close();
$_SESSION['file'] = new SplFileObject(__FILE__);
$_GET['callback'] = fn() => 1;
$_GET['nested'] = ['deep' => ['cb' => function () {}], 'ok' => 2];
$_GET['box'] = new Box;
$_GET['box']->inner = new class { public $x = 1; };
$_GET['cart'] = new Cart;
$_GET['legacy'] = new Legacy;
$_SERVER['db'] = new PDO('sqlite::memory:');
echo "done\n";
PHP);

$request = ['query' => 'q=1', 'token' => TREL_TOKEN];
[$headers, $body, $stderr, $url] = trel_cgi($page, $request);
[, $ownBody, $ownStderr] = trel_cgi($page, $request, null);
echo $body === $ownBody ? "page as PHP makes it\n" : "PAGE DIFFERS:\n$body\n";
echo "page: $body", "stderr: '$stderr'\n";

$row = trel_request($url);
echo $row ? "stored, status {$row['status_code']}\n" : "NOT STORED\n";
foreach (trel_rows("SELECT sg_name, data FROM trel_superglobals_data WHERE request_id = ?
                    AND sample_type = 'SAMPLE_END' AND sg_name IN ('_GET', '_SERVER', '_SESSION')
                    ORDER BY sg_name", [$row['id'] ?? 0]) as $s) {
    $value = unserialize($s['data']);
    if ($s['sg_name'] === '_SERVER') {
        $value = ['db' => $value['db'], 'QUERY_STRING' => $value['QUERY_STRING']];
    }
    echo $s['sg_name'], ' ', json_encode($value, JSON_UNESCAPED_SLASHES), "\n";
}

// With serialize() disabled the warning still names it.
[, $disabledBody, , $disabledUrl] = trel_cgi($page, $request, ['disable_functions' => 'serialize']);
$disabled = trel_rows("SELECT data FROM trel_superglobals_data WHERE request_id = ? AND sg_name = '_GET'
                       AND sample_type = 'SAMPLE_END'", [trel_request($disabledUrl)['id'] ?? 0]);
echo "serialize() disabled: $disabledBody", unserialize($disabled[0]['data'] ?? 'b:0;')['legacy'] ?? 'NOT STORED', "\n";
?>
--EXPECTF--
page as PHP makes it
page: done
stderr: ''
stored, status 200
_GET {"q":"1","callback":"(not serialized: Closure)","nested":{"deep":{"cb":"(not serialized: Closure)"},"ok":2},"box":{"__PHP_Incomplete_Class_Name":"Box","inner":"(not serialized: class@anonymous%s)"},"cart":"(not serialized: Cart: RuntimeException: cart is locked)","legacy":"(not serialized: Legacy: ErrorException: serialize(): Legacy::__sleep() should return an array only containing the names of instance-variables to serialize)"}
_SERVER {"db":"(not serialized: PDO)","QUERY_STRING":"q=1"}
_SESSION {"user":"ann","file":"(not serialized: SplFileObject)"}
serialize() disabled: done
(not serialized: Legacy: ErrorException: serialize(): Legacy::__sleep() should return an array only containing the names of instance-variables to serialize)
