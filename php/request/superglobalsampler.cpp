#include "superglobalsampler.h"

#include "collector/collectorhost.h"
#include "php_trel.h"
#include "querymask.h"

extern "C" {
#include "ext/standard/php_var.h"
#include "main/php_output.h"
#include "zend_exceptions.h"
#include "zend_smart_str.h"
}

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char Masked[] = "***";

// The session module's cookie name (session.name) at the request's start and, once
// sampled there, at its end: session_name() may change it while the script runs.
std::string startSessionName;
std::string endSessionName;
// The values masked in the request's samples: hidden in the other samples at the end,
// then handed to the collector, which hides them in the request's other texts.
std::vector<QByteArray> maskedValues;

std::string sessionName() {
    const char* name = zend_ini_string_ex(ZEND_STRL("session.name"), 0, nullptr);
    return name ? std::string(name) : std::string();
}

bool equals(const zend_string* key, const std::string& text) {
    return !text.empty() && zend_string_equals_cstr(key, text.data(), text.size());
}

// The cookies masked whatever trel.clear_cookies says: the token, and the session id,
// which would let whoever reads the database take the session over.
bool isTokenCookie(zend_string* key) {
    const char* cookie = TREL_G(token_cookie);
    return (cookie && zend_string_equals_cstr(key, cookie, strlen(cookie))) ||
           equals(key, startSessionName) || equals(key, endSessionName);
}

// $_SERVER's entries masked whatever trel.mask says: the token, the raw cookies and the
// credentials of HTTP authentication.
bool isTokenServerKey(zend_string* key) {
    return zend_string_equals_literal(key, "HTTP_X_TREL_TOKEN") ||
           zend_string_equals_literal(key, "HTTP_COOKIE") ||
           zend_string_equals_literal(key, "HTTP_AUTHORIZATION") ||
           zend_string_equals_literal(key, "REDIRECT_HTTP_AUTHORIZATION") ||
           zend_string_equals_literal(key, "PHP_AUTH_PW") ||
           zend_string_equals_literal(key, "PHP_AUTH_DIGEST");
}

bool isCookieShown(zend_string* key) {
    return key && !isTokenCookie(key) && trel_is_clear_cookie(ZSTR_VAL(key), ZSTR_LEN(key));
}

void addMasked(const char* data, size_t size) {
    if (size < static_cast<size_t>(KTrel::MinMaskedValueBytes))
        return;
    maskedValues.emplace_back(data, static_cast<int>(size));
    // A backtrace shows a string argument cut after this many bytes and marked "...".
    const zend_long shown = EG(exception_string_param_max_len);
    if (shown >= KTrel::MinMaskedValueBytes && size > static_cast<size_t>(shown))
        maskedValues.push_back(QByteArray(data, static_cast<int>(shown)) + "...");
}

// Every string (and integer) inside a masked value, for the collector to hide elsewhere.
void gatherMasked(zval* value, int depth) {
    ZVAL_DEREF(value);
    if (Z_TYPE_P(value) == IS_STRING) {
        addMasked(Z_STRVAL_P(value), Z_STRLEN_P(value));
    } else if (Z_TYPE_P(value) == IS_LONG) {
        char digits[MAX_LENGTH_OF_LONG];
        const int size = snprintf(digits, sizeof digits, ZEND_LONG_FMT, Z_LVAL_P(value));
        addMasked(digits, static_cast<size_t>(size));
    } else if (depth < SuperglobalSampler::MaxDepth) {
        // An object's properties as the engine keeps them, read without calling its code.
        HashTable* table = nullptr;
        if (Z_TYPE_P(value) == IS_ARRAY)
            table = Z_ARRVAL_P(value);
        else if (Z_TYPE_P(value) == IS_OBJECT &&
                 Z_OBJ_HT_P(value)->get_properties == zend_std_get_properties)
            table = zend_std_get_properties(Z_OBJ_P(value));
        if (!table || (GC_FLAGS(table) & GC_IMMUTABLE) || GC_IS_RECURSIVE(table))
            return;
        GC_PROTECT_RECURSION(table);
        zval* inner;
        ZEND_HASH_FOREACH_VAL_IND(table, inner) {
            gatherMasked(inner, depth + 1);
        }
        ZEND_HASH_FOREACH_END();
        GC_UNPROTECT_RECURSION(table);
    }
}

