<?php
// A page under another path, for a token of its own.
echo "<!DOCTYPE html><html><head><title>Admin</title></head><body><h1>Admin</h1></body></html>\n";
