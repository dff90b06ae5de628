<?php
// Hostile cases, one per request: ?case=huge-query|recursion|query-exception|udf-exception|memory|timeout|input
require __DIR__ . '/lib/common.php';

$db = new PDO('sqlite::memory:');
switch ($_GET['case'] ?? '') {
case 'huge-query':
    // Two megabytes of statement text, prepared and with a bound value.
    $statement = $db->prepare("SELECT length('" . str_repeat('x', 2 * 1024 * 1024) . "') + ?");
    $statement->execute([1]);
    echo $statement->fetchColumn(), "\n";
    break;
case 'recursion':
    echo Shop\recurse(2000), "\n";
    break;
case 'query-exception':
    $db->setAttribute(PDO::ATTR_ERRMODE, PDO::ERRMODE_EXCEPTION);
    $db->query('SELECT * FROM no_such_table');   // uncaught: a fatal error ends the request
    break;
case 'udf-exception':
    // The exception is thrown by PHP code running inside the query.
    $db->sqliteCreateFunction('explode_now', function () {
        throw new DomainException('thrown inside the query');
    });
    try {
        $db->query('SELECT explode_now()');
    } catch (DomainException $e) {
        echo 'caught: ', $e->getMessage(), "\n";
    }
    break;
case 'memory':
    // A fatal error in the middle of a call: the memory limit.
    ini_set('memory_limit', '16M');
    $rows = [];
    while (true) {
        $rows[] = Shop\Price::format(count($rows)) . str_repeat('m', 1024);
    }
case 'timeout':
    // The time limit strikes inside a user function, in a query's callback, at a line
    // that varies: the message stays out of the page.
    ini_set('display_errors', '0');
    set_time_limit(1);
    $db->sqliteCreateFunction('spin', function () {
        for ($i = 0; ; $i++) {
            Shop\Price::format($i);
        }
    });
    $db->query('SELECT spin()');
    break;
case 'input':
    foreach (['_GET', '_POST', '_COOKIE'] as $name) {
        echo $name, ' ', md5(serialize($GLOBALS[$name])), "\n";
    }
    break;
}
echo "done\n";