// The values in a raw header: the whole, and each of its parts after a '=' (the raw
// Cookie header's values as the browser sent them, but those trel.clear_cookies shows) or
// after a blank (the credentials after Authorization's scheme).
void gatherHeader(zend_string* key, zval* value) {
    ZVAL_DEREF(value);
    if (Z_TYPE_P(value) != IS_STRING)
        return;
    const QByteArray text(Z_STRVAL_P(value), static_cast<int>(Z_STRLEN_P(value)));
    addMasked(text.constData(), static_cast<size_t>(text.size()));
    const bool cookies = zend_string_equals_literal(key, "HTTP_COOKIE");
    for (const QByteArray& part : text.split(';')) {
        const QByteArray trimmed = part.trimmed();
        const int equals = trimmed.indexOf('=');
        if (cookies && equals > 0) {
            zend_string* name =
                zend_string_init(trimmed.constData(), static_cast<size_t>(equals), 0);
            const bool shown = isCookieShown(name);
            zend_string_release(name);
            if (shown)
                continue;
        }
        for (const int at : {equals, static_cast<int>(trimmed.indexOf(' '))}) {
            if (at >= 0)
                addMasked(trimmed.constData() + at + 1,
                          static_cast<size_t>(trimmed.size() - at - 1));
        }
    }
}

void copyArray(const char* name, HashTable* source, zval* target, int depth);
void copyObject(const char* name, zend_object* source, zval* target, int depth);

// Objects serialized from their properties; the others (__serialize, __sleep,
// Serializable, internal classes, enums) are serialized as PHP does it, unmasked inside.
bool isPlainObject(const zend_object* object) {
    const zend_class_entry* ce = object->ce;
    return object->handlers == &std_object_handlers && !ce->create_object && !ce->__serialize &&
           !ce->serialize && !(ce->ce_flags & ZEND_ACC_ENUM) &&
           !zend_hash_str_exists(&ce->function_table, ZEND_STRL("__sleep"));
}

void setMasked(zval* target) {
    ZVAL_STRINGL(target, Masked, sizeof(Masked) - 1);
}

// A masked value, kept for the collector to hide elsewhere too.
void maskValue(zval* value, zval* target) {
    gatherMasked(value, 0);
    setMasked(target);
}

// A cookie's value: its length is shown ("***(32 bytes)"), an array's keys are kept.
void maskCookie(zval* value, zval* target, int depth) {
    ZVAL_DEREF(value);
    if (Z_TYPE_P(value) == IS_ARRAY && depth < SuperglobalSampler::MaxDepth) {
        // $_COOKIE's arrays are PHP's own, made from the Cookie header: no recursion.
        array_init_size(target, zend_hash_num_elements(Z_ARRVAL_P(value)));
        zend_ulong index;
        zend_string* key;
        zval* inner;
        ZEND_HASH_FOREACH_KEY_VAL(Z_ARRVAL_P(value), index, key, inner) {
            zval copy;
            maskCookie(inner, &copy, depth + 1);
            if (key)
                zend_hash_update(Z_ARRVAL_P(target), key, &copy);
            else
                zend_hash_index_update(Z_ARRVAL_P(target), index, &copy);
        }
        ZEND_HASH_FOREACH_END();
        return;
    }
    gatherMasked(value, depth);
    if (Z_TYPE_P(value) != IS_STRING) {
        setMasked(target);
        return;
    }
    char text[48];
    const int size = snprintf(text, sizeof text, "%s(%zu %s)", Masked, Z_STRLEN_P(value),
                              Z_STRLEN_P(value) == 1 ? "byte" : "bytes");
    ZVAL_STRINGL(target, text, static_cast<size_t>(size));
}

// What the sample holds in place of a value serialize() refuses.
void setRefused(zval* target, const zend_class_entry* ce, const std::string& reason) {
    std::string text = "(not serialized: ";
    text.append(ZSTR_VAL(ce->name), ZSTR_LEN(ce->name));
    if (!reason.empty())
        text += ": " + reason;
    text += ")";
    ZVAL_STRINGL(target, text.data(), text.size());
}

