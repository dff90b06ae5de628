<?php
// Shared by every page: report everything, show it in the page (so that the
// comparison of bodies with and without the extension covers the messages too).
error_reporting(E_ALL);
ini_set('display_errors', '1');
ini_set('html_errors', '0');

require_once __DIR__ . '/shop.php';

function e2e_env(string $name): string
{
    $value = getenv($name);
    if ($value === false) {
        throw new RuntimeException("the check sets $name");
    }
    return $value;
}
