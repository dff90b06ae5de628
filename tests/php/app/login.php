<?php
// A form with a password field and a session.
require __DIR__ . '/lib/common.php';

session_start();
if ($_SERVER['REQUEST_METHOD'] === 'POST') {
    $ok = $_POST['user'] === 'ada' && password_verify($_POST['password'], password_hash('hunter2-E2E', PASSWORD_DEFAULT));
    $_SESSION['user'] = $ok ? $_POST['user'] : null;
    $_SESSION['visits'] = ($_SESSION['visits'] ?? 0) + 1;
    echo $ok ? "welcome {$_POST['user']}\n" : "refused\n";
} else {
    echo '<form method="post"><input name="user"><input type="password" name="password"></form>', "\n";
}