// $_SERVER's copies of the query string, masked as $_GET is.
bool copyServerQuery(zend_string* key, zval* value, zval* target) {
    ZVAL_DEREF(value);
    if (Z_TYPE_P(value) != IS_STRING)
        return false;
    const QByteArray text(Z_STRVAL_P(value), static_cast<int>(Z_STRLEN_P(value)));
    QByteArray masked;
    if (zend_string_equals_literal(key, "QUERY_STRING") ||
        zend_string_equals_literal(key, "REDIRECT_QUERY_STRING"))
        masked = QueryMask::maskQuery(text);
    else if (zend_string_equals_literal(key, "REQUEST_URI") ||
             zend_string_equals_literal(key, "HTTP_REFERER"))
        masked = QueryMask::maskUrl(text);
    else
        return false;
    ZVAL_STRINGL(target, masked.constData(), static_cast<size_t>(masked.size()));
    return true;
}

// A copy of the value with masked entries; an array or object that holds itself is cut
// where it recurs.
void copyValue(const char* name, zval* value, zval* target, int depth) {
    ZVAL_DEREF(value);
    if (Z_TYPE_P(value) == IS_OBJECT && (Z_OBJCE_P(value)->ce_flags & ZEND_ACC_NOT_SERIALIZABLE)) {
        // Closures, PDO, files, anonymous classes: serialize() would only throw.
        setRefused(target, Z_OBJCE_P(value), std::string());
    } else if (Z_TYPE_P(value) == IS_ARRAY) {
        HashTable* inner = Z_ARRVAL_P(value);
        const bool guarded = !(GC_FLAGS(inner) & GC_IMMUTABLE);
        if (depth + 1 >= SuperglobalSampler::MaxDepth || (guarded && GC_IS_RECURSIVE(inner))) {
            setMasked(target);
            return;
        }
        if (guarded)
            GC_PROTECT_RECURSION(inner);
        copyArray(name, inner, target, depth + 1);
        if (guarded)
            GC_UNPROTECT_RECURSION(inner);
    } else if (Z_TYPE_P(value) == IS_OBJECT && isPlainObject(Z_OBJ_P(value))) {
        zend_object* inner = Z_OBJ_P(value);
        if (depth + 1 >= SuperglobalSampler::MaxDepth || GC_IS_RECURSIVE(inner)) {
            setMasked(target);
            return;
        }
        GC_PROTECT_RECURSION(inner);
        copyObject(name, inner, target, depth + 1);
        GC_UNPROTECT_RECURSION(inner);
    } else {
        ZVAL_COPY(target, value);
    }
}

void copyArray(const char* name, HashTable* source, zval* target, int depth) {
    array_init_size(target, zend_hash_num_elements(source));
    zend_ulong index;
    zend_string* key;
    zval* value;
    const bool cookies = depth == 0 && strcmp(name, "_COOKIE") == 0;
    const bool server = depth == 0 && strcmp(name, "_SERVER") == 0;
    ZEND_HASH_FOREACH_KEY_VAL(source, index, key, value) {
        zval copy;
        if (cookies && !isCookieShown(key)) {
            maskCookie(value, &copy, depth);
        } else if (server && key && isTokenServerKey(key)) {
            gatherHeader(key, value);
            maskValue(value, &copy);
        } else if (key && (trel_is_masked_key(ZSTR_VAL(key), ZSTR_LEN(key)))) {
            maskValue(value, &copy);
        } else if (!(server && key && copyServerQuery(key, value, &copy))) {
            copyValue(name, value, &copy, depth);
        }
        if (key)
            zend_hash_update(Z_ARRVAL_P(target), key, &copy);
        else
            zend_hash_index_update(Z_ARRVAL_P(target), index, &copy);
    }
    ZEND_HASH_FOREACH_END();
}

