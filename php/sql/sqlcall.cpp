#include "sqlcall.h"

#include "statementtext.h"

extern "C" {
#include "Zend/zend_closures.h"
#include "Zend/zend_exceptions.h"
#include "Zend/zend_interfaces.h"
}

int SqlCall::s_busy = 0;

namespace {

// Runs fn with any exception it raises discarded: the script must not see our reads.
template <typename F> void quietly(F fn) {
    if (EG(exception))
        return;
    SqlCall::Busy busy;
    fn();
    if (EG(exception))
        zend_clear_exception();
}

// A declared property's value read from its slot: no handler and no script code runs,
// which matters while an exception is in flight.
const zval* declaredProperty(zend_object* object, const char* name) {
    const zend_property_info* info = static_cast<const zend_property_info*>(
        zend_hash_str_find_ptr(&object->ce->properties_info, name, strlen(name)));
    if (!info || (info->flags & ZEND_ACC_STATIC))
        return nullptr;
    const zval* value = OBJ_PROP(object, info->offset);
    ZVAL_DEREF(value);
    return Z_TYPE_P(value) == IS_UNDEF ? nullptr : value;
}

} // namespace

zval* SqlCall::arg(uint32_t n) const {
    zval* value = rawArg(n);
    if (!value)
        return nullptr;
    ZVAL_DEREF(value);
    return Z_TYPE_P(value) == IS_UNDEF ? nullptr : value;
}

zval* SqlCall::rawArg(uint32_t n) const {
    const uint32_t index = n + (m_procedural ? 1 : 0);
    return index > ZEND_CALL_NUM_ARGS(m_frame) ? nullptr : ZEND_CALL_ARG(m_frame, index);
}

QByteArray SqlCall::textArg(uint32_t n, int limit) const {
    zval* value = arg(n);
    if (!value || Z_TYPE_P(value) != IS_STRING)
        return QByteArray();
    return StatementText::bounded(Z_STRVAL_P(value), Z_STRLEN_P(value), limit);
}

zend_object* SqlCall::self() const {
    if (!m_procedural) {
        zend_object* object = thisObject();
        zend_class_entry* scope = m_frame->func->common.scope;
        return object && scope && instanceof_function(object->ce, scope) ? object : nullptr;
    }
    if (ZEND_CALL_NUM_ARGS(m_frame) < 1)
        return nullptr;
    zval* value = ZEND_CALL_ARG(m_frame, 1);
    ZVAL_DEREF(value);
    return Z_TYPE_P(value) == IS_OBJECT ? Z_OBJ_P(value) : nullptr;
}

// The engine hands a method called through its first-class callable ($db->exec(...)) the
// closure as $this by the time the call ends; the object is the one it binds.
zend_object* SqlCall::thisObject() const {
    if (Z_TYPE(m_frame->This) != IS_OBJECT)
        return nullptr;
    zend_object* object = Z_OBJ(m_frame->This);
    if (object->ce != zend_ce_closure)
        return object;
    zval closure;
    ZVAL_OBJ(&closure, object);
    zval* bound = zend_get_closure_this_ptr(&closure);
    return bound && Z_TYPE_P(bound) == IS_OBJECT ? Z_OBJ_P(bound) : nullptr;
}

bool SqlCall::succeeded() const {
    return !EG(exception) && m_result && Z_TYPE_P(m_result) != IS_FALSE;
}

zend_object* SqlCall::resultObject() const {
    return succeeded() && Z_TYPE_P(m_result) == IS_OBJECT ? Z_OBJ_P(m_result) : nullptr;
}

SqlFailure SqlCall::failureFromException(zend_object* exception) {
    SqlFailure failure;
    // The engine's exit and fiber-destruction markers are not exceptions: their class has
    // no property table to read.
    if (zend_is_unwind_exit(exception)) {
        failure.message = QStringLiteral("Interrupted: the script ended during the call");
        return failure;
    }
    if (zend_is_graceful_exit(exception)) {
        failure.message = QStringLiteral("Interrupted: its fiber was destroyed during the call");
        return failure;
    }
    const zval* message = declaredProperty(exception, "message");
    if (message && Z_TYPE_P(message) == IS_STRING)
        failure.message = QString::fromUtf8(Z_STRVAL_P(message), int(Z_STRLEN_P(message)));
    // A PDOException's code is the SQLSTATE; the driver's own code is in errorInfo.
    const zval* info = declaredProperty(exception, "errorInfo");
    if (info && Z_TYPE_P(info) == IS_ARRAY) {
        const zval* code = zend_hash_index_find(Z_ARRVAL_P(info), 1);
        if (code && Z_TYPE_P(code) == IS_LONG && Z_LVAL_P(code) != 0)
            failure.status = int(Z_LVAL_P(code));
    }
    const zval* code = declaredProperty(exception, "code");
    if (failure.status == -1 && code && Z_TYPE_P(code) == IS_LONG && Z_LVAL_P(code) != 0)
        failure.status = int(Z_LVAL_P(code));
    return failure;
}

zend_long SqlCall::readLong(zend_object* object, const char* name) {
    zend_long value = 0;
    if (!object)
        return value;
    quietly([&] {
        zval scratch;
        zval* read = zend_read_property(object->ce, object, name, strlen(name), true, &scratch);
        value = zval_get_long(read);
        if (read == &scratch)
            zval_ptr_dtor(&scratch);
    });
    return value;
}

QString SqlCall::readText(zend_object* object, const char* name) {
    QString text;
    if (!object)
        return text;
    quietly([&] {
        zval scratch;
        zval* read = zend_read_property(object->ce, object, name, strlen(name), true, &scratch);
        if (Z_TYPE_P(read) == IS_STRING)
            text = QString::fromUtf8(Z_STRVAL_P(read), int(Z_STRLEN_P(read)));
        if (read == &scratch)
            zval_ptr_dtor(&scratch);
    });
    return text;
}

void SqlCall::callMethod(const char* cls, zend_object* object, const char* method, zval* result) {
    ZVAL_NULL(result);
    zend_class_entry* base =
        static_cast<zend_class_entry*>(zend_hash_str_find_ptr(CG(class_table), cls, strlen(cls)));
    if (!object || !base || !instanceof_function(object->ce, base))
        return;
    zend_function* fn = static_cast<zend_function*>(
        zend_hash_str_find_ptr(&base->function_table, method, strlen(method)));
    if (!fn)
        return;
    quietly([&] { zend_call_known_instance_method_with_0_params(fn, object, result); });
}
