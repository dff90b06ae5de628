#include "iocapture.h"

#include "engine/calltimer.h"
#include "engine/handlerwrapper.h"
#include "php_trel.h"

extern "C" {
#include "main/php_streams.h"
}

#include <cctype>
#include <cstring>
#include <string>

namespace {

enum Bucket { None = 0, Network = 1, Local = 2 };

struct IoState {
    CallTimer timer;
    qint64 network = 0;
    qint64 local = 0;
    bool collecting = false;
};

IoState ioState;

// What a path or URL reaches: known network schemes, local paths and local wrappers,
// None for wrappers of unknown kind (a user wrapper's own calls are then counted).
Bucket pathBucket(const zval* path) {
    if (!path || Z_TYPE_P(path) != IS_STRING)
        return None;
    const char* text = Z_STRVAL_P(path);
    const size_t length = Z_STRLEN_P(path);
    size_t end = 0;
    while (end < length && end < 32 &&
           (isalnum(static_cast<unsigned char>(text[end])) || text[end] == '+' ||
            text[end] == '-' || text[end] == '.'))
        ++end;
    if (end + 1 < length && text[end] == ':' && strncasecmp(text, "data", end) == 0 && end == 4)
        return Local;
    if (end == 0 || end + 3 > length || memcmp(text + end, "://", 3) != 0)
        return Local;
    std::string scheme(text, end);
    for (char& c : scheme)
        c = char(tolower(static_cast<unsigned char>(c)));
    if (scheme == "http" || scheme == "https" || scheme == "ftp" || scheme == "ftps")
        return Network;
    if (scheme == "file" || scheme == "php" || scheme == "compress.zlib" ||
        scheme == "compress.bzip2" || scheme == "phar" || scheme == "glob" || scheme == "zip")
        return Local;
    return None;
}

// Sockets and URL streams are network, plain and compressed files local.
Bucket streamBucket(const zval* value) {
    if (!value || Z_TYPE_P(value) != IS_RESOURCE)
        return None;
    const zend_resource* resource = Z_RES_P(value);
    if (resource->type != php_file_le_stream() && resource->type != php_file_le_pstream())
        return None;
    const php_stream* stream = static_cast<const php_stream*>(resource->ptr);
    if (!stream || !stream->ops)
        return None;
    if (stream->wrapper && stream->wrapper->is_url)
        return Network;
    if (stream->ops == &php_stream_stdio_ops)
        return Local;
    const char* label = stream->ops->label;
    if (!label)
        return None;
    if (strstr(label, "socket"))
        return Network;
    if (strcmp(label, "ZLIB") == 0 || strcmp(label, "BZip2") == 0)
        return Local;
    return None;
}

zval* argument(zend_execute_data* frame, uint32_t n) {
    if (n > ZEND_CALL_NUM_ARGS(frame))
        return nullptr;
    zval* value = ZEND_CALL_ARG(frame, n);
    ZVAL_DEREF(value);
    return value;
}

// Network when either side is, None when either side is unknown, else local.
Bucket combine(Bucket a, Bucket b) {
    if (a == Network || b == Network)
        return Network;
    if (a == None || b == None)
        return None;
    return Local;
}

// How a watched function's arguments tell its bucket.
enum Kind { NetworkCall, PathCall, TwoPathsCall, StreamCall, TwoStreamsCall };

Bucket bucketOf(int kind, zend_execute_data* frame) {
    switch (kind) {
    case NetworkCall:
        return Network;
    case PathCall:
        return pathBucket(argument(frame, 1));
    case TwoPathsCall:
        return combine(pathBucket(argument(frame, 1)), pathBucket(argument(frame, 2)));
    case StreamCall:
        return streamBucket(argument(frame, 1));
    default:
        return combine(streamBucket(argument(frame, 1)), streamBucket(argument(frame, 2)));
    }
}

void around(int kind, zif_handler original, zend_execute_data* frame, zval* result) {
    const Bucket bucket = ioState.collecting ? bucketOf(kind, frame) : None;
    if (bucket == None) {
        original(frame, result);
        return;
    }
    ioState.timer.begin(frame, bucket);
    original(frame, result);
    if (!ioState.collecting)
        return;
    qint64 elapsed = 0;
    int tag = None;
    bool outermost = false;
    if (!ioState.timer.end(frame, elapsed, tag, outermost) || !outermost)
        return;
    if (tag == Network)
        ioState.network += elapsed;
    else if (tag == Local)
        ioState.local += elapsed;
}

} // namespace

void IoCapture::watch() {
    for (const char* name : {"curl_exec",
                             "curl_multi_exec",
                             "curl_multi_select",
                             "fsockopen",
                             "pfsockopen",
                             "stream_socket_client",
                             "stream_socket_accept",
                             "stream_select",
                             "stream_socket_recvfrom",
                             "stream_socket_sendto",
                             "socket_connect",
                             "socket_accept",
                             "socket_select",
                             "socket_read",
                             "socket_write",
                             "socket_recv",
                             "socket_recvfrom",
                             "socket_send",
                             "socket_sendto",
                             "gethostbyname",
                             "gethostbynamel",
                             "gethostbyaddr",
                             "dns_get_record",
                             "checkdnsrr",
                             "getmxrr",
                             "get_headers"})
        HandlerWrapper::watchFunction(name, &around, NetworkCall);
    for (const char* name : {"file_get_contents", "file_put_contents", "fopen", "file", "readfile",
                             "unlink", "mkdir", "rmdir", "touch", "md5_file", "sha1_file",
                             "parse_ini_file", "scandir", "opendir", "glob"})
        HandlerWrapper::watchFunction(name, &around, PathCall);
    for (const char* name : {"copy", "rename", "move_uploaded_file"})
        HandlerWrapper::watchFunction(name, &around, TwoPathsCall);
    for (const char* name :
         {"fread", "fwrite", "fputs", "fgets", "fgetc", "fgetcsv", "fputcsv", "fpassthru", "fflush",
          "ftruncate", "fscanf", "stream_get_contents", "stream_get_line"})
        HandlerWrapper::watchFunction(name, &around, StreamCall);
    HandlerWrapper::watchFunction("stream_copy_to_stream", &around, TwoStreamsCall);
}

void IoCapture::startRequest() {
    ioState.timer.clear();
    ioState.network = 0;
    ioState.local = 0;
    ioState.collecting = true;
}

void IoCapture::endRequest() {
    ioState.collecting = false;
    ioState.timer.clear();
}

qint64 IoCapture::networkTime() {
    return ioState.network;
}

qint64 IoCapture::localTime() {
    return ioState.local;
}