// An object of the same class, neither constructed nor ever destructed, holding masked
// copies of the properties.
void copyObject(const char* name, zend_object* source, zval* target, int depth) {
    zend_object* copy = zend_objects_new(source->ce);
    object_properties_init(copy, source->ce);
    GC_ADD_FLAGS(copy, IS_OBJ_DESTRUCTOR_CALLED);
    ZVAL_OBJ(target, copy);
    HashTable* properties = zend_std_get_properties(copy);
    zend_ulong index;
    zend_string* key;
    zval* value;
    ZEND_HASH_FOREACH_KEY_VAL_IND(zend_std_get_properties(source), index, key, value) {
        zval masked;
        const char* className = nullptr;
        const char* property = nullptr;
        size_t length = 0;
        if (key && zend_unmangle_property_name_ex(key, &className, &property, &length) == SUCCESS &&
            trel_is_masked_key(property, length))
            maskValue(value, &masked);
        else
            copyValue(name, value, &masked, depth);
        if (!key) {
            zend_hash_index_update(properties, index, &masked);
            continue;
        }
        // A declared property lives in the object's slot, a dynamic one in the table.
        zval* slot = zend_hash_find(properties, key);
        if (slot && Z_TYPE_P(slot) == IS_INDIRECT) {
            slot = Z_INDIRECT_P(slot);
            zval_ptr_dtor(slot);
            ZVAL_COPY_VALUE(slot, &masked);
        } else {
            zend_hash_update(properties, key, &masked);
        }
    }
    ZEND_HASH_FOREACH_END();
}

// The superglobal's masked copy, or false when it is not an array.
bool copyGlobal(const char* name, zval* masked) {
    zval* global = zend_hash_str_find(&EG(symbol_table), name, strlen(name));
    if (!global)
        return false;
    ZVAL_DEREF(global);
    if (Z_TYPE_P(global) != IS_ARRAY)
        return false;
    HashTable* source = Z_ARRVAL_P(global);
    const bool guarded = !(GC_FLAGS(source) & GC_IMMUTABLE);
    if (guarded)
        GC_PROTECT_RECURSION(source);
    copyArray(name, source, masked, 0);
    if (guarded)
        GC_UNPROTECT_RECURSION(source);
    return true;
}

// The text of what ended a serialization: the exception's class and message.
std::string failureText(zend_object* exception) {
    if (zend_is_unwind_exit(exception) || zend_is_graceful_exit(exception))
        return "exit";
    std::string text(ZSTR_VAL(exception->ce->name), ZSTR_LEN(exception->ce->name));
    if (instanceof_function(exception->ce, zend_ce_throwable)) {
        zval rv;
        zval* message = zend_read_property_ex(zend_get_exception_base(exception), exception,
                                              ZSTR_KNOWN(ZEND_STR_MESSAGE), 1, &rv);
        if (message && Z_TYPE_P(message) == IS_STRING && Z_STRLEN_P(message) > 0)
            text.append(": ").append(Z_STRVAL_P(message), Z_STRLEN_P(message));
    }
    return text;
}

// serialize() of the value as if a script had called it, though no script runs at the
// request's start and end: an exception thrown there by the serializer or an object's
// __serialize() or __sleep() would end the request with a fatal error. Here it is
// caught and described in failure; warnings become exceptions too, and whatever the
// object's own code prints or reports is kept from the page and the log.
zend_function* serializeFunction() {
    static zend_function* function = [] {
        auto* found = static_cast<zend_function*>(
            zend_hash_str_find_ptr(CG(function_table), ZEND_STRL("serialize")));
        if (found)
            return found;
        // disable_functions took serialize() away: a function of the same name for
        // warnings to name.
        static zend_internal_function own;
        own.type = ZEND_INTERNAL_FUNCTION;
        own.function_name = zend_string_init_interned(ZEND_STRL("serialize"), 1);
        return reinterpret_cast<zend_function*>(&own);
    }();
    return function;
}

bool serializeQuietly(zval* value, smart_str* text, std::string* failure) {
    zend_execute_data frame;
    memset(&frame, 0, sizeof(frame));
    frame.func = serializeFunction();
    frame.prev_execute_data = EG(current_execute_data);
    EG(current_execute_data) = &frame;
    zend_error_handling handling;
    zend_replace_error_handling(EH_THROW, zend_ce_error_exception, &handling);
    const int reporting = EG(error_reporting);
    EG(error_reporting) = 0;
    const bool buffered = php_output_start_default() == SUCCESS;

    php_serialize_data_t state;
    PHP_VAR_SERIALIZE_INIT(state);
    php_var_serialize(text, value, &state);
    PHP_VAR_SERIALIZE_DESTROY(state);

    if (buffered)
        php_output_discard();
    EG(error_reporting) = reporting;
    zend_restore_error_handling(&handling);
    EG(current_execute_data) = frame.prev_execute_data;
    if (!EG(exception))
        return true;
    *failure = failureText(EG(exception));
    zend_clear_exception();
    return false;
}

