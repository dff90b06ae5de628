#include "superglobalsampler.h"

#include "collectorhost.h"
#include "php_trel.h"
#include "querymask.h"

extern "C" {
#include "ext/standard/php_var.h"
#include "zend_exceptions.h"
#include "zend_smart_str.h"
}

#include <cstring>
#include <string>

namespace {

const char Masked[] = "***";

// The session module's cookie name (session.name) at the request's start and, once
// sampled there, at its end: session_name() may change it while the script runs.
std::string startSessionName;
std::string endSessionName;
// The start's $_COOKIE, masked, kept until the end names the session cookie.
zval startCookies;

std::string sessionName() {
    const char* name = zend_ini_string_ex(ZEND_STRL("session.name"), 0, nullptr);
    return name ? std::string(name) : std::string();
}

bool equals(const zend_string* key, const std::string& text) {
    return !text.empty() && zend_string_equals_cstr(key, text.data(), text.size());
}

bool isTokenKey(const char* name, zend_string* key) {
    if (strcmp(name, "_COOKIE") == 0) {
        // The session id would let whoever reads the database take the session over.
        const char* cookie = TREL_G(token_cookie);
        return (cookie && zend_string_equals_cstr(key, cookie, strlen(cookie))) ||
               equals(key, startSessionName) || equals(key, endSessionName);
    }
    if (strcmp(name, "_SERVER") == 0)
        return zend_string_equals_literal(key, "HTTP_X_TREL_TOKEN") ||
               zend_string_equals_literal(key, "HTTP_COOKIE");
    return false;
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
    if (Z_TYPE_P(value) == IS_ARRAY) {
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
    ZEND_HASH_FOREACH_KEY_VAL(source, index, key, value) {
        zval copy;
        if (key && ((depth == 0 && isTokenKey(name, key)) ||
                    trel_is_masked_key(ZSTR_VAL(key), ZSTR_LEN(key))))
            setMasked(&copy);
        else if (!(key && depth == 0 && strcmp(name, "_SERVER") == 0 &&
                   copyServerQuery(key, value, &copy)))
            copyValue(name, value, &copy, depth);
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
            setMasked(&masked);
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

// Serializes the masked copy for the collector and releases it.
void store(KTrel* trel, const char* name, zval* masked, KTrel::SG_SAMPLING_TYPE type) {
    smart_str text = {nullptr, 0};
    php_serialize_data_t state;
    PHP_VAR_SERIALIZE_INIT(state);
    php_var_serialize(&text, masked, &state);
    PHP_VAR_SERIALIZE_DESTROY(state);
    zval_ptr_dtor(masked);
    // A __serialize() or __sleep() of an object in the session may throw: the sample is
    // dropped and the exception with it, as the request is over.
    if (EG(exception)) {
        zend_clear_exception();
        smart_str_free(&text);
        return;
    }
    if (text.s) {
        CollectorHost::guard("superglobals", [&] {
            trel->addSerializedSuperGlobal(
                QByteArray(name), QByteArray(ZSTR_VAL(text.s), static_cast<int>(ZSTR_LEN(text.s))),
                type);
        });
    }
    smart_str_free(&text);
}

void sampleOne(KTrel* trel, const char* name, KTrel::SG_SAMPLING_TYPE type) {
    zval masked;
    if (copyGlobal(name, &masked))
        store(trel, name, &masked, type);
}

} // namespace

void SuperglobalSampler::sample(KTrel* trel, KTrel::SG_SAMPLING_TYPE type) {
    // $_SERVER is made on first use (auto_globals_jit); arming it makes it now.
    zend_is_auto_global_str(ZEND_STRL("_SERVER"));
    if (type == KTrel::SAMPLE_START) {
        startSessionName = sessionName();
        endSessionName.clear();
        // An earlier request's copy went with that request's memory.
        if (!copyGlobal("_COOKIE", &startCookies))
            ZVAL_UNDEF(&startCookies);
        for (const char* name : {"_GET", "_POST", "_SERVER"})
            sampleOne(trel, name, type);
        return;
    }
    endSessionName = sessionName();
    if (Z_TYPE(startCookies) == IS_ARRAY) {
        zval* session = endSessionName.empty()
                            ? nullptr
                            : zend_hash_str_find(Z_ARRVAL(startCookies), endSessionName.data(),
                                                 endSessionName.size());
        if (session) {
            zval_ptr_dtor(session);
            setMasked(session);
        }
        store(trel, "_COOKIE", &startCookies, KTrel::SAMPLE_START);
        ZVAL_UNDEF(&startCookies);
    }
    for (const char* name : {"_GET", "_POST", "_COOKIE", "_SERVER", "_SESSION"})
        sampleOne(trel, name, type);
}
