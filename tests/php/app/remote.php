<?php
// Another local HTTP URL, through the http stream wrapper and through curl.
require __DIR__ . '/lib/common.php';

$url = e2e_env('E2E_REMOTE') . '/remote-text';
echo file_get_contents($url), "\n";
$curl = curl_init($url);
curl_setopt($curl, CURLOPT_RETURNTRANSFER, true);
echo curl_exec($curl), "\n";
curl_close($curl);
