--TEST--
SQL capture, PDO on SQLite: bound values resolved, transactions, a failed query, an exception inside a query, a huge text, methods called as callables and through a subclass
--FILE--
<?php
require __DIR__ . '/../sql.inc';

$file = tempnam(sys_get_temp_dir(), 'trel-sql-pdo-');
$row = sql_serve(<<<PHP
<?php
\$db = new PDO('sqlite:$file');
\$db->setAttribute(PDO::ATTR_ERRMODE, PDO::ERRMODE_SILENT);
\$db->exec('CREATE TABLE item (id INTEGER, name TEXT, price REAL)');
\$insert = \$db->prepare("INSERT INTO item VALUES (?, ?, ?) -- what's this ?");
\$insert->execute([1, "it's a '?'", 2.5]);
\$insert->bindValue(1, 2, PDO::PARAM_INT);
\$insert->bindParam(2, \$name);
\$insert->bindValue(3, null);
foreach (['first', str_repeat('long', 500)] as \$name) \$insert->execute();
\$select = \$db->prepare('SELECT * FROM item WHERE id = :id AND name <> \':id ?\' /* :id */');
\$select->bindValue(':id', 1);
\$select->execute();
\$select->execute(['id' => 2]);
\$db->beginTransaction();
\$db->exec("UPDATE item SET price = 3 WHERE id = 2");
\$db->commit();
\$db->beginTransaction();
\$db->query('DELETE FROM item');
\$db->rollBack();
var_dump(\$db->query('SELECT * FROM missing'));
\$db->setAttribute(PDO::ATTR_ERRMODE, PDO::ERRMODE_EXCEPTION);
try {
    \$db->exec('INSERT INTO missing VALUES (1)');
} catch (PDOException \$e) {
    echo get_class(\$e), ': ', \$e->getMessage(), "\\n";
}
\$huge = \$db->query("SELECT '" . str_repeat('x', 3 << 20) . "'")->fetchColumn();
echo strlen(\$huge), "\\n";
\$exec = \$db->exec(...);
\$exec('DELETE FROM item WHERE id = 1');
call_user_func([\$db, 'exec'], 'DELETE FROM item');
\$db->exec('CREATE TABLE account (id INTEGER, name TEXT, user_pass TEXT, pwd TEXT)');
\$add = \$db->prepare('INSERT INTO account (id, `name`, user_pass, "Pwd") VALUES (?, ?, ?, ?), (?, \'bob\', \'it\'\'s b0b\', ?)');
\$add->execute([1, 'ann', 'S3cret', 'pw1', 2, 'pw2']);
\$check = \$db->prepare('SELECT id FROM account WHERE name = :name AND account.user_pass = :pw AND :password IS NOT NULL');
\$check->execute(['name' => 'ann', 'pw' => 'S3cret', 'password' => 'x']);
\$db->prepare('UPDATE account SET name = ?, pwd = lower(?) WHERE user_pass IN (?, \'old\') AND id = ?')->execute(['ann', 'NEW', 'S3cret', 1]);
\$db->prepare('INSERT INTO account (id, user_pass) SELECT ?, ? FROM account WHERE lower(pwd) = ?')->execute([3, 'S4', 'pw2']);
\$db->query("SELECT id FROM account WHERE pwd = 'pw2' AND name = 'bob'");
class Db extends PDO { public function query(...\$args): PDOStatement|false { return parent::query(...\$args); } }
\$sub = new Db('sqlite::memory:');
\$sub->query('SELECT 42');
\$sub->exec('CREATE TABLE s (id INTEGER)');
PHP);
sql_print($row);
echo "longest stored text: ", trel_rows('SELECT max(length(resolved_statement)) AS n FROM trel_sql_queries
                                        WHERE request_id = ?', [$row['id']])[0]['n'], " bytes\n";
unlink($file);
?>
--EXPECT--
bool(false)
PDOException: SQLSTATE[HY000]: General error: 1 no such table: missing
3145728
4 ok, rows 0, tx -: CREATE TABLE item (id INTEGER, name TEXT, price REAL)
6 ok, rows 1, tx -: INSERT INTO item VALUES (1, 'it''s a ''?''', 2.5) -- what's this ?
    prepared: INSERT INTO item VALUES (?, ?, ?) -- what's this ?
10 ok, rows 1, tx -: INSERT INTO item VALUES (2, 'first', NULL) -- what's this ?
    prepared: INSERT INTO item VALUES (?, ?, ?) -- what's this ?
10 ok, rows 1, tx -: INSERT INTO item VALUES (2, 'longlonglonglonglongl ... ong...' /* cut, 2000 bytes in all */, NULL) -- what's this ?
    prepared: INSERT INTO item VALUES (?, ?, ?) -- what's this ?
13 ok, rows 0, tx -: SELECT * FROM item WHERE id = 1 AND name <> ':id ?' /* :id */
    prepared: SELECT * FROM item WHERE id = :id AND name <> ':id ?' /* :id */
14 ok, rows 0, tx -: SELECT * FROM item WHERE id = 2 AND name <> ':id ?' /* :id */
    prepared: SELECT * FROM item WHERE id = :id AND name <> ':id ?' /* :id */
15 ok, rows 0, tx 1: START TRANSACTION
16 ok, rows 2, tx 1: UPDATE item SET price = 3 WHERE id = 2
17 ok, rows 0, tx 1: COMMIT
18 ok, rows 0, tx 2: START TRANSACTION
19 ok, rows 3, tx 2: DELETE FROM item
20 ok, rows 0, tx 2: ROLLBACK
21 FAILED 1: SQLSTATE[HY000]: no such table: missing, rows 0, tx -: SELECT * FROM missing
24 FAILED 1: SQLSTATE[HY000]: General error: 1 no such table: missing, rows 0, tx -: INSERT INTO missing VALUES (1)
28 ok, rows 0, tx -: SELECT 'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx ... xxxxxxxxxxxxxxxxxxxxxxxxxxxx /* cut, 3145737 bytes in all */
31 ok, rows 1, tx -: DELETE FROM item WHERE id = 1
32 ok, rows 2, tx -: DELETE FROM item
33 ok, rows 2, tx -: CREATE TABLE account (id INTEGER, name TEXT, user_pass TEXT, pwd TEXT)
35 ok, rows 2, tx -: INSERT INTO account (id, `name`, user_pass, "Pwd") VALUES (1, 'ann', ***, ***), (2, 'bob', ***, ***)
    prepared: INSERT INTO account (id, `name`, user_pass, "Pwd") VALUES (?, ?, ?, ?), (?, 'bob', 'it''s b0b', ?)
37 ok, rows 0, tx -: SELECT id FROM account WHERE name = 'ann' AND account.user_pass = *** AND *** IS NOT NULL
    prepared: SELECT id FROM account WHERE name = :name AND account.user_pass = :pw AND :password IS NOT NULL
38 ok, rows 1, tx -: UPDATE account SET name = 'ann', pwd = lower(***) WHERE user_pass IN (***, ***) AND id = 1
    prepared: UPDATE account SET name = ?, pwd = lower(?) WHERE user_pass IN (?, 'old') AND id = ?
39 ok, rows 1, tx -: INSERT INTO account (id, user_pass) SELECT 3, *** FROM account WHERE lower(pwd) = ***
    prepared: INSERT INTO account (id, user_pass) SELECT ?, ? FROM account WHERE lower(pwd) = ?
40 ok, rows 0, tx -: SELECT id FROM account WHERE pwd = *** AND name = 'bob'
41 ok, rows 0, tx -: SELECT 42
44 ok, rows 0, tx -: CREATE TABLE s (id INTEGER)
event db.query_error:1
longest stored text: 1048544 bytes
