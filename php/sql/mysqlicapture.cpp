#include "mysqlicapture.h"

#include "engine/handlerwrapper.h"
#include "sqlvalues.h"

namespace {

const MysqliCapture driver;

const int Procedural = 0x100;

void around(int tag, zif_handler original, zend_execute_data* frame, zval* result) {
    SqlStatements::run(driver, SqlOp(tag & 0xff), (tag & Procedural) != 0, original, frame, result);
}

void watchMethod(const char* cls, const char* method, SqlOp op) {
    HandlerWrapper::watchMethod(cls, method, &around, int(op));
}

void watchFunction(const char* name, SqlOp op) {
    HandlerWrapper::watchFunction(name, &around, int(op) | Procedural);
}

void onStmtPrepare(const SqlCall& call, SqlStatements::Outcome& outcome) {
    zend_object* statementObject = call.self();
    SqlStatements::Statement* statement = SqlStatements::find(statementObject);
    zend_object* linkObject =
        statement && SqlStatements::isLive(statement->connectionObject, statement->connection)
            ? statement->connectionObject
            : nullptr;
    SqlStatements::keepPrepared(driver, call, outcome, statementObject, linkObject,
                                call.textArg(1, SqlStatements::textLimit()), call.succeeded());
}

// bind_param($types, &...$vars): one type letter per variable.
void onBindList(const SqlCall& call, SqlStatements::Statement& statement) {
    const QByteArray types = call.textArg(1, SqlStatements::textLimit());
    for (auto& entry : statement.positional)
        SqlStatements::release(entry.second);
    statement.positional.clear();
    for (int i = 0; i < types.size(); ++i) {
        zval* var = call.rawArg(uint32_t(2 + i));
        if (!var)
            break;
        statement.positional[i] =
            SqlStatements::bind(var, types.at(i) == 'b' ? 'l' : types.at(i), true);
    }
}

void onSendLongData(const SqlCall& call, SqlStatements::Statement& statement) {
    zval* param = call.arg(1);
    zval* data = call.arg(2);
    if (!param || Z_TYPE_P(param) != IS_LONG || Z_LVAL_P(param) < 0 ||
        Z_LVAL_P(param) >= 0x7fffffff || !data || Z_TYPE_P(data) != IS_STRING)
        return;
    SqlStatements::LongData& sent = statement.longData[int(Z_LVAL_P(param))];
    // A few bytes past what is shown, so that the cut falls on a character boundary.
    const qint64 room = StatementText::MaxValueBytes + 4 - qint64(sent.head.size());
    if (room > 0)
        sent.head.append(Z_STRVAL_P(data), int(qMin(room, qint64(Z_STRLEN_P(data)))));
    sent.size += qint64(Z_STRLEN_P(data));
}

void onExecuteQuery(const SqlCall& call, SqlStatements::Outcome& outcome) {
    zend_object* connection = call.self();
    outcome.prepared = call.textArg(1, SqlStatements::textLimit());
    outcome.hasPrepared = true;
    outcome.connection = connection ? connection->handle : 0;
    outcome.dialect = StatementText::MySql;
    zval* params = call.arg(2);
    outcome.resolved = StatementText::resolve(outcome.prepared,
                                              params && Z_TYPE_P(params) == IS_ARRAY
                                                  ? SqlValues::bindingsOf(params, 's')
                                                  : StatementText::Bindings(),
                                              outcome.dialect, SqlStatements::textLimit());
    outcome.ok = call.succeeded();
    if (!outcome.ok)
        outcome.failure = SqlStatements::failureOf(driver, call, nullptr, connection);
    else
        outcome.rows = SqlCall::readLong(connection, "affected_rows");
    SqlStatements::record(driver, outcome);
}

} // namespace

