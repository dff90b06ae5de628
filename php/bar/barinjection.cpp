#include "barinjection.h"

#include "collector/collectorhost.h"
#include "pagescan.h"

#include <trel/ktrel.h>
#include <trel/ktrelhtmlreport.h>

extern "C" {
#include "SAPI.h"
#include "ext/standard/head.h"
#include "main/php_output.h"
#include "php.h"
}

#include <QByteArray>

#include <cstring>
#include <strings.h>

namespace {

const char HandlerName[] = "trel bar";

struct Page {
    bool passing = true; // the page goes out as it is
    QByteArray header;
    QByteArray footer;
    QByteArray held;       // flushed by the script, not yet sent
    bool passedOn = false; // some of the response went out before the handler's end
    bool lengthGiven = false;
};
// One request at a time per process (PHP NTS).
Page page;

// PHP hands the handler the page every 64 KiB, so a page the bar may not touch streams
// on as it would without it, and PHP's own buffer for the handler stays small.
constexpr size_t HandlerChunk = 64 * 1024;
// The page is held outside PHP's memory, but what the handler gives back is one piece of
// PHP's: a page is held only while that piece fits well within the script's memory limit
// (a page too large for it goes out untouched rather than ending the script).
constexpr size_t MaxHeldBytes = 8 * 1024 * 1024;

bool roomFor(size_t bytes) {
    if (bytes > MaxHeldBytes)
        return false;
    // A quarter of what the limit leaves: the script's own buffers grow meanwhile.
    const zend_long limit = PG(memory_limit);
    return limit <= 0 ||
           zend_memory_usage(false) + 4 * bytes + 1024 * 1024 < static_cast<size_t>(limit);
}

bool startsWithNoCase(const char* text, size_t length, const char* prefix) {
    const size_t size = strlen(prefix);
    return length >= size && strncasecmp(text, prefix, size) == 0;
}

// The value of a header line "Name: value" whose name is `name` (with its colon).
const char* headerValue(const sapi_header_struct* header, const char* nameWithColon) {
    if (!startsWithNoCase(header->header, header->header_len, nameWithColon))
        return nullptr;
    const char* value = header->header + strlen(nameWithColon);
    while (*value == ' ' || *value == '\t')
        ++value;
    return value;
}

bool isHtmlType(const char* type) {
    return startsWithNoCase(type, strlen(type), "text/html") ||
           startsWithNoCase(type, strlen(type), "application/xhtml+xml");
}

// Whether the headers and the request leave the page to the bar.
bool headersAllowBar(KTrel* trel) {
    const int status = SG(sapi_headers).http_response_code;
    if (status >= 300 && status < 400)
        return false;
    const char* method = SG(request_info).request_method;
    if (SG(request_info).headers_only || (method && strcasecmp(method, "HEAD") == 0))
        return false;
    const char* type = nullptr;
    zend_llist_position position;
    for (auto* header = static_cast<sapi_header_struct*>(
             zend_llist_get_first_ex(&SG(sapi_headers).headers, &position));
         header; header = static_cast<sapi_header_struct*>(
                     zend_llist_get_next_ex(&SG(sapi_headers).headers, &position))) {
        if (const char* value = headerValue(header, "content-type:"))
            type = value;
        else if (headerValue(header, "content-encoding:") ||
                 headerValue(header, "transfer-encoding:")) {
            trel->setOutputIsGzipped(true);
            return false;
        } else if (const char* value = headerValue(header, "content-disposition:")) {
            if (startsWithNoCase(value, strlen(value), "attachment"))
                return false;
        } else if (headerValue(header, "location:") || headerValue(header, "content-length:"))
            return false;
    }
    if (!type)
        type = SG(sapi_headers).mimetype
                   ? SG(sapi_headers).mimetype
                   : (SG(default_mimetype) ? SG(default_mimetype) : SAPI_DEFAULT_MIMETYPE);
    if (!isHtmlType(type))
        return false;
    // PHP's own compression compresses below this handler, after the page is whole.
    if (zend_ini_long(ZEND_STRL("zlib.output_compression"), 0) ||
        php_output_handler_started(ZEND_STRL("zlib output compression")) ||
        php_output_handler_started(ZEND_STRL("ob_gzhandler"))) {
        trel->setOutputIsGzipped(true);
        return false;
    }
    return true;
}

// Gives `out` the text `first` followed by `second` (copied); `second` alone is passed
// as it is.
void setOut(php_output_buffer* out, const QByteArray& first, php_output_buffer* second) {
    if (first.isEmpty()) {
        *out = *second;
        *second = php_output_buffer{};
        return;
    }
    const size_t length = static_cast<size_t>(first.size()) + second->used;
    char* text = static_cast<char*>(emalloc(length + 1));
    memcpy(text, first.constData(), static_cast<size_t>(first.size()));
    if (second->used)
        memcpy(text + first.size(), second->data, second->used);
    text[length] = '\0';
    *out = php_output_buffer{text, length + 1, length, 1, 0};
}

// Sends on what the script flushed, where it would have gone: into the handler below
// this one, or to the client. For when the script discards this handler: PHP passes
// nothing on from a discarded handler.
void handDown(const QByteArray& text) {
    php_output_handler* self = OG(running);
    if (text.isEmpty() || !self)
        return;
    const size_t length = static_cast<size_t>(text.size());
    if (self->level > 0) {
        php_output_handler* below =
            static_cast<php_output_handler**>(zend_stack_base(&OG(handlers)))[self->level - 1];
        php_output_buffer& buffer = below->buffer;
        if (buffer.size - buffer.used <= length) {
            buffer.size = buffer.used + length + 1;
            buffer.data = static_cast<char*>(erealloc(buffer.data, buffer.size));
        }
        memcpy(buffer.data + buffer.used, text.constData(), length);
        buffer.used += length;
        return;
    }
    if (!SG(headers_sent))
        php_header();
    php_output_write_unbuffered(text.constData(), length);
}

// The page with the bar put in, into `out`; false when it stays as it is.
bool insertBar(KTrel* trel, const QByteArray& page, php_output_buffer* out) {
    const char* data = page.constData();
    const char* end = data + page.size();
    const size_t size = static_cast<size_t>(page.size());
    if (!PageScan::mayBeHtml(data, size))
        return false;
    const PageScan::Places places = PageScan::places(data, size);
    if (places.body == PageScan::None)
        return false;
    const char* body = data + places.body;
    const char* head = places.head == PageScan::None ? nullptr : data + places.head;
    const QByteArray& header = ::page.header;
    const QByteArray& footer = ::page.footer;
    const size_t length = static_cast<size_t>(page.size() + header.size() + footer.size());
    char* text = static_cast<char*>(emalloc(length + 1));
    char* at = text;
    auto put = [&at](const char* from, size_t count) {
        memcpy(at, from, count);
        at += count;
    };
    const char* copied = data;
    if (head) {
        put(copied, head - copied);
        put(header.constData(), header.size());
        copied = head;
    }
    put(copied, body - copied);
    if (!head)
        put(header.constData(), header.size());
    put(footer.constData(), footer.size());
    put(body, end - body);
    *at = '\0';
    *out = php_output_buffer{text, length + 1, length, 1, 0};
    trel->setHeaderSent();
    trel->setFooterSent(true);
    return true;
}

// Flushes before the end are held back (for an HTML page: the bar needs the whole page),
// so the page goes out whole at the end; a page the bar may not touch goes out at once.
int handleOutput(php_output_context* context) {
    KTrel* trel = CollectorHost::current();
    const int op = context->op;
    if (page.passing || !trel) {
        if (!(op & PHP_OUTPUT_HANDLER_CLEAN))
            setOut(&context->out, QByteArray(), &context->in);
        return SUCCESS;
    }
    if (op & PHP_OUTPUT_HANDLER_CLEAN) {
        // The script discards what it wrote since its last flush; what it flushed stays.
        if (op & PHP_OUTPUT_HANDLER_FINAL) {
            page.passing = true;
            handDown(page.held);
            page.held.clear();
        }
        return SUCCESS;
    }
    bool allowed = false;
    CollectorHost::guard("bar output", [&] { allowed = headersAllowBar(trel); });
    const size_t pageBytes = static_cast<size_t>(page.held.size()) + context->in.used;
    if (!(op & PHP_OUTPUT_HANDLER_FINAL) && allowed && roomFor(pageBytes)) {
        const bool held = CollectorHost::guard("bar output", [&] {
            page.held.append(context->in.data, static_cast<int>(context->in.used));
            trel->setBodyStarted();
        });
        if (held)
            return SUCCESS;
    }
    page.passing = true;
    bool inserted = false;
    if (allowed && (op & PHP_OUTPUT_HANDLER_FINAL) &&
        roomFor(pageBytes + static_cast<size_t>(page.header.size() + page.footer.size()))) {
        CollectorHost::guard("bar output", [&] {
            trel->setBodyStarted();
            QByteArray whole = page.held;
            whole.append(context->in.data, static_cast<int>(context->in.used));
            inserted = insertBar(trel, whole, &context->out);
        });
    }
    if (!inserted)
        setOut(&context->out, page.held, &context->in);
    page.held.clear();
    return SUCCESS;
}

// Whether a response that the handler gives out whole may go with its length: the
// script set none of its own, nor an encoding, and the handlers below this one pass it
// on unchanged. `below` is what those handlers hold already (PHP's default buffer holds
// what was shown while the request was read, such as a warning that the form had too
// many input variables): it goes out ahead of the handler's output.
bool lengthAllowed(size_t* below) {
    const int status = SG(sapi_headers).http_response_code;
    if (status < 200 || status == 204 || status == 304)
        return false;
    const char* method = SG(request_info).request_method;
    if (!method || SG(request_info).headers_only || strcasecmp(method, "HEAD") == 0)
        return false;
    zend_llist_position position;
    for (auto* header = static_cast<sapi_header_struct*>(
             zend_llist_get_first_ex(&SG(sapi_headers).headers, &position));
         header; header = static_cast<sapi_header_struct*>(
                     zend_llist_get_next_ex(&SG(sapi_headers).headers, &position))) {
        if (headerValue(header, "content-length:") || headerValue(header, "content-encoding:") ||
            headerValue(header, "transfer-encoding:"))
            return false;
    }
    if (zend_ini_long(ZEND_STRL("zlib.output_compression"), 0))
        return false;
    const php_output_handler* self = OG(running);
    if (!self)
        return false;
    auto** handlers = static_cast<php_output_handler**>(zend_stack_base(&OG(handlers)));
    *below = 0;
    for (int level = 0; level < self->level; ++level) {
        if (!zend_string_equals_literal(handlers[level]->name, "default output handler"))
            return false;
        *below += handlers[level]->buffer.used;
    }
    return true;
}

// A response the handler has whole at the request's end (every script, shutdown function
// and destructor has run: no PHP code is running) goes with its length, so the client
// has all of it as soon as it arrives, while the process goes on to write what it
// collected. Handing it out earlier (the script's own ob_end_flush()) gives no length:
// more may follow.
int outputHandler(void**, php_output_context* context) {
    const int result = handleOutput(context);
    const int op = context->op;
    size_t below = 0;
    if (!(op & PHP_OUTPUT_HANDLER_FINAL)) {
        if (context->out.used)
            page.passedOn = true;
    } else if (!(op & PHP_OUTPUT_HANDLER_CLEAN) && !page.passedOn && !SG(headers_sent) &&
               (EG(flags) & EG_FLAGS_IN_SHUTDOWN) && !EG(current_execute_data) &&
               lengthAllowed(&below)) {
        char line[64];
        const int size =
            snprintf(line, sizeof(line), "Content-Length: %zu", below + context->out.used);
        page.lengthGiven = sapi_add_header_ex(line, static_cast<size_t>(size), 1, 1) == SUCCESS;
    }
    return result;
}

} // namespace

