--TEST--
SQL capture, SQLite3: named, numbered and bound-variable values, statements reused, BEGIN/END/ROLLBACK and savepoints as text, failures with and without exceptions (an execute that returns false too)
--FILE--
<?php
require __DIR__ . '/../sql.inc';

$file = tempnam(sys_get_temp_dir(), 'trel-sql-sqlite3-');
$row = sql_serve(<<<PHP
<?php
\$db = new SQLite3('$file');
\$db->exec('CREATE TABLE t (id INTEGER, name TEXT, v REAL, raw BLOB)');
\$insert = \$db->prepare('INSERT INTO t VALUES (:id, @name, ?3, :raw) -- :id');
\$insert->bindValue(':id', '7', SQLITE3_INTEGER);
\$insert->bindParam('@name', \$name);
\$insert->bindValue(3, 0.1);
\$insert->bindValue('raw', "\\xff\\x00", SQLITE3_BLOB);
\$name = "l'un";
\$insert->execute();
\$name = 'changed';
\$insert->reset();
\$insert->execute();
\$insert->clear();
\$insert->execute();
\$db->exec('BEGIN');
\$db->query("DELETE FROM t WHERE name = 'changed'");
\$db->exec('END');
echo \$db->querySingle('SELECT count(*) FROM t'), "\\n";
var_dump(@\$db->exec('INSERT INTO missing VALUES (1)'));
\$db->enableExceptions(true);
try {
    \$db->prepare('SELECT * FROM missing WHERE a = ?');
} catch (Exception \$e) {
    echo \$e->getMessage(), "\\n";
}
\$numbered = \$db->prepare('SELECT ?2, ?, :a');
\$numbered->bindValue(2, 'two');
\$numbered->bindValue(3, 'three');
\$numbered->execute();
\$db->exec('BEGIN');
\$db->exec('SAVEPOINT s');
\$db->exec('ROLLBACK TO SAVEPOINT s');
\$db->exec('INSERT INTO t (id) VALUES (9)');
\$db->exec('ROLLBACK');
\$db->exec('DELETE FROM t');
\$db->exec('CREATE TABLE login (name TEXT, [secret_answer] TEXT, "pass" TEXT)');
\$add = \$db->prepare('INSERT INTO login (name, [secret_answer], "pass") VALUES (@name, :answer, ?3), (\'bob\', \'it\'\'s blue\', "b0b")');
\$add->bindValue('@name', 'ann'); \$add->bindValue(':answer', 'blue'); \$add->bindValue(3, 'pw1'); \$add->execute();
\$find = \$db->prepare('SELECT name FROM login WHERE "pass" = ?1 OR login.pass LIKE ?1 OR name = :password /* pass = ? */');
\$find->bindValue(1, 'pw1'); \$find->bindValue(':password', 'ann'); \$find->execute();
\$db->prepare("SELECT name FROM login WHERE pass = ? OR 'ann' = name")->execute();
\$db->enableExceptions(false);
\$db->exec('CREATE TABLE uniq (id INTEGER PRIMARY KEY)');
\$dup = \$db->prepare('INSERT INTO uniq VALUES (?)');
\$dup->bindValue(1, 1);
var_dump(\$dup->execute() !== false, @\$dup->execute());
PHP);
sql_print($row);
unlink($file);
?>
--EXPECT--
2
bool(false)
Unable to prepare statement: 1, no such table: missing
bool(true)
bool(false)
3 ok, rows 0, tx -: CREATE TABLE t (id INTEGER, name TEXT, v REAL, raw BLOB)
10 ok, rows 1, tx -: INSERT INTO t VALUES (7, 'l''un', 0.1, '�\0') -- :id
    prepared: INSERT INTO t VALUES (:id, @name, ?3, :raw) -- :id
13 ok, rows 1, tx -: INSERT INTO t VALUES (7, 'changed', 0.1, '�\0') -- :id
    prepared: INSERT INTO t VALUES (:id, @name, ?3, :raw) -- :id
15 ok, rows 1, tx -: INSERT INTO t VALUES (:id, @name, ?3, :raw) -- :id
    prepared: INSERT INTO t VALUES (:id, @name, ?3, :raw) -- :id
16 ok, rows 0, tx 1: BEGIN
17 ok, rows 1, tx 1: DELETE FROM t WHERE name = 'changed'
18 ok, rows 0, tx 1: END
19 ok, rows 0, tx -: SELECT count(*) FROM t
20 FAILED 1: no such table: missing, rows 0, tx -: INSERT INTO missing VALUES (1)
23 FAILED -1: Unable to prepare statement: 1, no such table: missing, rows 0, tx -: SELECT * FROM missing WHERE a = ?
    prepared: SELECT * FROM missing WHERE a = ?
30 ok, rows 0, tx -: SELECT 'two', 'three', :a
    prepared: SELECT ?2, ?, :a
31 ok, rows 0, tx 2: BEGIN
32 ok, rows 0, tx 2: SAVEPOINT s
33 ok, rows 0, tx 2: ROLLBACK TO SAVEPOINT s
34 ok, rows 1, tx 2: INSERT INTO t (id) VALUES (9)
35 ok, rows 0, tx 2: ROLLBACK
36 ok, rows 2, tx -: DELETE FROM t
37 ok, rows 0, tx -: CREATE TABLE login (name TEXT, [secret_answer] TEXT, "pass" TEXT)
39 ok, rows 2, tx -: INSERT INTO login (name, [secret_answer], "pass") VALUES ('ann', ***, ***), ('bob', ***, ***)
    prepared: INSERT INTO login (name, [secret_answer], "pass") VALUES (@name, :answer, ?3), ('bob', 'it''s blue', "b0b")
41 ok, rows 0, tx -: SELECT name FROM login WHERE "pass" = *** OR login.pass LIKE *** OR name = *** /* pass = ? */
    prepared: SELECT name FROM login WHERE "pass" = ?1 OR login.pass LIKE ?1 OR name = :password /* pass = ? */
42 ok, rows 0, tx -: SELECT name FROM login WHERE pass = ? OR 'ann' = name
    prepared: SELECT name FROM login WHERE pass = ? OR 'ann' = name
44 ok, rows 0, tx -: CREATE TABLE uniq (id INTEGER PRIMARY KEY)
47 ok, rows 1, tx -: INSERT INTO uniq VALUES (1)
    prepared: INSERT INTO uniq VALUES (?)
47 FAILED 19: UNIQUE constraint failed: uniq.id, rows 0, tx -: INSERT INTO uniq VALUES (1)
    prepared: INSERT INTO uniq VALUES (?)
event db.query_error:-1
event db.query_error:1
event db.query_error:19
