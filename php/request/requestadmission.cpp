#include "requestadmission.h"

#include "collector/collectorhost.h"
#include "php_trel.h"
#include "querymask.h"

#include <trel/ktrel.h>

extern "C" {
#include "SAPI.h"
#include "ext/random/php_random.h"
#include "php_variables.h"
}

#include <QDateTime>
#include <QString>

#include <cstring>

namespace {

const zval* findString(int track, const char* name, size_t length) {
    const zval* array = &PG(http_globals)[track];
    if (Z_TYPE_P(array) != IS_ARRAY)
        return nullptr;
    const zval* value = zend_hash_str_find(Z_ARRVAL_P(array), name, length);
    if (value)
        ZVAL_DEREF(value);
    return value && Z_TYPE_P(value) == IS_STRING ? value : nullptr;
}

QString serverText(const char* name) {
    const zval* value = findString(TRACK_VARS_SERVER, name, strlen(name));
    return value ? QString::fromUtf8(Z_STRVAL_P(value), static_cast<int>(Z_STRLEN_P(value)))
                 : QString();
}

const zval* tokenValue() {
    const char* cookie = TREL_G(token_cookie);
    if (cookie && *cookie) {
        const zval* value = findString(TRACK_VARS_COOKIE, cookie, strlen(cookie));
        if (value && Z_STRLEN_P(value) > 0)
            return value;
    }
    const zval* header = findString(TRACK_VARS_SERVER, ZEND_STRL("HTTP_X_TREL_TOKEN"));
    return header && Z_STRLEN_P(header) > 0 ? header : nullptr;
}

// The URL as the browser asked for it, with the values that trel.mask hides masked.
QString requestUrl() {
    const QString https = serverText("HTTPS");
    const bool secure =
        !https.isEmpty() && https.compare(QLatin1String("off"), Qt::CaseInsensitive);
    QString host = serverText("HTTP_HOST");
    if (host.isEmpty())
        host = serverText("SERVER_NAME");
    QString uri = serverText("REQUEST_URI");
    if (uri.isEmpty() && SG(request_info).request_uri) {
        uri = QString::fromUtf8(SG(request_info).request_uri);
        if (SG(request_info).query_string && *SG(request_info).query_string)
            uri += QLatin1Char('?') + QString::fromUtf8(SG(request_info).query_string);
    }
    return QLatin1String(secure ? "https://" : "http://") + host +
           QString::fromUtf8(QueryMask::maskUrl(uri.toUtf8()));
}

QString randomPageId() {
    unsigned char bytes[16];
    if (php_random_bytes_silent(bytes, sizeof bytes) != SUCCESS)
        return QString();
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(bytes), sizeof bytes).toHex());
}

// A page the browser navigates to, as the browser tells it (Sec-Fetch-Dest and
// Sec-Fetch-Mode; a script's fetch() is "empty" and "cors"), or as a script library
// marks its calls (X-Requested-With) for browsers that send neither.
bool isPrimaryPage() {
    if (serverText("HTTP_X_REQUESTED_WITH")
            .compare(QLatin1String("XMLHttpRequest"), Qt::CaseInsensitive) == 0)
        return false;
    const QString dest = serverText("HTTP_SEC_FETCH_DEST").toLower();
    if (!dest.isEmpty() && dest != QLatin1String("document") && dest != QLatin1String("iframe") &&
        dest != QLatin1String("frame") && dest != QLatin1String("embed") &&
        dest != QLatin1String("object"))
        return false;
    const QString mode = serverText("HTTP_SEC_FETCH_MODE").toLower();
    return mode.isEmpty() || mode == QLatin1String("navigate") ||
           mode == QLatin1String("nested-navigate");
}

// Made by a script, as the browser tells it: X-Requested-With, or a fetch mode other than
// navigation for no particular destination. A stylesheet or script is fetched for its
// own destination ("style", "script") and is not one.
bool isScriptRequest() {
    if (serverText("HTTP_X_REQUESTED_WITH")
            .compare(QLatin1String("XMLHttpRequest"), Qt::CaseInsensitive) == 0)
        return true;
    const QString mode = serverText("HTTP_SEC_FETCH_MODE").toLower();
    return !mode.isEmpty() && mode != QLatin1String("navigate") &&
           serverText("HTTP_SEC_FETCH_DEST").toLower() == QLatin1String("empty");
}

} // namespace

QString RequestAdmission::presentedToken() {
    zend_is_auto_global_str(ZEND_STRL("_SERVER"));
    const zval* token = tokenValue();
    return token ? QString::fromUtf8(Z_STRVAL_P(token), static_cast<int>(Z_STRLEN_P(token)))
                 : QString();
}

KTrel* RequestAdmission::admit() {
    // $_SERVER is made on first use (auto_globals_jit); arming it makes it now.
    zend_is_auto_global_str(ZEND_STRL("_SERVER"));
    const zval* token = tokenValue();
    if (!token)
        return nullptr;
    KTrel* trel = CollectorHost::acquire();
    if (!trel)
        return nullptr;

    bool admitted = false;
    const bool ok = CollectorHost::guard("request start", [&] {
        trel->reset();
        const QString url = requestUrl();
        QString method = serverText("REQUEST_METHOD");
        if (method.isEmpty() && SG(request_info).request_method)
            method = QString::fromUtf8(SG(request_info).request_method);
        trel->setRequest(url);
        trel->setRequestMethod(method);
        trel->setRequestStartTime(QDateTime::currentDateTime());
        trel->setPageId(randomPageId());
        const bool primary = isPrimaryPage();
        trel->setIsPrimaryPage(primary);
        if (primary)
            trel->setPrimaryUrl(url);
        trel->getRequest().setMemoryLimit(static_cast<qint64>(PG(memory_limit)));

        if (trel->isAgentAllowed(serverText("HTTP_USER_AGENT"))) {
            QString allowedHosts;
            qint64 ttl = 0;
            admitted = trel->isTokenOK(
                QString::fromUtf8(Z_STRVAL_P(token), static_cast<int>(Z_STRLEN_P(token))),
                allowedHosts, ttl, CollectorHost::stream());
        }
        if (admitted) {
            KTrel::Context& context = trel->getContext();
            context.xhr = isScriptRequest();
            context.referer =
                QString::fromUtf8(QueryMask::maskUrl(serverText("HTTP_REFERER").toUtf8()));
        }
        trel->setCollectionEnabled(admitted);
        trel->setBarEnabled(admitted);
        trel->setEventCollectionEnabled(admitted);
    });
    return ok && admitted ? trel : nullptr;
}

QString RequestAdmission::url() {
    return requestUrl();
}
