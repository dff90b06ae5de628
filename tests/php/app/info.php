<?php
// PHP's information page for the loaded modules: it says which installation the
// extension uses in this process.
phpinfo(INFO_MODULES);
