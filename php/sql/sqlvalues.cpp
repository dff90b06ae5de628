#include "sqlvalues.h"

namespace {

QByteArray number(zend_long value) {
    return QByteArray::number(qint64(value));
}

QByteArray number(double value) {
    // As PHP turns the float into a string.
    zend_string* text = zend_double_to_str(value);
    QByteArray out(ZSTR_VAL(text), int(ZSTR_LEN(text)));
    zend_string_release(text);
    return out;
}

bool isScalar(const zval* value) {
    return Z_TYPE_P(value) == IS_LONG || Z_TYPE_P(value) == IS_DOUBLE ||
           Z_TYPE_P(value) == IS_STRING || Z_TYPE_P(value) == IS_TRUE ||
           Z_TYPE_P(value) == IS_FALSE;
}

} // namespace

QByteArray SqlValues::literal(zval* value, char hint) {
    ZVAL_DEREF(value);
    if (Z_TYPE_P(value) <= IS_NULL || hint == 'n')
        return "NULL";
    if (hint == 'l')
        return "''";
    if (isScalar(value)) {
        switch (hint) {
        case 'i':
            return number(zval_get_long(value));
        case 'd':
            return number(zval_get_double(value));
        case 'b':
            return zend_is_true(value) ? "1" : "0";
        case 's':
            if (Z_TYPE_P(value) != IS_STRING) {
                zend_string* text = zval_get_string(value);
                QByteArray out = StatementText::stringLiteral(ZSTR_VAL(text), ZSTR_LEN(text));
                zend_string_release(text);
                return out;
            }
            break;
        default:
            break;
        }
    }
    switch (Z_TYPE_P(value)) {
    case IS_FALSE:
        return "0";
    case IS_TRUE:
        return "1";
    case IS_LONG:
        return number(Z_LVAL_P(value));
    case IS_DOUBLE:
        return number(Z_DVAL_P(value));
    case IS_STRING:
        return StatementText::stringLiteral(Z_STRVAL_P(value), Z_STRLEN_P(value));
    case IS_ARRAY:
        return "'Array'";
    case IS_OBJECT:
        return "'Object(" + QByteArray(ZSTR_VAL(Z_OBJCE_P(value)->name)) + ")'";
    case IS_RESOURCE:
        return "'Resource id #" + QByteArray::number(qint64(Z_RES_HANDLE_P(value))) + "'";
    default:
        return "NULL";
    }
}

QByteArray SqlValues::bareName(const char* name, size_t length) {
    if (length > 0 && (name[0] == ':' || name[0] == '@' || name[0] == '$'))
        ++name, --length;
    return QByteArray(name, int(length));
}

StatementText::Bindings SqlValues::bindingsOf(zval* array, char hint) {
    StatementText::Bindings bindings;
    zend_ulong index;
    zend_string* key;
    zval* value;
    ZEND_HASH_FOREACH_KEY_VAL(Z_ARRVAL_P(array), index, key, value) {
        if (key)
            bindings.named.insert(bareName(ZSTR_VAL(key), ZSTR_LEN(key)),
                                  SqlValues::literal(value, hint));
        else if (index < 0x7fffffff)
            bindings.positional.insert(int(index), SqlValues::literal(value, hint));
    }
    ZEND_HASH_FOREACH_END();
    return bindings;
}
