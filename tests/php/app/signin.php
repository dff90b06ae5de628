<?php
// A sign-in that redirects, on a session store that does not lock (as the Redis and
// Memcached handlers do not): each page reads the session when it starts and saves it
// when it ends, and saving takes a moment, as on a store across the network.
require __DIR__ . '/lib/common.php';

$file = fn(string $id): string => e2e_env('E2E_DATA') . '/session-' . preg_replace('/[^A-Za-z0-9,-]/', '', $id);
session_set_save_handler(
    fn() => true,
    fn() => true,
    fn(string $id) => (string) @file_get_contents($file($id)),
    function (string $id, string $data) use ($file) {
        usleep(400000);
        return file_put_contents($file($id), $data) !== false;
    },
    fn(string $id) => !file_exists($file($id)) || unlink($file($id)),
    fn() => 0
);
session_start();
if ($_SERVER['REQUEST_METHOD'] === 'POST') {
    $_SESSION['user'] = $_POST['user'] ?? '';
    header('Location: /signin.php?r=after-signin');
    exit;
}
echo "<!DOCTYPE html>\n<html><head><title>signin</title></head><body>\n";
echo '<p>user ', htmlspecialchars($_SESSION['user'] ?? 'none'), "</p>\n</body></html>\n";
