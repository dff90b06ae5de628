// The PHP extension: settings, the request's start and end, trel_event().

#include "php_trel.h"

#include "bar/barendpoint.h"
#include "bar/barinjection.h"
#include "bar/cachepolicy.h"
#include "bar/responsefinisher.h"
#include "collector/collectorhost.h"
#include "engine/callobserver.h"
#include "engine/errorobserver.h"
#include "engine/functionobserver.h"
#include "engine/handlerwrapper.h"
#include "engine/requestclock.h"
#include "io/iocapture.h"
#include "request/requestadmission.h"
#include "request/responseheaders.h"
#include "request/superglobalsampler.h"
#include "sql/sqlcapture.h"

#include <trel/ktrel.h>

extern "C" {
#include "SAPI.h"
#include "Zend/zend_observer.h"
#include "ext/standard/info.h"
#include "php_ini.h"
}

#include <algorithm>
#include <cctype>
#include <climits>
#include <ctime>
#include <string>
#include <vector>

#include "trel_arginfo.h"

ZEND_DECLARE_MODULE_GLOBALS(trel)

namespace {

// Whether this process hooked into PHP: decided once at module start-up, from
// trel.enabled, since observers can only be registered then. Whether a request is
// watched is its own trel.root's matter (a php-fpm pool or an Apache virtual host sets
// it after start-up): the hooks cost a request without a root a test of one flag.
bool hooked = false;
qint64 requestStartUs = 0;
// trel.mask's words, lower case.
std::vector<std::string> maskWords;
// trel.clear_cookies's names.
std::vector<std::string> clearCookies;

qint64 monotonicUs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<qint64>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

timeval toTimeval(qint64 microseconds) {
    timeval value;
    value.tv_sec = static_cast<time_t>(microseconds / 1000000);
    value.tv_usec = static_cast<suseconds_t>(microseconds % 1000000);
    return value;
}

// A comma-separated list's items, blanks around them dropped; lowered when asked.
std::vector<std::string> splitList(const zend_string* value, bool lower) {
    std::vector<std::string> items;
    std::string item;
    const char* text = value ? ZSTR_VAL(value) : "";
    for (const char* c = text;; ++c) {
        if (*c == ',' || *c == '\0') {
            const size_t first = item.find_first_not_of(" \t");
            const size_t last = item.find_last_not_of(" \t");
            if (first != std::string::npos)
                items.push_back(item.substr(first, last - first + 1));
            item.clear();
            if (*c == '\0')
                break;
        } else {
            item += lower ? static_cast<char>(tolower(static_cast<unsigned char>(*c))) : *c;
        }
    }
    return items;
}

ZEND_INI_MH(OnUpdateMask) {
    maskWords = splitList(new_value, true);
    return OnUpdateString(entry, new_value, mh_arg1, mh_arg2, mh_arg3, stage);
}

ZEND_INI_MH(OnUpdateClearCookies) {
    clearCookies = splitList(new_value, false);
    return OnUpdateString(entry, new_value, mh_arg1, mh_arg2, mh_arg3, stage);
}

// Set when a request's collection has ended and its write is due: the write waits until
// the other modules have ended their requests too, so that none of them (the session
// module with its file lock) waits for it.
bool writePending = false;

// flush() of a page the bar's handler holds sends nothing (BarInjection::holdsPage()).
void aroundFlush(int, zif_handler original, zend_execute_data* frame, zval* result) {
    if (BarInjection::holdsPage()) {
        ZVAL_NULL(result);
        return;
    }
    original(frame, result);
}

void finishRequest(KTrel* trel) {
    FunctionObserver::endRequest(trel);
    SqlCapture::endRequest();
    IoCapture::endRequest();
    const qint64 database = SqlCapture::databaseTime();
    const qint64 network = IoCapture::networkTime();
    const qint64 local = IoCapture::localTime();
    SuperglobalSampler::sample(trel, KTrel::SAMPLE_END);
    ResponseHeaders::capture(trel);
    const qint64 requestTime = monotonicUs() - requestStartUs;
    CollectorHost::guard("request end", [&] {
        // PHP's own time: what the database, the network and local I/O leave.
        const qint64 php = qMax<qint64>(0, requestTime - database - network - local);
        trel->addProcessingBreakdownData(toTimeval(database), toTimeval(network), toTimeval(php),
                                         toTimeval(local));
        trel->setRequestStatus(SG(sapi_headers).http_response_code);
        trel->setRequestTime(requestTime);
        KTrel::Request& request = trel->getRequest();
        request.setPeakMemoryUsage(static_cast<qint64>(zend_memory_peak_usage(false)));
        request.setMemoryLimit(static_cast<qint64>(PG(memory_limit)));
        writePending = true;
    });
}

} // namespace

