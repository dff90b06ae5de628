<?php
// Signing in: the form posts here, and the answer redirects to the shop.
session_start();
if ($_SERVER['REQUEST_METHOD'] === 'POST') {
    $_SESSION['user'] = 'signed-in';
    header('Location: shop.php?q=lamp&password=hunter2', true, 302);
    exit;
}
?><!DOCTYPE html>
<html><head><title>Sign in</title></head>
<body><form method="post" action="signin.php"><input name="user" value="ann"><button>Sign in</button></form></body></html>
