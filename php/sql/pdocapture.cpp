#include "pdocapture.h"

#include "engine/handlerwrapper.h"

extern "C" {
#include "ext/pdo/php_pdo_driver.h"
}

namespace {

const PdoCapture driver;

pdo_dbh_t* pdoConnection(zend_object* object) {
    return object ? php_pdo_dbh_fetch_inner(object) : nullptr;
}

pdo_stmt_t* pdoStatement(zend_object* object) {
    return object ? php_pdo_stmt_fetch_object(object) : nullptr;
}

StatementText::Dialect pdoDialect(pdo_dbh_t* dbh) {
    if (dbh && dbh->driver && dbh->driver->driver_name &&
        strcmp(dbh->driver->driver_name, "mysql") == 0)
        return StatementText::MySql;
    return StatementText::Sqlite;
}

// What PDO::errorInfo() / PDOStatement::errorInfo() would give, read through the driver.
SqlFailure pdoFailure(pdo_dbh_t* dbh, pdo_stmt_t* stmt) {
    SqlFailure failure;
    if (!dbh)
        return failure;
    const char* sqlState = stmt ? stmt->error_code : dbh->error_code;
    zval info;
    array_init(&info);
    add_next_index_string(&info, sqlState);
    if (dbh->methods && dbh->methods->fetch_err) {
        SqlCall::Busy busy;
        dbh->methods->fetch_err(dbh, stmt, &info);
    }
    zval* code = zend_hash_index_find(Z_ARRVAL(info), 1);
    zval* message = zend_hash_index_find(Z_ARRVAL(info), 2);
    if (code && Z_TYPE_P(code) == IS_LONG && Z_LVAL_P(code) != 0)
        failure.status = int(Z_LVAL_P(code));
    failure.message = QStringLiteral("SQLSTATE[%1]").arg(QString::fromLatin1(sqlState));
    if (message && Z_TYPE_P(message) == IS_STRING)
        failure.message +=
            QStringLiteral(": ") + QString::fromUtf8(Z_STRVAL_P(message), int(Z_STRLEN_P(message)));
    zval_ptr_dtor(&info);
    return failure;
}

void around(int tag, zif_handler original, zend_execute_data* frame, zval* result) {
    SqlStatements::run(driver, SqlOp(tag), false, original, frame, result);
}

void watchMethod(const char* cls, const char* method, SqlOp op) {
    HandlerWrapper::watchMethod(cls, method, &around, int(op));
}

} // namespace

void PdoCapture::watch() {
    watchMethod("pdo", "__construct", SqlOp::Connect);
    watchMethod("pdo", "query", SqlOp::Query);
    watchMethod("pdo", "exec", SqlOp::Query);
    watchMethod("pdo", "prepare", SqlOp::Prepare);
    watchMethod("pdo", "begintransaction", SqlOp::Begin);
    watchMethod("pdo", "commit", SqlOp::Commit);
    watchMethod("pdo", "rollback", SqlOp::Rollback);
    watchMethod("pdostatement", "execute", SqlOp::Execute);
    watchMethod("pdostatement", "bindvalue", SqlOp::BindValue);
    watchMethod("pdostatement", "bindparam", SqlOp::BindParam);
}

const char* PdoCapture::name(StatementText::Dialect dialect) const {
    return dialect == StatementText::MySql ? "pdo_mysql" : "pdo_sqlite";
}

StatementText::Dialect PdoCapture::dialect(const SqlCall& call) const {
    return pdoDialect(pdoConnection(call.self()));
}

SqlFailure PdoCapture::lastError(const SqlCall&, zend_object* statement,
                                 zend_object* connection) const {
    if (statement) {
        if (pdo_stmt_t* stmt = pdoStatement(statement))
            return pdoFailure(stmt->dbh, stmt);
    } else if (pdo_dbh_t* dbh = pdoConnection(connection)) {
        return pdoFailure(dbh, dbh->query_stmt);
    }
    return SqlFailure();
}

qint64 PdoCapture::queryRows(const SqlCall& call, zend_object* connection, const QByteArray& text,
                             StatementText::Dialect dialect) const {
    if (Z_TYPE_P(call.result()) == IS_LONG)
        return Z_LVAL_P(call.result());
    zend_object* object = call.resultObject();
    if (!object)
        return 0;
    // The statement may be executed again.
    SqlStatements::create(object, connection, dialect).text = text;
    return pdoStatement(object)->row_count;
}

qint64 PdoCapture::executeRows(zend_object* statement, zend_object*, const QByteArray&) const {
    return pdoStatement(statement)->row_count;
}

char PdoCapture::bindHint(zval* type) const {
    if (!type || Z_TYPE_P(type) != IS_LONG)
        return 0;
    switch (Z_LVAL_P(type) & 0xFFFF) {
    case PDO_PARAM_NULL:
        return 'n';
    case PDO_PARAM_INT:
        return 'i';
    case PDO_PARAM_BOOL:
        return 'b';
    default:
        return 0;
    }
}

// A PDO statement not seen being prepared is taken from its own query text.
SqlStatements::Statement* PdoCapture::adopt(zend_object* object) const {
    pdo_stmt_t* stmt = pdoStatement(object);
    if (!stmt->dbh || !stmt->query_string)
        return nullptr;
    zend_object* connection = Z_TYPE(stmt->database_object_handle) == IS_OBJECT
                                  ? Z_OBJ(stmt->database_object_handle)
                                  : nullptr;
    SqlStatements::Statement& statement =
        SqlStatements::create(object, connection, pdoDialect(stmt->dbh));
    statement.text = StatementText::bounded(
        ZSTR_VAL(stmt->query_string), ZSTR_LEN(stmt->query_string), SqlStatements::textLimit());
    return &statement;
}
