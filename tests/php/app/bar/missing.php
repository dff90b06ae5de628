<?php
// A page that is not there: the answer says 404, with a page of its own.
http_response_code(404);
?><!DOCTYPE html>
<html><head><title>Not here</title><meta name="viewport" content="width=device-width, initial-scale=1"></head>
<body><h1>No such product</h1></body></html>
