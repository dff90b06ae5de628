<?php

/** @generate-class-entries */

/** Raises the monitor event $key in a collected request; false when the request is not collected. */
function trel_event(string $key): bool {}