// Replaces inside the masked copy (an array, or an object of its own) each value that
// serialize() refuses with a text naming the value's class and the reason, so that the
// rest of the sample is kept. Returns whether it found one.
bool replaceRefused(zval* container) {
    HashTable* table = Z_TYPE_P(container) == IS_ARRAY
                           ? Z_ARRVAL_P(container)
                           : zend_std_get_properties(Z_OBJ_P(container));
    bool found = false;
    zval* value;
    ZEND_HASH_FOREACH_VAL_IND(table, value) {
        if (Z_TYPE_P(value) != IS_ARRAY && Z_TYPE_P(value) != IS_OBJECT)
            continue;
        smart_str text = {nullptr, 0};
        std::string failure;
        const bool serialized = serializeQuietly(value, &text, &failure);
        smart_str_free(&text);
        if (serialized)
            continue;
        found = true;
        // Arrays and plain objects are the copy's own: the refused value is inside.
        if (Z_TYPE_P(value) == IS_ARRAY || isPlainObject(Z_OBJ_P(value))) {
            if (replaceRefused(value))
                continue;
        }
        const zend_class_entry* ce = Z_TYPE_P(value) == IS_OBJECT ? Z_OBJCE_P(value) : nullptr;
        zval_ptr_dtor(value);
        if (ce)
            setRefused(value, ce, failure);
        else
            ZVAL_STRINGL(value, failure.data(), failure.size());
    }
    ZEND_HASH_FOREACH_END();
    return found;
}

// Serializes the masked copy for the collector and releases it.
void store(KTrel* trel, const char* name, zval* masked, KTrel::SG_SAMPLING_TYPE type) {
    smart_str text = {nullptr, 0};
    std::string failure;
    if (!serializeQuietly(masked, &text, &failure)) {
        smart_str_free(&text);
        text = {nullptr, 0};
        replaceRefused(masked);
        if (!serializeQuietly(masked, &text, &failure)) {
            // The refusal could not be pinned to one value: the sample says why it is empty.
            smart_str_free(&text);
            text = {nullptr, 0};
            zval reason;
            ZVAL_STRINGL(&reason, failure.data(), failure.size());
            serializeQuietly(&reason, &text, &failure);
            zval_ptr_dtor(&reason);
        }
    }
    zval_ptr_dtor(masked);
    if (text.s) {
        CollectorHost::guard("superglobals", [&] {
            trel->addSerializedSuperGlobal(
                QByteArray(name), QByteArray(ZSTR_VAL(text.s), static_cast<int>(ZSTR_LEN(text.s))),
                type);
        });
    }
    smart_str_free(&text);
}

// The session's id, which a new or regenerated session did not bring in a cookie; empty
// without a session module or a session.
void gatherSessionId() {
    auto* function = static_cast<zend_function*>(
        zend_hash_str_find_ptr(CG(function_table), ZEND_STRL("session_id")));
    if (!function || function->type != ZEND_INTERNAL_FUNCTION)
        return;
    zval id;
    ZVAL_UNDEF(&id);
    zend_call_known_function(function, nullptr, nullptr, &id, 0, nullptr, nullptr);
    if (EG(exception))
        zend_clear_exception();
    gatherMasked(&id, 0);
    zval_ptr_dtor(&id);
}

// The masked values, each once, a longer one first: one that holds a shorter one is
// hidden whole.
std::vector<QByteArray> distinctMasked() {
    std::vector<QByteArray> values = maskedValues;
    std::sort(values.begin(), values.end(), [](const QByteArray& a, const QByteArray& b) {
        return a.size() != b.size() ? a.size() > b.size() : a < b;
    });
    values.erase(std::unique(values.begin(), values.end()), values.end());
    return values;
}

