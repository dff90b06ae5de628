--TEST--
SQL capture, PDO on SQLite: bound values resolved, transactions, failed queries and executes (with an exception, silent, with a warning), an exception inside a query, a huge text, methods called as callables and through a subclass, number literals masked; a session handler on PDO whose statements hold no session id or masked value
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
\$db->setAttribute(PDO::ATTR_ERRMODE, PDO::ERRMODE_SILENT);
\$db->exec('CREATE TABLE uniq (id INTEGER PRIMARY KEY)');
\$dup = \$db->prepare('INSERT INTO uniq VALUES (?)');
var_dump(\$dup->execute([1]), \$dup->execute([1]));
\$db->setAttribute(PDO::ATTR_ERRMODE, PDO::ERRMODE_WARNING);
var_dump(@\$dup->execute([1]));
\$db->query('SELECT id FROM account WHERE pwd = 1234');
\$db->exec('UPDATE account SET pwd = 987654, id = 4 WHERE user_pass = 0x1F OR pwd = 12.5e3 AND id = 3');
PHP);
sql_print($row);
echo "longest stored text: ", trel_rows('SELECT max(length(resolved_statement)) AS n FROM trel_sql_queries
                                        WHERE request_id = ?', [$row['id']])[0]['n'], " bytes\n";
unlink($file);

// Sessions kept by a handler on PDO: the session id, the cookies, the password field,
// the Authorization header's credentials and the session's masked CSRF token appear in
// no stored text of the request, though its statements are stored, with the values
// hidden in place; the id the session is given anew is hidden too.
$sessions = tempnam(sys_get_temp_dir(), 'trel-sql-sessions-');
$secrets = ['sid' => 'sid' . bin2hex(random_bytes(12)), 'csrf' => 'csrf' . bin2hex(random_bytes(12)),
            'remember' => 'remember' . bin2hex(random_bytes(8)), 'password' => "pw-'" . bin2hex(random_bytes(8)),
            'bearer' => 'bearer' . bin2hex(random_bytes(10))];
$store = new PDO("sqlite:$sessions");
$store->exec('CREATE TABLE sessions (id TEXT PRIMARY KEY, payload TEXT)');
$store->prepare('INSERT INTO sessions VALUES (?, ?)')
      ->execute([$secrets['sid'], 'csrf_token|' . serialize($secrets['csrf']) . 'user|s:3:"ann";']);
$page = trel_script(<<<PHP
<?php
class DbSessions implements SessionHandlerInterface {
    private PDO \$db;
    public function __construct(string \$file) { \$this->db = new PDO("sqlite:\$file"); }
    public function open(\$path, \$name): bool { return true; }
    public function close(): bool { return true; }
    public function read(\$id): string|false {
        \$read = \$this->db->prepare('SELECT payload FROM sessions WHERE id = ?');
        \$read->execute([\$id]);
        return (string)\$read->fetchColumn();
    }
    public function write(\$id, \$data): bool {
        return \$this->db->prepare('REPLACE INTO sessions (id, payload) VALUES (?, ?)')->execute([\$id, \$data]);
    }
    public function destroy(\$id): bool { return true; }
    public function gc(\$max): int|false { return 0; }
}
session_set_save_handler(new DbSessions('$sessions'), true);
session_start();
\$_SESSION['visits'] = 1;
\$db = new PDO('sqlite::memory:', null, null, [PDO::ATTR_ERRMODE => PDO::ERRMODE_SILENT]);
\$db->exec('CREATE TABLE users (id INTEGER, remember TEXT, api TEXT)');
\$db->prepare('SELECT id FROM users WHERE remember = ?')->execute([\$_COOKIE['remember_web_1']]);
\$db->query("SELECT id FROM users WHERE api = '" . substr(\$_SERVER['HTTP_AUTHORIZATION'], 7) . "'");
\$db->prepare('INSERT INTO users VALUES (1, ?, ?)')->execute([session_id(), 'token ' . \$_SESSION['csrf_token']]);
function check(string \$given) { trigger_error("no user has the password \$given", E_USER_NOTICE); }
@check(\$_POST['password']);
\$db->query('SELECT * FROM missing WHERE x = "' . \$_POST['password'] . '"');
\$db->prepare('SELECT id FROM users WHERE api = ?')->execute([\$_POST['password']]);
session_regenerate_id();
echo session_id();
PHP);
[, $newId, $stderr, $url] = trel_cgi($page, [
    'method' => 'POST', 'query' => "sid={$secrets['sid']}", 'body' => 'password=' . urlencode($secrets['password']),
    'cookie' => "PHPSESSID={$secrets['sid']}; remember_web_1={$secrets['remember']}",
    'token' => TREL_TOKEN, 'env' => ['HTTP_AUTHORIZATION' => "Bearer {$secrets['bearer']}"]]);
$secrets['new id'] = $newId;
echo "session: ", $store->query('SELECT count(*) FROM sessions')->fetchColumn(), " rows, ",
     preg_match('/^[0-9a-v]{26}$/', $newId) ? 'a new id' : "NO NEW ID: $newId $stderr", "\n";
$row = trel_request(str_replace($secrets['sid'], '***', $url));
sql_print($row);
$stored = trel_stored_texts($row['id']);
foreach (['no user has the password ***', "check('***')", 'sid=***'] as $shown) {
    if (!str_contains($stored, $shown)) echo "NOT STORED: $shown\n";
}
foreach ($secrets as $name => $secret) {
    // As the script has it, and as an SQL literal shows it.
    $leaked = str_contains($stored, substr($secret, 0, 12))
        || str_contains($stored, substr(str_replace("'", "''", $secret), 0, 12));
    echo $leaked ? "LEAKED: $name\n" : "hidden: $name\n";
}
unset($store);
unlink($sessions);
?>
--EXPECT--
bool(false)
PDOException: SQLSTATE[HY000]: General error: 1 no such table: missing
3145728
bool(true)
bool(false)
bool(false)
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
46 ok, rows 1, tx -: CREATE TABLE uniq (id INTEGER PRIMARY KEY)
48 ok, rows 1, tx -: INSERT INTO uniq VALUES (1)
    prepared: INSERT INTO uniq VALUES (?)
48 FAILED 19: SQLSTATE[23000]: UNIQUE constraint failed: uniq.id, rows 0, tx -: INSERT INTO uniq VALUES (1)
    prepared: INSERT INTO uniq VALUES (?)
50 FAILED 19: SQLSTATE[23000]: UNIQUE constraint failed: uniq.id, rows 0, tx -: INSERT INTO uniq VALUES (1)
    prepared: INSERT INTO uniq VALUES (?)
51 ok, rows 0, tx -: SELECT id FROM account WHERE pwd = ***
52 ok, rows 0, tx -: UPDATE account SET pwd = ***, id = 4 WHERE user_pass = *** OR pwd = *** AND id = 3
event db.query_error:1
event db.query_error:19
longest stored text: 1048544 bytes
session: 2 rows, a new id
9 ok, rows 0, tx -: SELECT payload FROM sessions WHERE id = '***'
    prepared: SELECT payload FROM sessions WHERE id = ?
22 ok, rows 0, tx -: CREATE TABLE users (id INTEGER, remember TEXT, api TEXT)
23 ok, rows 0, tx -: SELECT id FROM users WHERE remember = '***'
    prepared: SELECT id FROM users WHERE remember = ?
24 ok, rows 0, tx -: SELECT id FROM users WHERE api = '***'
25 ok, rows 1, tx -: INSERT INTO users VALUES (1, '***', 'token ***')
    prepared: INSERT INTO users VALUES (1, ?, ?)
28 FAILED 1: SQLSTATE[HY000]: no such table: missing, rows 0, tx -: SELECT * FROM missing WHERE x = "***"
29 ok, rows 1, tx -: SELECT id FROM users WHERE api = '***'
    prepared: SELECT id FROM users WHERE api = ?
13 ok, rows 1, tx -: REPLACE INTO sessions (id, payload) VALUES ('***', 'csrf_token|s:28:"***";user|s:3:"ann";visits|i:1;')
    prepared: REPLACE INTO sessions (id, payload) VALUES (?, ?)
9 ok, rows 1, tx -: SELECT payload FROM sessions WHERE id = '***'
    prepared: SELECT payload FROM sessions WHERE id = ?
13 ok, rows 1, tx -: REPLACE INTO sessions (id, payload) VALUES ('***', 'csrf_token|s:28:"***";user|s:3:"ann";visits|i:1;')
    prepared: REPLACE INTO sessions (id, payload) VALUES (?, ?)
event db.query_error:1
hidden: sid
hidden: csrf
hidden: remember
hidden: password
hidden: bearer
hidden: new id
