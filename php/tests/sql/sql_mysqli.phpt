--TEST--
SQL capture, mysqli on the MariaDB test server: OO and procedural forms, bound values, blobs sent as long data or not, transactions, failures (executes that return false too), an uncaught exception inside a query
--FILE--
<?php
require __DIR__ . '/../sql.inc';

$table = 'sqlcap_' . bin2hex(random_bytes(4));
$row = sql_serve('<?php ' . sql_mysqli_args_code() . <<<PHP
\$m = new mysqli(...\$mysqli_args);
\$m->query('CREATE TEMPORARY TABLE $table (id INT, name VARCHAR(50))');
\$insert = \$m->prepare("INSERT INTO $table VALUES (?, ?) # it's ?");
\$insert->bind_param('is', \$id, \$name);
foreach ([[1, "O'Brien \\\\ ?"], [2, null]] as [\$id, \$name]) \$insert->execute();
\$insert->execute([3, 'three']);
\$m->begin_transaction();
mysqli_query(\$m, "UPDATE $table SET name = 'x' WHERE id > 1");
\$select = mysqli_prepare(\$m, 'SELECT name FROM $table WHERE id = ? AND name <> "?"');
mysqli_stmt_bind_param(\$select, 'd', \$id);
\$id = 1;
mysqli_stmt_execute(\$select);
mysqli_stmt_get_result(\$select);
mysqli_commit(\$m);
\$m->real_query('START TRANSACTION');
\$m->execute_query('DELETE FROM $table WHERE id IN (?, ?)', [1, 'a"b']);
\$m->query('ROLLBACK');
\$m->query('CREATE TEMPORARY TABLE {$table}_blob (id INT, data BLOB)');
\$blob = \$m->prepare('INSERT INTO {$table}_blob VALUES (?, ?)');
\$blob->bind_param('ib', \$id, \$data);
[\$id, \$data] = [1, 'bytes never sent']; \$blob->execute();
\$id = 2; \$blob->send_long_data(1, 'long '); mysqli_stmt_send_long_data(\$blob, 1, 'data'); \$blob->execute();
[\$id, \$data] = [3, null]; \$blob->execute();
[\$id, \$data] = [4, 'x']; \$blob->send_long_data(1, 'dropped'); mysqli_stmt_reset(\$blob); \$blob->execute();
\$id = 5; \$blob->send_long_data(1, str_repeat('é', 1500)); \$blob->execute();
foreach (\$m->query('SELECT id, HEX(LEFT(data, 9)) h, LENGTH(data) n FROM {$table}_blob') as \$r) echo json_encode(\$r), "\\n";
\$m->query('CREATE TEMPORARY TABLE {$table}_u (id INT, `user_pass` VARCHAR(50), api_key VARCHAR(50))');
\$m->execute_query('INSERT INTO {$table}_u (id, `user_pass`, api_key) VALUES (?, ?, \'K\\\\\'1\'), (2, "it\'\'s", ?) # password = ?', [1, 'S3cret', 'K2']);
\$m->execute_query('UPDATE {$table}_u SET `user_pass` = ?, id = 3 WHERE "x" <> api_key AND id IN (?, 2)', ['N3w', 1]);
mysqli_report(MYSQLI_REPORT_OFF); \$m->query('CREATE TEMPORARY TABLE {$table}_k (id INT PRIMARY KEY)');
var_dump(\$m->query('SELEC 1'), mysqli_prepare(\$m, 'SELECT nope FROM $table')); \$dup = \$m->prepare('INSERT INTO {$table}_k VALUES (?)'); \$k = 1; \$dup->bind_param('i', \$k); var_dump(\$dup->execute(), \$dup->execute(), mysqli_stmt_execute(\$dup));
mysqli_report(MYSQLI_REPORT_ERROR | MYSQLI_REPORT_STRICT);
\$m->query('SELECT * FROM {$table}_missing');
PHP);
sql_print($row);
?>
--EXPECTF--
{"id":"1","h":"","n":"0"}
{"id":"2","h":"6C6F6E672064617461","n":"9"}
{"id":"3","h":null,"n":null}
{"id":"4","h":"","n":"0"}
{"id":"5","h":"C3A9C3A9C3A9C3A9C3","n":"3000"}
bool(false)
bool(false)
bool(true)
bool(false)
bool(false)
%AFatal error: Uncaught mysqli_sql_exception: Table '%s.sqlcap_%s_missing' doesn't exist in %s:34
%A
3 ok, rows 0, tx -: CREATE TEMPORARY TABLE sqlcap_%s (id INT, name VARCHAR(50))
6 ok, rows 1, tx -: INSERT INTO sqlcap_%s VALUES (1, 'O''Brien \ ?') # it's ?
    prepared: INSERT INTO sqlcap_%s VALUES (?, ?) # it's ?
