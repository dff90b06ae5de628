#include "barendpoint.h"

#include "collectorhost.h"
#include "requestadmission.h"

#include <trel/ktrel.h>
#include <trel/ktrelformat.h>
#include <trel/ktrelhtmlreport.h>
#include <trel/ktrelstoredrequest.h>

extern "C" {
#include "SAPI.h"
#include "php.h"
}

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <cstring>

namespace {

enum class Ask { None, Details, Summary };

Ask asked = Ask::None;
bool unanswered = false;
QByteArray askedPage;
zend_op_array* (*originalCompileFile)(zend_file_handle*, int) = nullptr;

// A page id is 32 hexadecimal digits; anything longer names no page.
constexpr int MaxPageIdLength = 64;

void setStatus(int code) {
    if (SG(sapi_headers).http_status_line) {
        efree(SG(sapi_headers).http_status_line);
        SG(sapi_headers).http_status_line = nullptr;
    }
    SG(sapi_headers).http_response_code = code;
}

void addHeader(const char* line) {
    sapi_header_line header = {};
    header.line = line;
    header.line_len = strlen(line);
    sapi_header_op(SAPI_HEADER_REPLACE, &header);
}

// Checks the token against the stored request's URL, read alone, and only then reads
// the rest: a token that does not cover the request never has the request loaded. An
// unknown page id is checked like a known one, against a URL no answer is given for,
// so every refusal takes the same path. The collector is left reset. False for a
// missing request, a refused token or a failure alike.
bool loadAllowed(const QString& token, KTrelStoredRequest* request) {
    KTrel* trel = CollectorHost::acquire();
    if (!trel)
        return false;
    bool loaded = false;
    CollectorHost::guard("bar data", [&] {
        QString error;
        qint64 id = 0;
        QString url;
        const KTrelStoredRequest::Outcome located = KTrelStoredRequest::locateByPageId(
            trel->getDatabase(), QString::fromLatin1(askedPage), &id, &url, &error);
        if (located == KTrelStoredRequest::Outcome::Failed)
            CollectorHost::failed("bar data", error.toUtf8().constData());
        trel->reset();
        trel->setRequest(url);
        QString allowedHosts;
        qint64 ttl = 0;
        const bool allowed = trel->isTokenOK(token, allowedHosts, ttl, CollectorHost::stream()) &&
                             located == KTrelStoredRequest::Outcome::Found;
        trel->reset();
        if (!allowed)
            return;
        const KTrelStoredRequest::Outcome outcome =
            KTrelStoredRequest::load(trel->getDatabase(), id, request, &error);
        if (outcome == KTrelStoredRequest::Outcome::Failed)
            CollectorHost::failed("bar data", error.toUtf8().constData());
        loaded = outcome == KTrelStoredRequest::Outcome::Found;
        if (loaded)
            KDebug::create(CollectorHost::stream(), 2)
                << "trel: bar data: read request" << id << "whole for a token that covers" << url
                << kflush;
    });
    return loaded;
}

QByteArray summary(const KTrelStoredRequest& request) {
    QJsonObject object;
    object.insert(QStringLiteral("id"), request.id);
    object.insert(QStringLiteral("page_id"), request.pageId);
    object.insert(QStringLiteral("method"), request.method);
    object.insert(QStringLiteral("url"), request.url);
    object.insert(QStringLiteral("status"), request.status);
    object.insert(QStringLiteral("time_us"), request.requestTime);
    object.insert(QStringLiteral("time"), KTrelFormat::duration(request.requestTime));
    object.insert(QStringLiteral("queries"), static_cast<qint64>(request.queries.size()));
    object.insert(QStringLiteral("failed_queries"), request.failedQueries());
    object.insert(QStringLiteral("errors"), static_cast<qint64>(request.entries.size()));
    object.insert(QStringLiteral("peak_memory"), request.peakMemory);
    object.insert(QStringLiteral("memory"), KTrelFormat::bytes(request.peakMemory));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

void answer() {
    addHeader("Cache-Control: no-store");
    addHeader("X-Content-Type-Options: nosniff");
    const QString token = RequestAdmission::presentedToken();
    KTrelStoredRequest request;
    QByteArray body;
    if (!token.isEmpty() && loadAllowed(token, &request)) {
        KTrel* trel = CollectorHost::current();
        CollectorHost::guard("bar data", [&] {
            body = asked == Ask::Summary
                       ? summary(request)
                       : KTrelHtmlReport::write(request, trel->getHeaderTemplate(),
                                                trel->getFooterTemplate())
                             .toUtf8();
        });
    }
    if (body.isEmpty()) {
        setStatus(404);
        addHeader("Content-Type: text/plain; charset=utf-8");
        body = QByteArrayLiteral("Not Found\n");
    } else {
        setStatus(200);
        addHeader(asked == Ask::Summary ? "Content-Type: application/json"
                                        : "Content-Type: text/html; charset=utf-8");
    }
    php_output_write(body.constData(), static_cast<size_t>(body.size()));
}

// Every script of the request (prepended, primary, appended) compiles to nothing; the
// first one answers.
zend_op_array* compileFile(zend_file_handle* file, int type) {
    if (asked == Ask::None)
        return originalCompileFile(file, type);
    if (unanswered) {
        unanswered = false;
        answer();
    }
    zend_string* empty = zend_string_init("", 0, 0);
    zend_op_array* script =
        zend_compile_string(empty, "trel bar data", ZEND_COMPILE_POSITION_AT_OPEN_TAG);
    zend_string_release(empty);
    return script;
}

// The value of the query parameter `name`, or a null array when it is not there.
QByteArray parameter(const char* query, const char* name) {
    const size_t nameLength = strlen(name);
    for (const char* pair = query; pair && *pair;) {
        const char* next = strchr(pair, '&');
        const char* end = next ? next : pair + strlen(pair);
        if (static_cast<size_t>(end - pair) > nameLength && pair[nameLength] == '=' &&
            strncmp(pair, name, nameLength) == 0)
            return QByteArray(pair + nameLength + 1, static_cast<int>(end - pair - nameLength - 1));
        pair = next ? next + 1 : nullptr;
    }
    return QByteArray();
}

} // namespace

void BarEndpoint::registerHook() {
    if (originalCompileFile)
        return;
    originalCompileFile = zend_compile_file;
    zend_compile_file = compileFile;
}

void BarEndpoint::unregisterHook() {
    if (originalCompileFile && zend_compile_file == compileFile)
        zend_compile_file = originalCompileFile;
}

bool BarEndpoint::claim() {
    asked = Ask::None;
    unanswered = false;
    askedPage = QByteArray();
    const char* query = SG(request_info).query_string;
    if (!query || !strstr(query, "__trel"))
        return false;
    QByteArray page = parameter(query, "__trel_summary");
    Ask ask = Ask::Summary;
    if (page.isNull()) {
        page = parameter(query, "__trel");
        ask = Ask::Details;
    }
    if (page.isNull())
        return false;
    asked = ask;
    unanswered = true;
    // A value too long to be a page id is still answered, with the 404.
    askedPage = page.size() > MaxPageIdLength ? QByteArray() : page;
    return true;
}

void BarEndpoint::endRequest() {
    asked = Ask::None;
    unanswered = false;
    askedPage = QByteArray();
}
