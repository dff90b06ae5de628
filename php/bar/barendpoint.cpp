#include "barendpoint.h"

#include "collector/collectorhost.h"
#include "php_trel.h"
#include "request/requestadmission.h"

#include <trel/ktrel.h>
#include <trel/ktrelformat.h>
#include <trel/ktrelhtmlreport.h>
#include <trel/ktrelrequestjson.h>
#include <trel/ktrelstoredrequest.h>
#include <trel/ktreltoken.h>

extern "C" {
#include "SAPI.h"
#include "php.h"
}

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QUrl>

#include <cstring>
#include <utility>

namespace {

enum class Ask { None, Details, Summary, Json, Requests, Compare };

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

// Checks the token, then finds the stored request that this token admitted by its page
// id and checks the token against its URL, read alone, and only then reads the rest: a
// made-up token reads nothing stored, and another token's request is never loaded. The
// collector is left reset. False for a missing request, a refused token or a failure
// alike.
bool loadAllowed(const QString& tokenName, const QByteArray& page, KTrelStoredRequest* request) {
    KTrel* trel = CollectorHost::acquire();
    if (!trel)
        return false;
    bool loaded = false;
    CollectorHost::guard("bar data", [&] {
        const KTrelToken token = trel->validToken(tokenName, CollectorHost::stream());
        if (!token.isOk())
            return;
        QString error;
        qint64 id = 0;
        QString url;
        const KTrelStoredRequest::Outcome located = KTrelStoredRequest::locateByPageId(
            trel->getDatabase(), QString::fromLatin1(page),
            KTrelToken::ownerHash(token.getTokenId()), &id, &url, &error);
        if (located == KTrelStoredRequest::Outcome::Failed)
            CollectorHost::failed("bar data", error.toUtf8().constData());
        if (located != KTrelStoredRequest::Outcome::Found ||
            !token.isUrlMatches(url, CollectorHost::stream()))
            return;
        const KTrelStoredRequest::Outcome outcome =
            KTrelStoredRequest::load(trel->getDatabase(), id, request, &error);
        if (outcome == KTrelStoredRequest::Outcome::Failed)
            CollectorHost::failed("bar data", error.toUtf8().constData());
        loaded = outcome == KTrelStoredRequest::Outcome::Found;
        if (loaded && KTrelStoredRequest::loadRelated(
                          trel->getDatabase(), KTrelToken::ownerHash(token.getTokenId()), request,
                          &error) == KTrelStoredRequest::Outcome::Failed)
            CollectorHost::failed("bar data", error.toUtf8().constData());
        // The token's own request, but at an address it no longer covers: not shown.
        if (request->hasRedirect &&
            !token.isUrlMatches(request->redirectedFrom.url, CollectorHost::stream())) {
            request->hasRedirect = false;
            request->redirectedFrom = KTrelStoredRequest::Related();
        }
        if (loaded && KDebug::getDebugLevel(CollectorHost::stream()) >= 2)
            KDebug::create(CollectorHost::stream(), 2)
                << "trel: bar data: read request" << id << "whole for the token that admitted it"
                << kflush;
    });
    return loaded;
}

// Whether the token covers the address the bar asks at: the bar's own page, whose
// request may not be stored yet (its write starts once the browser has the page).
bool coversHere(const QString& token) {
    KTrel* trel = CollectorHost::acquire();
    if (!trel)
        return false;
    bool covered = false;
    CollectorHost::guard("bar data", [&] {
        trel->reset();
        trel->setRequest(RequestAdmission::url());
        QString allowedHosts;
        qint64 ttl = 0;
        covered = trel->isTokenOK(token, allowedHosts, ttl, CollectorHost::stream());
        trel->reset();
    });
    return covered;
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

QString decodedParameter(const char* name) {
    const char* query = SG(request_info).query_string;
    QByteArray value = parameter(query, name);
    value.replace('+', ' ');
    return QUrl::fromPercentEncoding(value);
}

// The path the request was made to, for the viewer's links to the other views.
QString requestPath() {
    const char* uri = SG(request_info).request_uri;
    QString path = uri ? QString::fromUtf8(uri) : QString();
    const int query = path.indexOf(QLatin1Char('?'));
    if (query >= 0)
        path.truncate(query);
    return path.isEmpty() ? QStringLiteral("/") : path;
}

// The latest stored requests that the token admitted and still covers, as filtered by
// the list's parameters; false when the token is not valid or the read failed.
bool readList(const QString& tokenName, KTrelStoredRequest::ListFilter* filter,
              KTrelStoredRequest::List* list) {
    KTrel* trel = CollectorHost::acquire();
    if (!trel)
        return false;
    bool read = false;
    CollectorHost::guard("bar data", [&] {
        const KTrelToken token = trel->validToken(tokenName, CollectorHost::stream());
        if (!token.isOk())
            return;
        filter->owner = KTrelToken::ownerHash(token.getTokenId());
        filter->urlContains = decodedParameter("trel_url").left(200);
        filter->problems = !decodedParameter("trel_problems").isEmpty();
        filter->failedStatus = !decodedParameter("trel_status").isEmpty();
        filter->before = decodedParameter("trel_before").toLongLong();
        filter->after = decodedParameter("trel_after").toLongLong();
        QString error;
        const KTrelStoredRequest::Outcome outcome = KTrelStoredRequest::list(
            trel->getDatabase(), *filter,
            [&](const QString& url) { return token.isUrlMatches(url, CollectorHost::stream()); },
            list, &error);
        if (outcome == KTrelStoredRequest::Outcome::Failed)
            CollectorHost::failed("bar data", error.toUtf8().constData());
        read = outcome != KTrelStoredRequest::Outcome::Failed;
    });
    return read;
}

QByteArray requestList(const QString& tokenName) {
    KTrelStoredRequest::ListFilter filter;
    KTrelStoredRequest::List list;
    if (!readList(tokenName, &filter, &list))
        return QByteArray();
    QByteArray body;
    CollectorHost::guard("bar data", [&] {
        const QJsonObject shown{{QStringLiteral("url"), filter.urlContains},
                                {QStringLiteral("problems"), filter.problems},
                                {QStringLiteral("status"), filter.failedStatus}};
        body = KTrelHtmlReport::listPage(list, shown, requestPath()).toUtf8();
    });
    return body;
}

qint64 slowQueryUs() {
    return TREL_G(slow_query_ms) > 0 ? TREL_G(slow_query_ms) * 1000 : 0;
}

// The request as the views have it, with the slow-query threshold in force: the
// threshold is a setting of the site, not something stored.
QJsonObject requestJson(const KTrelStoredRequest& request) {
    QJsonObject object = KTrelRequestJson::request(request);
    object.insert(QStringLiteral("slow_query_us"), slowQueryUs());
    return object;
}

// The bar's summary, with what the bar shows beyond the stored totals: the slow
// queries counted against the threshold, the request that redirected to this one, and
// when it started.
QJsonObject summaryJson(const KTrelStoredRequest& request) {
    QJsonObject object = KTrelRequestJson::summary(request);
    const qint64 slow = slowQueryUs();
    int slowQueries = 0;
    for (const KTrelStoredRequest::Query& query : request.queries)
        if (slow > 0 && query.notKept == 0 && query.time >= slow)
            ++slowQueries;
    object.insert(QStringLiteral("slow_query_us"), slow);
    object.insert(QStringLiteral("slow_queries"), slowQueries);
    // Where a page's later call goes on the page's time axis.
    object.insert(QStringLiteral("start_ms"), request.startTime);
    const QJsonValue redirected =
        KTrelRequestJson::request(request).value(QStringLiteral("redirected_from"));
    object.insert(QStringLiteral("redirected_from"),
                  redirected.isUndefined() ? QJsonValue() : redirected);
    return object;
}

// Two stored requests side by side: the asked one and the one named by trel_with, or
// by default the previous request of the same URL; with the token's latest requests to
// choose another from. Each side is loaded as the details load theirs, so a page id
// the token did not admit shows nothing.
QByteArray comparePage(const QString& tokenName, const KTrelStoredRequest& request) {
    QJsonObject data{
        {QStringLiteral("view"), QStringLiteral("compare")},
        {QStringLiteral("request"), requestJson(request)},
        {QStringLiteral("live"), QJsonObject{{QStringLiteral("path"), requestPath()}}}};
    QByteArray other = parameter(SG(request_info).query_string, "trel_with");
    if (other.isEmpty())
        other = data.value(QStringLiteral("request"))
                    .toObject()
                    .value(QStringLiteral("previous_page_id"))
                    .toString()
                    .toLatin1();
    KTrelStoredRequest otherRequest;
    if (!other.isEmpty() && other.size() <= MaxPageIdLength &&
        loadAllowed(tokenName, other, &otherRequest))
        data.insert(QStringLiteral("other"), requestJson(otherRequest));
    KTrelStoredRequest::ListFilter filter;
    KTrelStoredRequest::List list;
    if (readList(tokenName, &filter, &list))
        data.insert(QStringLiteral("list"), KTrelRequestJson::list(list));
    return KTrelHtmlReport::write(data, QStringLiteral("trel: compare")).toUtf8();
}

void answer() {
    addHeader("Cache-Control: no-store");
    addHeader("X-Content-Type-Options: nosniff");
    const QString token = RequestAdmission::presentedToken();
    KTrelStoredRequest request;
    QByteArray body;
    if (!token.isEmpty() && asked == Ask::Requests) {
        body = requestList(token);
    } else if (!token.isEmpty() && loadAllowed(token, askedPage, &request)) {
        CollectorHost::guard("bar data", [&] {
            if (asked == Ask::Summary || asked == Ask::Json) {
                body = QJsonDocument(asked == Ask::Summary ? summaryJson(request)
                                                           : requestJson(request))
                           .toJson(QJsonDocument::Compact);
            } else if (asked == Ask::Compare) {
                body = comparePage(token, request);
            } else {
                QJsonObject data{
                    {QStringLiteral("view"), QStringLiteral("request")},
                    {QStringLiteral("request"), requestJson(request)},
                    {QStringLiteral("live"), QJsonObject{{QStringLiteral("path"), requestPath()}}}};
                // The token's latest requests, for the page's later calls on its timeline.
                KTrelStoredRequest::ListFilter filter;
                KTrelStoredRequest::List list;
                if (readList(token, &filter, &list))
                    data.insert(QStringLiteral("list"), KTrelRequestJson::list(list));
                body = KTrelHtmlReport::write(
                           data, QStringLiteral("trel: request %1 \u00b7 %2 %3")
                                     .arg(QString::number(request.id), request.method, request.url))
                           .toUtf8();
            }
        });
    }
    if (body.isEmpty() && asked == Ask::Summary && !token.isEmpty() && coversHere(token)) {
        // The page may still be on its way to the database: the bar asks again later. A
        // page that is not the token's looks the same, so nothing tells it from one
        // being written; a request without a valid token gets the 404 and stops asking.
        setStatus(202);
        addHeader("Content-Type: text/plain; charset=utf-8");
        addHeader("Retry-After: 1");
        body = QByteArrayLiteral("Not stored yet\n");
    } else if (body.isEmpty()) {
        setStatus(404);
        addHeader("Content-Type: text/plain; charset=utf-8");
        body = QByteArrayLiteral("Not Found\n");
    } else {
        setStatus(200);
        if (asked == Ask::Summary || asked == Ask::Json) {
            addHeader("Content-Type: application/json");
        } else {
            addHeader("Content-Type: text/html; charset=utf-8");
            // The viewer needs its own inline style and script and nothing else: whatever
            // a stored text holds, the page loads nothing and sends nothing anywhere.
            addHeader("Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'; "
                      "script-src 'unsafe-inline'; img-src data:; form-action 'self'; "
                      "base-uri 'none'; frame-ancestors 'self'");
        }
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

void BarEndpoint::tagResponse(const QString& pageId) {
    const QByteArray line = "X-Trel-Page: " + pageId.toLatin1();
    addHeader(line.constData());
}

bool BarEndpoint::claim() {
    asked = Ask::None;
    unanswered = false;
    askedPage = QByteArray();
    const char* query = SG(request_info).query_string;
    if (!query || !strstr(query, "__trel"))
        return false;
    QByteArray page;
    Ask ask = Ask::None;
    for (const auto& name :
         {std::make_pair("__trel_summary", Ask::Summary), std::make_pair("__trel_json", Ask::Json),
          std::make_pair("__trel_requests", Ask::Requests),
          std::make_pair("__trel_compare", Ask::Compare), std::make_pair("__trel", Ask::Details)}) {
        page = parameter(query, name.first);
        if (!page.isNull()) {
            ask = name.second;
            break;
        }
    }
    if (ask == Ask::None)
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