bool trel_is_masked_key(const char* key, size_t len) {
    // Called for every key of every sample: the key is lowered once, then each word is
    // looked for with memmem rather than compared at every offset.
    char small[128];
    std::string large;
    char* lowered = small;
    if (len > sizeof small) {
        large.resize(len);
        lowered = &large[0];
    }
    for (size_t i = 0; i < len; ++i)
        lowered[i] = static_cast<char>(tolower(static_cast<unsigned char>(key[i])));
    for (const std::string& word : maskWords) {
        if (word.size() <= len && memmem(lowered, len, word.data(), word.size()))
            return true;
    }
    return false;
}

bool trel_is_clear_cookie(const char* name, size_t len) {
    for (const std::string& clear : clearCookies) {
        if (clear.size() == len && memcmp(clear.data(), name, len) == 0)
            return true;
    }
    return false;
}

// clang-format off
PHP_INI_BEGIN()
    STD_PHP_INI_ENTRY("trel.root", "", PHP_INI_SYSTEM, OnUpdateString, root,
                      zend_trel_globals, trel_globals)
    STD_PHP_INI_BOOLEAN("trel.enabled", "1", PHP_INI_SYSTEM | PHP_INI_PERDIR, OnUpdateBool,
                        enabled, zend_trel_globals, trel_globals)
    STD_PHP_INI_ENTRY("trel.log_file", "", PHP_INI_SYSTEM, OnUpdateString, log_file,
                      zend_trel_globals, trel_globals)
    STD_PHP_INI_ENTRY("trel.log_level", "0", PHP_INI_SYSTEM, OnUpdateLong, log_level,
                      zend_trel_globals, trel_globals)
    STD_PHP_INI_ENTRY("trel.token_cookie", "trel_token", PHP_INI_SYSTEM | PHP_INI_PERDIR,
                      OnUpdateString, token_cookie, zend_trel_globals, trel_globals)
    // Off by default: counting calls takes PHP's observer, which then runs on every
    // request, collected or not.
    STD_PHP_INI_BOOLEAN("trel.function_stats", "0", PHP_INI_SYSTEM | PHP_INI_PERDIR,
                        OnUpdateBool, function_stats, zend_trel_globals, trel_globals)
    STD_PHP_INI_ENTRY("trel.function_stats_limit", "100", PHP_INI_SYSTEM | PHP_INI_PERDIR,
                      OnUpdateLong, function_stats_limit, zend_trel_globals, trel_globals)
    // What one request keeps in full (KTrel::Limits): a worker grows by some 16 MB at
    // most for any page with these.
    STD_PHP_INI_ENTRY("trel.max_queries", "1000", PHP_INI_SYSTEM | PHP_INI_PERDIR,
                      OnUpdateLong, max_queries, zend_trel_globals, trel_globals)
    STD_PHP_INI_ENTRY("trel.max_errors", "500", PHP_INI_SYSTEM | PHP_INI_PERDIR,
                      OnUpdateLong, max_errors, zend_trel_globals, trel_globals)
    STD_PHP_INI_ENTRY("trel.max_backtrace_bytes", "1M", PHP_INI_SYSTEM | PHP_INI_PERDIR,
                      OnUpdateLong, max_backtrace_bytes, zend_trel_globals, trel_globals)
    STD_PHP_INI_ENTRY("trel.mask",
                      "password,passwd,pass,pwd,secret,token,auth,cookie,session,key",
                      PHP_INI_SYSTEM | PHP_INI_PERDIR, OnUpdateMask, mask, zend_trel_globals,
                      trel_globals)
    // Every cookie's value is masked unless named here: a cookie's name does not tell
    // whether its value logs its holder in.
    STD_PHP_INI_ENTRY("trel.clear_cookies", "", PHP_INI_SYSTEM | PHP_INI_PERDIR,
                      OnUpdateClearCookies, clear_cookies, zend_trel_globals, trel_globals)
    // A query that took this long or longer is marked slow in the bar and its views.
    STD_PHP_INI_ENTRY("trel.slow_query_ms", "100", PHP_INI_SYSTEM | PHP_INI_PERDIR,
                      OnUpdateLong, slow_query_ms, zend_trel_globals, trel_globals)