6 ok, rows 1, tx -: INSERT INTO sqlcap_%s VALUES (2, NULL) # it's ?
    prepared: INSERT INTO sqlcap_%s VALUES (?, ?) # it's ?
7 ok, rows 1, tx -: INSERT INTO sqlcap_%s VALUES ('3', 'three') # it's ?
    prepared: INSERT INTO sqlcap_%s VALUES (?, ?) # it's ?
8 ok, rows 0, tx 1: START TRANSACTION
9 ok, rows 2, tx 1: UPDATE sqlcap_%s SET name = 'x' WHERE id > 1
13 ok, rows 0, tx 1: SELECT name FROM sqlcap_%s WHERE id = 1 AND name <> "?"
    prepared: SELECT name FROM sqlcap_%s WHERE id = ? AND name <> "?"
15 ok, rows 0, tx 1: COMMIT
16 ok, rows 0, tx 2: START TRANSACTION
17 ok, rows 1, tx 2: DELETE FROM sqlcap_%s WHERE id IN ('1', 'a"b')
    prepared: DELETE FROM sqlcap_%s WHERE id IN (?, ?)
18 ok, rows 0, tx 2: ROLLBACK
19 ok, rows 0, tx -: CREATE TEMPORARY TABLE sqlcap_%s_blob (id INT, data BLOB)
22 ok, rows 1, tx -: INSERT INTO sqlcap_%s_blob VALUES (1, '')
    prepared: INSERT INTO sqlcap_%s_blob VALUES (?, ?)
23 ok, rows 1, tx -: INSERT INTO sqlcap_%s_blob VALUES (2, 'long data')
    prepared: INSERT INTO sqlcap_%s_blob VALUES (?, ?)
24 ok, rows 1, tx -: INSERT INTO sqlcap_%s_blob VALUES (3, NULL)
    prepared: INSERT INTO sqlcap_%s_blob VALUES (?, ?)
25 ok, rows 1, tx -: INSERT INTO sqlcap_%s_blob VALUES (4, '')
    prepared: INSERT INTO sqlcap_%s_blob VALUES (?, ?)
26 ok, rows 1, tx -: INSERT INTO sqlcap_%s_blob VALUES (5, '%s...' /* cut, 3000 bytes in all */)
    prepared: INSERT INTO sqlcap_%s_blob VALUES (?, ?)
27 ok, rows 5, tx -: SELECT id, HEX(LEFT(data, 9)) h, LENGTH(data) n FROM sqlcap_%s_blob
28 ok, rows 0, tx -: CREATE TEMPORARY TABLE sqlcap_%s_u (id INT, `user_pass` VARCHAR(50), api_key VARCHAR(50))
29 ok, rows 2, tx -: INSERT INTO sqlcap_%s_u (id, `user_pass`, api_key) VALUES ('1', ***, ***), (2, ***, ***) # password = ?
    prepared: INSERT INTO sqlcap_%s_u (id, `user_pass`, api_key) VALUES (?, ?, 'K\'1'), (2, "it''s", ?) # password = ?
30 ok, rows 2, tx -: UPDATE sqlcap_%s_u SET `user_pass` = ***, id = 3 WHERE *** <> api_key AND id IN ('1', 2)
    prepared: UPDATE sqlcap_%s_u SET `user_pass` = ?, id = 3 WHERE "x" <> api_key AND id IN (?, 2)
31 ok, rows 0, tx -: CREATE TEMPORARY TABLE sqlcap_%s_k (id INT PRIMARY KEY)
32 FAILED 1064: You have an error in your SQL syntax; %s near 'SELEC 1' at line 1, rows 0, tx -: SELEC 1
32 FAILED 1054: Unknown column 'nope' in %s, rows 0, tx -: SELECT nope FROM sqlcap_%s
    prepared: SELECT nope FROM sqlcap_%s
32 ok, rows 1, tx -: INSERT INTO sqlcap_%s_k VALUES (1)
    prepared: INSERT INTO sqlcap_%s_k VALUES (?)
32 FAILED 1062: Duplicate entry '1' for key 'PRIMARY', rows 0, tx -: INSERT INTO sqlcap_%s_k VALUES (1)
    prepared: INSERT INTO sqlcap_%s_k VALUES (?)
32 FAILED 1062: Duplicate entry '1' for key 'PRIMARY', rows 0, tx -: INSERT INTO sqlcap_%s_k VALUES (1)
    prepared: INSERT INTO sqlcap_%s_k VALUES (?)
34 FAILED 1146: Table '%s.sqlcap_%s_missing' doesn't exist, rows 0, tx -: SELECT * FROM sqlcap_%s_missing
event db.query_error:1054
event db.query_error:1062
event db.query_error:1064
event db.query_error:1146