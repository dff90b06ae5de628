#include "responsefinisher.h"

extern "C" {
#include "SAPI.h"
#include "zend_exceptions.h"
}

#include <cstring>

void ResponseFinisher::finish() {
    if (!sapi_module.name || strcmp(sapi_module.name, "fpm-fcgi") != 0 || EG(exception))
        return;
    // php-fpm's own function: it knows its request. php-fpm records the request's end
    // (its time, the slow log's and the timeout's watch) before the shutdown begins and
    // counts it towards pm.max_requests after, so neither sees this call.
    zend_function* function = static_cast<zend_function*>(
        zend_hash_str_find_ptr(EG(function_table), ZEND_STRL("fastcgi_finish_request")));
    if (!function || function->type != ZEND_INTERNAL_FUNCTION)
        return;
    zval result;
    ZVAL_UNDEF(&result);
    // A write to a client that has gone away may end in a bailout; the request's end
    // then carries on as PHP's own shutdown steps do after theirs.
    zend_try {
        zend_call_known_function(function, nullptr, nullptr, &result, 0, nullptr, nullptr);
    }
    zend_end_try();
    zval_ptr_dtor(&result);
    if (EG(exception))
        zend_clear_exception();
}
