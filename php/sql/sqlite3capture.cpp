#include "sqlite3capture.h"

#include "engine/handlerwrapper.h"

namespace {

const Sqlite3Capture driver;

void around(int tag, zif_handler original, zend_execute_data* frame, zval* result) {
    SqlStatements::run(driver, SqlOp(tag), false, original, frame, result);
}

void watchMethod(const char* cls, const char* method, SqlOp op) {
    HandlerWrapper::watchMethod(cls, method, &around, int(op));
}

qint64 changes(zend_object* connection, const QByteArray& text) {
    if (StatementText::kind(text, StatementText::Sqlite) != StatementText::DataChange)
        return 0;
    zval count;
    SqlCall::callMethod("sqlite3", connection, "changes", &count);
    const qint64 rows = Z_TYPE(count) == IS_LONG ? Z_LVAL(count) : 0;
    zval_ptr_dtor(&count);
    return rows;
}

} // namespace

void Sqlite3Capture::watch() {
    watchMethod("sqlite3", "__construct", SqlOp::Connect);
    watchMethod("sqlite3", "open", SqlOp::Connect);
    watchMethod("sqlite3", "query", SqlOp::Query);
    watchMethod("sqlite3", "exec", SqlOp::Query);
    watchMethod("sqlite3", "querysingle", SqlOp::Query);
    watchMethod("sqlite3", "prepare", SqlOp::Prepare);
    watchMethod("sqlite3stmt", "__construct", SqlOp::StmtConstruct);
    watchMethod("sqlite3stmt", "bindvalue", SqlOp::BindValue);
    watchMethod("sqlite3stmt", "bindparam", SqlOp::BindParam);
    watchMethod("sqlite3stmt", "clear", SqlOp::Clear);
    watchMethod("sqlite3stmt", "execute", SqlOp::Execute);
}

const char* Sqlite3Capture::name(StatementText::Dialect) const {
    return "sqlite3";
}

StatementText::Dialect Sqlite3Capture::dialect(const SqlCall&) const {
    return StatementText::Sqlite;
}

SqlFailure Sqlite3Capture::lastError(const SqlCall&, zend_object*, zend_object* connection) const {
    SqlFailure failure;
    zval code, message;
    SqlCall::callMethod("sqlite3", connection, "lasterrorcode", &code);
    if (Z_TYPE(code) == IS_LONG && Z_LVAL(code) != 0)
        failure.status = int(Z_LVAL(code));
    SqlCall::callMethod("sqlite3", connection, "lasterrormsg", &message);
    if (Z_TYPE(message) == IS_STRING)
        failure.message = QString::fromUtf8(Z_STRVAL(message), int(Z_STRLEN(message)));
    zval_ptr_dtor(&code);
    zval_ptr_dtor(&message);
    return failure;
}

qint64 Sqlite3Capture::queryRows(const SqlCall&, zend_object* connection, const QByteArray& text,
                                 StatementText::Dialect) const {
    return changes(connection, text);
}

qint64 Sqlite3Capture::executeRows(zend_object*, zend_object* connection,
                                   const QByteArray& text) const {
    return changes(connection, text);
}

// SQLITE3_INTEGER 1, SQLITE3_FLOAT 2, SQLITE3_TEXT 3, SQLITE3_BLOB 4, SQLITE3_NULL 5.
char Sqlite3Capture::bindHint(zval* type) const {
    if (!type || Z_TYPE_P(type) != IS_LONG)
        return 0;
    switch (Z_LVAL_P(type)) {
    case 1:
        return 'i';
    case 2:
        return 'd';
    case 3:
    case 4:
        return 's';
    case 5:
        return 'n';
    default:
        return 0;
    }
}