// The masked values hidden as "***" in the strings of a sample's copy, inside longer
// strings too: a value masked in one superglobal is not shown by another. The copy's
// arrays and plain objects are its own; other objects are the script's and left alone.
void hideMasked(zval* value, const std::vector<QByteArray>& values, int depth) {
    if (Z_TYPE_P(value) == IS_STRING) {
        QByteArray text;
        for (const QByteArray& hidden : values) {
            const char* data = text.isNull() ? Z_STRVAL_P(value) : text.constData();
            const size_t size =
                text.isNull() ? Z_STRLEN_P(value) : static_cast<size_t>(text.size());
            if (static_cast<size_t>(hidden.size()) > size ||
                !memmem(data, size, hidden.constData(), static_cast<size_t>(hidden.size())))
                continue;
            if (text.isNull())
                text = QByteArray(data, static_cast<int>(size));
            text.replace(hidden, QByteArray(Masked));
        }
        if (text.isNull())
            return;
        zval_ptr_dtor(value);
        ZVAL_STRINGL(value, text.constData(), static_cast<size_t>(text.size()));
        return;
    }
    if (depth >= SuperglobalSampler::MaxDepth)
        return;
    HashTable* table = nullptr;
    if (Z_TYPE_P(value) == IS_ARRAY)
        table = Z_ARRVAL_P(value);
    else if (Z_TYPE_P(value) == IS_OBJECT && isPlainObject(Z_OBJ_P(value)))
        table = zend_std_get_properties(Z_OBJ_P(value));
    if (!table)
        return;
    zval* inner;
    ZEND_HASH_FOREACH_VAL_IND(table, inner) {
        hideMasked(inner, values, depth + 1);
    }
    ZEND_HASH_FOREACH_END();
}

const char* const StartNames[] = {"_GET", "_POST", "_SERVER", "_COOKIE"};
const char* const EndNames[] = {"_GET", "_POST", "_COOKIE", "_SERVER", "_SESSION"};
const size_t StartCount = sizeof(StartNames) / sizeof(StartNames[0]);
const size_t EndCount = sizeof(EndNames) / sizeof(EndNames[0]);
// The start's masked copies, kept until the end knows every masked value (the session's
// id and entries among them); the $_COOKIE copy until the end names the session cookie.
zval startCopies[StartCount];

} // namespace

void SuperglobalSampler::sample(KTrel* trel, KTrel::SG_SAMPLING_TYPE type) {
    // $_SERVER is made on first use (auto_globals_jit); arming it makes it now.
    zend_is_auto_global_str(ZEND_STRL("_SERVER"));
    if (type == KTrel::SAMPLE_START) {
        startSessionName = sessionName();
        endSessionName.clear();
        // An earlier request's copies and values went with that request.
        maskedValues.clear();
        for (size_t i = 0; i < StartCount; ++i) {
            if (!copyGlobal(StartNames[i], &startCopies[i]))
                ZVAL_UNDEF(&startCopies[i]);
        }
        return;
    }
    endSessionName = sessionName();
    zval& startCookies = startCopies[StartCount - 1];
    if (Z_TYPE(startCookies) == IS_ARRAY) {
        zval* session = endSessionName.empty()
                            ? nullptr
                            : zend_hash_str_find(Z_ARRVAL(startCookies), endSessionName.data(),
                                                 endSessionName.size());
        // Shown at the start as trel.clear_cookies asked, before it was the session's.
        if (session && Z_TYPE_P(session) == IS_STRING &&
            strncmp(Z_STRVAL_P(session), Masked, sizeof(Masked) - 1) != 0) {
            zval masked;
            maskCookie(session, &masked, 0);
            zval_ptr_dtor(session);
            ZVAL_COPY_VALUE(session, &masked);
        }
    }
    zval endCopies[EndCount];
    for (size_t i = 0; i < EndCount; ++i) {
        if (!copyGlobal(EndNames[i], &endCopies[i]))
            ZVAL_UNDEF(&endCopies[i]);
    }
    gatherSessionId();
    const std::vector<QByteArray> values = distinctMasked();
    maskedValues.clear();
    for (size_t i = 0; i < StartCount; ++i) {
        if (Z_TYPE(startCopies[i]) == IS_UNDEF)
            continue;
        hideMasked(&startCopies[i], values, 0);
        store(trel, StartNames[i], &startCopies[i], KTrel::SAMPLE_START);
        ZVAL_UNDEF(&startCopies[i]);
    }
    for (size_t i = 0; i < EndCount; ++i) {
        if (Z_TYPE(endCopies[i]) == IS_UNDEF)
            continue;
        hideMasked(&endCopies[i], values, 0);
        store(trel, EndNames[i], &endCopies[i], KTrel::SAMPLE_END);
    }
    CollectorHost::guard("superglobals", [&] {
        for (const QByteArray& value : values)
            trel->addMaskedValue(value);
    });
}