void BarInjection::endRequest() {
    // What other modules write at their request's end (a warning shown when the session
    // cannot be saved) would follow a response that went with its length and reach the
    // client as the start of its next response: it is left out instead.
    if (page.lengthGiven)
        php_output_set_status(PHP_OUTPUT_DISABLED);
    page.lengthGiven = false;
}

bool BarInjection::holdsPage() {
    return !page.passing && php_output_handler_started(HandlerName, sizeof(HandlerName) - 1);
}

void BarInjection::start(KTrel* trel) {
    page = Page();
    const bool ready = CollectorHost::guard("bar start", [&] {
        const QString pageId = trel->getPageId();
        page.header = KTrelHtmlReport::forPage(trel->getHeaderTemplate(), pageId).toUtf8();
        page.footer = KTrelHtmlReport::forPage(trel->getFooterTemplate(), pageId).toUtf8();
    });
    if (!ready || (page.header.isEmpty() && page.footer.isEmpty()))
        return;
    php_output_handler* handler =
        php_output_handler_create_internal(HandlerName, sizeof(HandlerName) - 1, outputHandler,
                                           HandlerChunk, PHP_OUTPUT_HANDLER_STDFLAGS);
    if (php_output_handler_start(handler) != SUCCESS) {
        php_output_handler_free(&handler);
        return;
    }
    page.passing = false;
    CollectorHost::guard("bar start", [&] { trel->setIsBufferingOutput(); });
}
