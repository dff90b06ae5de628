<?php
// Hostile cases, one per request: ?case=huge-query|recursion|query-exception|udf-exception|input
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
case 'input':
    foreach (['_GET', '_POST', '_COOKIE'] as $name) {
        echo $name, ' ', md5(serialize($GLOBALS[$name])), "\n";
    }
    break;
}
echo "done\n";