void MysqliCapture::watch() {
    watchMethod("mysqli", "__construct", SqlOp::Connect);
    watchMethod("mysqli", "connect", SqlOp::Connect);
    watchMethod("mysqli", "real_connect", SqlOp::Connect);
    watchMethod("mysqli", "query", SqlOp::Query);
    watchMethod("mysqli", "real_query", SqlOp::Query);
    watchMethod("mysqli", "multi_query", SqlOp::Query);
    watchMethod("mysqli", "prepare", SqlOp::Prepare);
    watchMethod("mysqli", "stmt_init", SqlOp::StmtInit);
    watchMethod("mysqli", "execute_query", SqlOp::ExecuteQuery);
    watchMethod("mysqli", "begin_transaction", SqlOp::Begin);
    watchMethod("mysqli", "commit", SqlOp::Commit);
    watchMethod("mysqli", "rollback", SqlOp::Rollback);
    watchMethod("mysqli_stmt", "__construct", SqlOp::StmtConstruct);
    watchMethod("mysqli_stmt", "prepare", SqlOp::StmtPrepare);
    watchMethod("mysqli_stmt", "bind_param", SqlOp::BindList);
    watchMethod("mysqli_stmt", "send_long_data", SqlOp::SendLongData);
    watchMethod("mysqli_stmt", "reset", SqlOp::Reset);
    watchMethod("mysqli_stmt", "execute", SqlOp::Execute);
    watchFunction("mysqli_connect", SqlOp::Connect);
    watchFunction("mysqli_real_connect", SqlOp::Connect);
    watchFunction("mysqli_query", SqlOp::Query);
    watchFunction("mysqli_real_query", SqlOp::Query);
    watchFunction("mysqli_multi_query", SqlOp::Query);
    watchFunction("mysqli_prepare", SqlOp::Prepare);
    watchFunction("mysqli_stmt_init", SqlOp::StmtInit);
    watchFunction("mysqli_execute_query", SqlOp::ExecuteQuery);
    watchFunction("mysqli_begin_transaction", SqlOp::Begin);
    watchFunction("mysqli_commit", SqlOp::Commit);
    watchFunction("mysqli_rollback", SqlOp::Rollback);
    watchFunction("mysqli_stmt_prepare", SqlOp::StmtPrepare);
    watchFunction("mysqli_stmt_bind_param", SqlOp::BindList);
    watchFunction("mysqli_stmt_send_long_data", SqlOp::SendLongData);
    watchFunction("mysqli_stmt_reset", SqlOp::Reset);
    watchFunction("mysqli_stmt_execute", SqlOp::Execute);
    watchFunction("mysqli_execute", SqlOp::Execute);
}

const char* MysqliCapture::name(StatementText::Dialect) const {
    return "mysqli";
}

StatementText::Dialect MysqliCapture::dialect(const SqlCall&) const {
    return StatementText::MySql;
}

// mysqli keeps a statement's error on the statement, the others on the connection.
SqlFailure MysqliCapture::lastError(const SqlCall&, zend_object* statement,
                                    zend_object* connection) const {
    SqlFailure failure;
    zend_object* source = statement ? statement : connection;
    if (source) {
        const zend_long code = SqlCall::readLong(source, "errno");
        failure.status = code ? int(code) : -1;
        failure.message = SqlCall::readText(source, "error");
    }
    return failure;
}

qint64 MysqliCapture::queryRows(const SqlCall&, zend_object* connection, const QByteArray&,
                                StatementText::Dialect) const {
    return SqlCall::readLong(connection, "affected_rows");
}

qint64 MysqliCapture::executeRows(zend_object* statement, zend_object*, const QByteArray&) const {
    return SqlCall::readLong(statement, "affected_rows");
}

bool MysqliCapture::finishOwn(const SqlCall& call, SqlStatements::Outcome& outcome) const {
    switch (call.op()) {
    case SqlOp::StmtInit:
        if (zend_object* object = call.resultObject())
            SqlStatements::create(object, call.self(), StatementText::MySql);
        return true;
    case SqlOp::StmtPrepare:
        onStmtPrepare(call, outcome);
        return true;
    case SqlOp::ExecuteQuery:
        onExecuteQuery(call, outcome);
        return true;
    case SqlOp::BindList:
    case SqlOp::SendLongData:
    case SqlOp::Reset:
        break;
    default:
        return false;
    }
    SqlStatements::Statement* statement =
        call.succeeded() ? SqlStatements::find(call.self()) : nullptr;
    if (!statement)
        return true;
    if (call.op() == SqlOp::BindList)
        onBindList(call, *statement);
    else if (call.op() == SqlOp::SendLongData)
        onSendLongData(call, *statement);
    else
        statement->longData.clear();
    return true;
}