PHP_INI_END()
// clang-format on

static PHP_GINIT_FUNCTION(trel) {
    memset(trel_globals, 0, sizeof(*trel_globals));
}

static PHP_MINIT_FUNCTION(trel) {
    REGISTER_INI_ENTRIES();
    hooked = TREL_G(enabled);
    if (!hooked)
        return SUCCESS;
    if (TREL_G(function_stats))
        CallObserver::registerObserver();
    ErrorObserver::registerObserver();
    SqlCapture::watch();
    IoCapture::watch();
    HandlerWrapper::watchFunction("flush", aroundFlush, 0);
    HandlerWrapper::installAfterStartup();
    CachePolicy::install();
    return SUCCESS;
}

static PHP_MSHUTDOWN_FUNCTION(trel) {
    HandlerWrapper::restore();
    if (hooked)
        ErrorObserver::unregisterObserver();
    CachePolicy::uninstall();
    BarEndpoint::unregisterHook();
    CollectorHost::release();
    UNREGISTER_INI_ENTRIES();
    return SUCCESS;
}

static PHP_RINIT_FUNCTION(trel) {
    TREL_G(collecting) = false;
    writePending = false;
    CachePolicy::startRequest();
    if (!hooked)
        return SUCCESS;
    // Before anything of the request: a collector released here is used by nobody. Also
    // where trel.enabled is off or the root empty, so that a changed database is let go
    // there too.
    CollectorHost::follow();
    const char* root = TREL_G(root);
    if (!TREL_G(enabled) || !root || !*root)
        return SUCCESS;
    BarEndpoint::registerHook();
    if (BarEndpoint::claim())
        return SUCCESS;
    KTrel* trel = RequestAdmission::admit();
    if (!trel)
        return SUCCESS;
    requestStartUs = monotonicUs();
    RequestClock::start(requestStartUs);
    TREL_G(collecting) = true;
    CollectorHost::guard("request start", [&] {
        KTrel::Limits limits;
        const auto count = [](zend_long value) {
            return static_cast<int>(std::min<zend_long>(std::max<zend_long>(value, 0), INT_MAX));
        };
        limits.queries = count(TREL_G(max_queries));
        limits.errors = count(TREL_G(max_errors));
        limits.backtraceChars = std::max<zend_long>(TREL_G(max_backtrace_bytes), 0);
        trel->setLimits(limits);
    });
    BarEndpoint::tagResponse(trel->getPageId());
    ErrorObserver::startRequest();
    FunctionObserver::startRequest(TREL_G(function_stats), TREL_G(function_stats_limit));
    SqlCapture::startRequest();
    IoCapture::startRequest();
    SuperglobalSampler::sample(trel, KTrel::SAMPLE_START);
    CachePolicy::admitted();
    if (trel->isBarEnabled())
        BarInjection::start(trel);
    return SUCCESS;
}

static PHP_RSHUTDOWN_FUNCTION(trel) {
    BarEndpoint::endRequest();
    BarInjection::endRequest();
    if (!TREL_G(collecting))
        return SUCCESS;
    // Nothing is observed from here on: the end's own work (a session object's
    // serialisation) is not the script's.
    TREL_G(collecting) = false;
    if (KTrel* trel = CollectorHost::current())
        finishRequest(trel);
    return SUCCESS;
}

