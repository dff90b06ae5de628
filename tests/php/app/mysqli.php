<?php
// mysqli on the MariaDB test server: query, real_query, prepare + bind_param +
// execute inside a transaction, a failing query. A temporary table keeps the
// page's output the same on every request.
require __DIR__ . '/lib/common.php';

mysqli_report(MYSQLI_REPORT_OFF);
$db = new mysqli(e2e_env('E2E_MYSQL_HOST'), e2e_env('E2E_MYSQL_USER'), e2e_env('E2E_MYSQL_PASSWORD'),
    e2e_env('E2E_MYSQL_DATABASE'), (int) e2e_env('E2E_MYSQL_PORT'));
$db->query('CREATE TEMPORARY TABLE orders (id INT PRIMARY KEY, customer VARCHAR(40), cents INT)');
$db->begin_transaction();
$insert = $db->prepare('INSERT INTO orders (id, customer, cents) VALUES (?, ?, ?)');
foreach ([[1, 'Ada', 1999], [2, 'Grace', 250]] as [$id, $customer, $cents]) {
    $insert->bind_param('isi', $id, $customer, $cents);
    $insert->execute();
}
$db->commit();
$db->real_query('SELECT customer, cents FROM orders ORDER BY id');
$result = $db->store_result();
while ($row = $result->fetch_row()) {
    echo $row[0], ' ', Shop\Price::format((int) $row[1]), "\n";
}
var_dump($db->query('SELECT * FROM no_such_table'));
echo $db->errno, "\n";
echo "done\n";
