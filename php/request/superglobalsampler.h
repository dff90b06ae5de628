#ifndef TREL_PHP_SUPERGLOBALSAMPLER_H
#define TREL_PHP_SUPERGLOBALSAMPLER_H

#include <trel/ktrel.h>

// Samples $_GET, $_POST, $_COOKIE, $_SERVER and, where a session runs, $_SESSION in PHP's
// serialize() format. Values under keys (and object properties) that trel.mask names, at
// any depth, are stored as "***", and so are the masked values in $_SERVER's copies of
// the query string; the token header, the raw Cookie header and HTTP authentication's
// credentials are "***" whatever the mask says. Every cookie's value is stored as
// "***(N bytes)" but those trel.clear_cookies names (never the token's or the session's,
// named by session.name at the request's start or end); the start's $_COOKIE is stored
// at the end, once that name is known. Each masked value (its strings and integers) and
// the session's id are handed to the collector, which hides them in the request's other
// texts. Nesting deeper than MaxDepth, and an array or object where it recurs inside
// itself, are "***" too. Objects that serialize themselves (__serialize, __sleep,
// Serializable, internal classes) are stored as PHP serializes them, without masking
// inside. A value serialize() refuses (a closure, a PDO, a file, an object whose
// __serialize() throws) is stored as the text "(not serialized: Class)" or "(not
// serialized: Class: reason)" in its place, and nothing of its refusal reaches the page.
class SuperglobalSampler {
public:
    static constexpr int MaxDepth = 32;

    static void sample(KTrel* trel, KTrel::SG_SAMPLING_TYPE type);
};

#endif