// After every module's request end and the engine's own: only the collector's data is
// used here, nothing of the engine's. The browser has the response before the write
// begins, and only now: the modules' request ends (the session's save) belong to it.
static ZEND_MODULE_POST_ZEND_DEACTIVATE_D(trel) {
    if (!writePending)
        return SUCCESS;
    writePending = false;
    ResponseFinisher::finish();
    if (KTrel* trel = CollectorHost::current())
        CollectorHost::guard("request end", [&] { trel->write(); });
    return SUCCESS;
}

static PHP_MINFO_FUNCTION(trel) {
    php_info_print_table_start();
    php_info_print_table_row(2, "trel support", "enabled");
    php_info_print_table_row(2, "Version", PHP_TREL_VERSION);
    const char* root = TREL_G(root);
    const bool watching = hooked && TREL_G(enabled) && root && *root;
    php_info_print_table_row(2, "Watching requests",
                             watching ? "yes"
                             : hooked ? "no: trel.root is empty or trel.enabled off here"
                                      : "no: trel.enabled was off at start-up (idle)");
    if (watching)
        php_info_print_table_row(2, "Installation root", root);
    // What every request pays, admitted or not: PHP's observer machinery runs on each call
    // once any module registers a function-call observer.
    php_info_print_table_row(2, "Function-call observers in PHP",
                             ZEND_OBSERVER_ENABLED ? "registered" : "none");
    const std::string wrapped = std::to_string(HandlerWrapper::wrappedCount());
    php_info_print_table_row(2, "Internal functions watched", wrapped.c_str());
    if (hooked) {
        const QByteArray installation = CollectorHost::installationText().toUtf8();
        php_info_print_table_row(2, "Installation in this process", installation.constData());
    }
    php_info_print_table_end();
    DISPLAY_INI_ENTRIES();
}

ZEND_FUNCTION(trel_event) {
    zend_string* key;
    ZEND_PARSE_PARAMETERS_START(1, 1)
    Z_PARAM_STR(key)
    ZEND_PARSE_PARAMETERS_END();
    KTrel* trel = TREL_G(collecting) ? CollectorHost::current() : nullptr;
    if (!trel || ZSTR_LEN(key) == 0)
        RETURN_FALSE;
    bool added = false;
    CollectorHost::guard("trel_event", [&] {
        if (!trel->isEventCollectionEnabled())
            return;
        trel->addEventAggKey(QByteArray(ZSTR_VAL(key), static_cast<int>(ZSTR_LEN(key))));
        added = true;
    });
    RETURN_BOOL(added);
}

// The modules whose functions are watched, and the session, whose data is sampled at
// the end: loaded first, they end their requests after this one.
static const zend_module_dep trel_deps[] = {
    ZEND_MOD_OPTIONAL("session") ZEND_MOD_OPTIONAL("pdo") ZEND_MOD_OPTIONAL("mysqli")
        ZEND_MOD_OPTIONAL("sqlite3") ZEND_MOD_OPTIONAL("curl") ZEND_MOD_END};

zend_module_entry trel_module_entry = {STANDARD_MODULE_HEADER_EX,
                                       nullptr,
                                       trel_deps,
                                       "trel",
                                       ext_functions,
                                       PHP_MINIT(trel),
                                       PHP_MSHUTDOWN(trel),
                                       PHP_RINIT(trel),
                                       PHP_RSHUTDOWN(trel),
                                       PHP_MINFO(trel),
                                       PHP_TREL_VERSION,
                                       PHP_MODULE_GLOBALS(trel),
                                       PHP_GINIT(trel),
                                       nullptr,
                                       ZEND_MODULE_POST_ZEND_DEACTIVATE_N(trel),
                                       STANDARD_MODULE_PROPERTIES_EX};

extern "C" {
ZEND_GET_MODULE(trel)
}
