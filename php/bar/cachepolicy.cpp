#include "cachepolicy.h"

extern "C" {
#include "SAPI.h"
#include "php.h"
#include "php_globals.h"
#include "php_variables.h"
}

#include <cstring>

namespace {

int (*originalSendHeaders)(sapi_headers_struct*) = nullptr;
bool installed = false;
bool markPending = false;

const char NoStore[] = "Cache-Control: private, no-store";
// Expiry and validators of the application's, and the caches' own expiry headers
// (nginx's X-Accel-Expires outranks Cache-Control there).
const char* const Dropped[] = {"Expires",           "ETag",
                               "Last-Modified",     "X-Accel-Expires",
                               "Surrogate-Control", "CDN-Cache-Control"};

void headerOp(sapi_header_op_enum op, const char* line) {
    sapi_header_line header{};
    header.line = line;
    header.line_len = strlen(line);
    sapi_header_op(op, &header);
}

// PHP marks the headers sent before it hands them to the SAPI, and accepts changes only
// before that: they are made here with the mark lifted for the moment, through
// sapi_header_op, so that a SAPI that keeps the headers itself (Apache's handler writes
// them into its request at once) sees them too.
int sendHeaders(sapi_headers_struct* headers) {
    if (markPending) {
        markPending = false;
        const bool sent = SG(headers_sent);
        SG(headers_sent) = 0;
        for (const char* name : Dropped)
            headerOp(SAPI_HEADER_DELETE, name);
        headerOp(SAPI_HEADER_REPLACE, NoStore);
        SG(headers_sent) = sent;
    }
    return originalSendHeaders ? originalSendHeaders(headers) : SAPI_HEADER_DO_SEND;
}

void hideConditions(zval* server) {
    if (!server || Z_TYPE_P(server) != IS_ARRAY)
        return;
    SEPARATE_ARRAY(server);
    zend_hash_str_del(Z_ARRVAL_P(server), ZEND_STRL("HTTP_IF_NONE_MATCH"));
    zend_hash_str_del(Z_ARRVAL_P(server), ZEND_STRL("HTTP_IF_MODIFIED_SINCE"));
}

} // namespace

void CachePolicy::install() {
    if (installed)
        return;
    originalSendHeaders = sapi_module.send_headers;
    sapi_module.send_headers = sendHeaders;
    installed = true;
}

void CachePolicy::uninstall() {
    if (installed && sapi_module.send_headers == sendHeaders)
        sapi_module.send_headers = originalSendHeaders;
    installed = false;
}

void CachePolicy::admitted() {
    markPending = installed;
    zend_is_auto_global_str(ZEND_STRL("_SERVER"));
    hideConditions(zend_hash_str_find(&EG(symbol_table), ZEND_STRL("_SERVER")));
    hideConditions(&PG(http_globals)[TRACK_VARS_SERVER]);
}

void CachePolicy::startRequest() {
    markPending = false;
}
