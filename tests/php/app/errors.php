<?php
// Each kind of PHP diagnostic once: a warning, a notice, deprecations, user
// errors, and a warning silenced with @.
require __DIR__ . '/lib/common.php';

echo $undefinedVariable ?? 'coalesced', "\n";
echo $reallyUndefined, "\n";                       // E_WARNING: undefined variable
trigger_error('a user notice', E_USER_NOTICE);
trigger_error('a user deprecation', E_USER_DEPRECATED);
echo strlen(null), "\n";                           // E_DEPRECATED: null to a non-nullable parameter
$content = @file_get_contents('/nonexistent/e2e-silenced');   // silenced E_WARNING
var_dump($content);
echo "done\n";
