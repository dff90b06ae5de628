#ifndef PHP_TREL_H
#define PHP_TREL_H

extern "C" {
#include "php.h"
}

#include <cstddef>

#ifdef ZTS
#error "trel serves one request at a time per process: build it for a non-thread-safe PHP"
#endif

#define PHP_TREL_VERSION "0.1.0"

extern zend_module_entry trel_module_entry;
#define phpext_trel_ptr &trel_module_entry

// clang-format off
ZEND_BEGIN_MODULE_GLOBALS(trel)
    // Settings (php.ini).
    char* root;
    bool enabled;
    char* log_file;
    zend_long log_level;
    char* token_cookie;
    bool function_stats;
    zend_long function_stats_limit;
    zend_long max_queries;
    zend_long max_errors;
    zend_long max_backtrace_bytes;
    char* mask;
    char* clear_cookies;
    zend_long slow_query_ms;
    // This request was admitted and is being collected.
    bool collecting;
ZEND_END_MODULE_GLOBALS(trel)
// clang-format on

ZEND_EXTERN_MODULE_GLOBALS(trel)
#define TREL_G(v) ZEND_MODULE_GLOBALS_ACCESSOR(trel, v)

// Whether trel.mask covers a superglobal key: the key contains one of the setting's
// comma-separated words, case ignored. The masked value is stored as "***".
bool trel_is_masked_key(const char* key, size_t len);

// Whether trel.clear_cookies names the cookie (exact names, comma-separated): its value is
// sampled in clear; every other cookie's value is masked.
bool trel_is_clear_cookie(const char* name, size_t len);

#endif
