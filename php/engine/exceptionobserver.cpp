#include "exceptionobserver.h"

#include "php_trel.h"

extern "C" {
#include "Zend/zend_exceptions.h"
}

#include <cstring>

namespace {

void (*previousHook)(zend_object*) = nullptr;
zend_object* lastThrown = nullptr;
uint32_t lastHandle = 0;

void onThrow(zend_object* exception) {
    if (TREL_G(collecting)) {
        lastThrown = exception;
        lastHandle = exception->handle;
    }
    if (previousHook)
        previousHook(exception);
}

// The object still in its slot of the object store, not freed or replaced.
bool alive(const zend_object* object, uint32_t handle) {
    return object && handle < EG(objects_store).top &&
           EG(objects_store).object_buckets[handle] == object &&
           IS_OBJ_VALID(EG(objects_store).object_buckets[handle]);
}

// A declared property as the engine itself reads it (from the exception's base class),
// which runs no script code.
zval* property(zend_object* exception, zend_string* name, zval* scratch) {
    zval* value =
        zend_read_property_ex(zend_get_exception_base(exception), exception, name, true, scratch);
    ZVAL_DEREF(value);
    return value;
}

QString textOf(const zval* value) {
    return value && Z_TYPE_P(value) == IS_STRING
               ? QString::fromUtf8(Z_STRVAL_P(value), static_cast<int>(Z_STRLEN_P(value)))
               : QString();
}

QString textAt(HashTable* frame, const char* key) {
    zval* value = zend_hash_str_find_deref(frame, key, strlen(key));
    return textOf(value);
}

} // namespace

void ExceptionObserver::install() {
    previousHook = zend_throw_exception_hook;
    zend_throw_exception_hook = onThrow;
}

void ExceptionObserver::uninstall() {
    if (zend_throw_exception_hook == onThrow)
        zend_throw_exception_hook = previousHook;
}

void ExceptionObserver::startRequest() {
    lastThrown = nullptr;
    lastHandle = 0;
}

QSharedPointer<KTrel::UncaughtException> ExceptionObserver::uncaught(const char* message) {
    QSharedPointer<KTrel::UncaughtException> none;
    zend_object* exception = lastThrown;
    if (!message || strncmp(message, "Uncaught ", 9) != 0 || !alive(exception, lastHandle) ||
        !instanceof_function(exception->ce, zend_ce_throwable))
        return none;
    // "Uncaught Class: message ...", or "Uncaught Class in ..." for an empty message.
    const char* named = message + 9;
    const size_t length = ZSTR_LEN(exception->ce->name);
    if (strncmp(named, ZSTR_VAL(exception->ce->name), length) != 0 ||
        (named[length] != ':' && named[length] != ' '))
        return none;
    auto found = QSharedPointer<KTrel::UncaughtException>::create();
    found->className = QString::fromUtf8(ZSTR_VAL(exception->ce->name), static_cast<int>(length));
    zval scratch;
    found->message = textOf(property(exception, ZSTR_KNOWN(ZEND_STR_MESSAGE), &scratch));
    found->file = textOf(property(exception, ZSTR_KNOWN(ZEND_STR_FILE), &scratch));
    const zval* line = property(exception, ZSTR_KNOWN(ZEND_STR_LINE), &scratch);
    found->line = line && Z_TYPE_P(line) == IS_LONG ? static_cast<int>(Z_LVAL_P(line)) : 0;
    const zval* trace = property(exception, ZSTR_KNOWN(ZEND_STR_TRACE), &scratch);
    if (trace && Z_TYPE_P(trace) == IS_ARRAY) {
        const zval* entry;
        ZEND_HASH_FOREACH_VAL(Z_ARRVAL_P(trace), entry) {
            ZVAL_DEREF(entry);
            if (Z_TYPE_P(entry) != IS_ARRAY)
                continue;
            HashTable* frame = Z_ARRVAL_P(entry);
            KTrel::TraceFrame item;
            item.call = textAt(frame, "class") + textAt(frame, "type") + textAt(frame, "function") +
                        QStringLiteral("()");
            item.file = textAt(frame, "file");
            const zval* at = zend_hash_str_find_deref(frame, ZEND_STRL("line"));
            item.line = at && Z_TYPE_P(at) == IS_LONG ? static_cast<int>(Z_LVAL_P(at)) : 0;
            found->trace.append(item);
        }
        ZEND_HASH_FOREACH_END();
    }
    return found;
}
