#include "sqlstatements.h"

#include "collector/collectorhost.h"
#include "engine/calltimer.h"
#include "engine/requestclock.h"
#include "sqldriver.h"
#include "sqlvalues.h"

#include <trel/ktrel.h>

#include <climits>
#include <unordered_map>

namespace {

// Statement texts a request keeps in all before each further text is cut to
// StatementText::MinTextBytes: a script that runs many huge statements must not make the
// worker's memory grow without bound (kept as UTF-16, they take twice this).
const qint64 TextBudget = 2 << 20;

struct RequestState {
    std::unordered_map<uint32_t, SqlStatements::Statement> statements; // by object handle
    std::unordered_map<uint32_t, qint64> transactions; // open transaction by connection
    qint64 lastTransaction = 0;
    CallTimer timer;
    qint64 databaseTime = 0;
    qint64 textBudget = TextBudget;
};

RequestState requestState;
bool collecting = false;

uint32_t handleOf(zend_object* object) {
    return object ? object->handle : 0;
}

QByteArray render(const SqlStatements::Bound& bound) {
    if (!bound.reference)
        return bound.literal;
    return SqlValues::literal(&bound.reference->val, bound.hint);
}

SqlStatements::Statement* statementOf(const SqlDriver& driver, zend_object* object) {
    if (!object)
        return nullptr;
    if (SqlStatements::Statement* statement = SqlStatements::find(object))
        return statement;
    return driver.adopt(object);
}

void onQuery(const SqlDriver& driver, const SqlCall& call, SqlStatements::Outcome& outcome) {
    zend_object* connection = call.self();
    outcome.prepared = call.textArg(1, SqlStatements::textLimit());
    outcome.connection = handleOf(connection);
    outcome.dialect = driver.dialect(call);
    outcome.ok = call.succeeded();
    if (!outcome.ok) {
        outcome.failure = SqlStatements::failureOf(driver, call, nullptr, connection);
        outcome.ok = driver.falseMaySucceed() && !EG(exception) && outcome.failure.status == -1;
    }
    if (outcome.ok)
        outcome.rows = driver.queryRows(call, connection, outcome.prepared, outcome.dialect);
    SqlStatements::record(driver, outcome);
}

void onPrepare(const SqlDriver& driver, const SqlCall& call, SqlStatements::Outcome& outcome) {
    if (call.op() == SqlOp::Prepare) {
        SqlStatements::keepPrepared(driver, call, outcome, call.resultObject(), call.self(),
                                    call.textArg(1, SqlStatements::textLimit()), call.succeeded());
        return;
    }
    // new X($connection, $query): an absent query (mysqli) leaves the statement to prepare().
    zend_object* statementObject = call.self();
    zval* link = call.arg(1);
    zend_object* linkObject = link && Z_TYPE_P(link) == IS_OBJECT ? Z_OBJ_P(link) : nullptr;
    if (!call.arg(2)) {
        if (statementObject && !EG(exception))
            SqlStatements::create(statementObject, linkObject, StatementText::MySql);
        return;
    }
    SqlStatements::keepPrepared(driver, call, outcome, EG(exception) ? nullptr : statementObject,
                                linkObject, call.textArg(2, SqlStatements::textLimit()),
                                !EG(exception));
}

void onBind(const SqlDriver& driver, const SqlCall& call) {
    if (!call.succeeded())
        return;
    SqlStatements::Statement* statement = statementOf(driver, call.self());
    if (!statement)
        return;
    if (call.op() == SqlOp::Clear) {
        SqlStatements::releaseAll(*statement);
        return;
    }
    zval* param = call.arg(1);
    zval* value = call.rawArg(2);
    if (!param || !value)
        return;
    SqlStatements::Bound bound =
        SqlStatements::bind(value, driver.bindHint(call.arg(3)), call.op() == SqlOp::BindParam);
    if (Z_TYPE_P(param) == IS_LONG) {
        if (Z_LVAL_P(param) >= 1 && Z_LVAL_P(param) < 0x7fffffff)
            SqlStatements::put(statement->positional[int(Z_LVAL_P(param) - 1)], std::move(bound));
        else
            SqlStatements::release(bound);
    } else if (Z_TYPE_P(param) == IS_STRING) {
        SqlStatements::put(
            statement->named[SqlValues::bareName(Z_STRVAL_P(param), Z_STRLEN_P(param))],
            std::move(bound));
    } else {
        SqlStatements::release(bound);
    }
}

StatementText::Bindings bindingsOf(const SqlStatements::Statement& statement) {
    StatementText::Bindings bindings;
    for (const auto& entry : statement.positional)
        bindings.positional.insert(entry.first, render(entry.second));
    for (const auto& entry : statement.named)
        bindings.named.insert(entry.first, render(entry.second));
    return bindings;
}

void onExecute(const SqlDriver& driver, const SqlCall& call, SqlStatements::Outcome& outcome) {
    zend_object* statementObject = call.self();
    SqlStatements::Statement* statement = statementOf(driver, statementObject);
    outcome.hasPrepared = true;
    outcome.ok = call.succeeded();
    zend_object* connection = nullptr;
    if (statement) {
        outcome.prepared = statement->text;
        outcome.dialect = statement->dialect;
        outcome.connection = statement->connection;
        if (SqlStatements::isLive(statement->connectionObject, statement->connection))
            connection = statement->connectionObject;
        zval* params = call.arg(1);
        StatementText::Bindings bindings = params && Z_TYPE_P(params) == IS_ARRAY
                                               ? SqlValues::bindingsOf(params, driver.arrayHint())
                                               : bindingsOf(*statement);
        for (const auto& entry : statement->longData)
            bindings.positional.insert(
                entry.first,
                StatementText::stringLiteral(entry.second.head.constData(),
                                             size_t(entry.second.head.size()), entry.second.size));
        statement->longData.clear();
        outcome.resolved = StatementText::resolve(statement->text, bindings, statement->dialect,
                                                  SqlStatements::textLimit());
    }
    if (!outcome.ok)
        outcome.failure = SqlStatements::failureOf(driver, call, statementObject, connection);
    else if (statementObject)
        outcome.rows = driver.executeRows(statementObject, connection, outcome.prepared);
    SqlStatements::record(driver, outcome);
}

void onTransaction(const SqlDriver& driver, const SqlCall& call, SqlStatements::Outcome& outcome) {
    zend_object* connection = call.self();
    outcome.connection = handleOf(connection);
    outcome.dialect = driver.dialect(call);
    switch (call.op()) {
    case SqlOp::Begin:
        outcome.kind = StatementText::Begin;
        outcome.prepared = "START TRANSACTION";
        break;
    case SqlOp::Commit:
        outcome.kind = StatementText::Commit;
        outcome.prepared = "COMMIT";
        break;
    default:
        outcome.kind = StatementText::Rollback;
        outcome.prepared = "ROLLBACK";
        break;
    }
    outcome.ok = call.succeeded();
    if (!outcome.ok)
        outcome.failure = SqlStatements::failureOf(driver, call, nullptr, connection);
    SqlStatements::record(driver, outcome);
}

void finish(const SqlDriver& driver, const SqlCall& call, qint64 elapsed) {
    SqlStatements::Outcome outcome;
    outcome.elapsed = elapsed;
    switch (call.op()) {
    case SqlOp::Connect:
        // A connection object that reuses a closed one's handle starts outside any
        // transaction.
        if (zend_object* connection = call.resultObject() ? call.resultObject() : call.self())
            requestState.transactions.erase(connection->handle);
        break;
    case SqlOp::Query:
        onQuery(driver, call, outcome);
        break;
    case SqlOp::Prepare:
    case SqlOp::StmtConstruct:
        onPrepare(driver, call, outcome);
        break;
    case SqlOp::BindValue:
    case SqlOp::BindParam:
    case SqlOp::Clear:
        onBind(driver, call);
        break;
    case SqlOp::Execute:
        onExecute(driver, call, outcome);
        break;
    case SqlOp::Begin:
    case SqlOp::Commit:
    case SqlOp::Rollback:
        onTransaction(driver, call, outcome);
        break;
    default:
        driver.finishOwn(call, outcome);
        break;
    }
}

} // namespace

void SqlStatements::run(const SqlDriver& driver, SqlOp op, bool procedural, zif_handler original,
                        zend_execute_data* frame, zval* result) {
    if (!collecting || SqlCall::isBusy()) {
        original(frame, result);
        return;
    }
    requestState.timer.begin(frame);
    original(frame, result);
    // The request's end may have come inside the call (a fiber destroyed then).
    if (!collecting || SqlCall::isBusy())
        return;
    qint64 elapsed = 0;
    int unused = 0;
    bool outermost = false;
    if (!requestState.timer.end(frame, elapsed, unused, outermost))
        return;
    if (outermost)
        requestState.databaseTime += elapsed;
    CollectorHost::guard("SQL capture", [&] {
        finish(driver, SqlCall(frame, EG(exception) ? nullptr : result, op, procedural), elapsed);
    });
}

void SqlStatements::startRequest() {
    // Anything left from an earlier request belongs to memory the engine has freed.
    requestState.statements.clear();
    requestState.transactions.clear();
    requestState.lastTransaction = 0;
    requestState.timer.clear();
    requestState.databaseTime = 0;
    requestState.textBudget = TextBudget;
    SqlCall::clearBusy();
    collecting = true;
}

void SqlStatements::endRequest() {
    collecting = false;
    for (auto& entry : requestState.statements)
        releaseAll(entry.second);
    requestState.statements.clear();
    requestState.transactions.clear();
    requestState.timer.clear();
}

qint64 SqlStatements::databaseTime() {
    return requestState.databaseTime;
}

int SqlStatements::textLimit() {
    return int(qBound(qint64(StatementText::MinTextBytes), requestState.textBudget,
                      qint64(StatementText::MaxTextBytes)));
}

SqlStatements::Statement& SqlStatements::create(zend_object* object, zend_object* connection,
                                                StatementText::Dialect dialect) {
    Statement& statement = requestState.statements[object->handle];
    releaseAll(statement);
    statement = Statement();
    statement.connection = handleOf(connection);
    statement.connectionObject = connection;
    statement.dialect = dialect;
    return statement;
}

SqlStatements::Statement* SqlStatements::find(zend_object* object) {
    if (!object)
        return nullptr;
    auto found = requestState.statements.find(object->handle);
    return found == requestState.statements.end() ? nullptr : &found->second;
}

bool SqlStatements::isLive(zend_object* object, uint32_t handle) {
    if (!object || handle >= EG(objects_store).top)
        return false;
    zend_object* stored = EG(objects_store).object_buckets[handle];
    return stored == object && IS_OBJ_VALID(stored);
}

SqlStatements::Bound SqlStatements::bind(zval* value, char hint, bool byReference) {
    Bound bound;
    bound.hint = hint;
    if (byReference && Z_ISREF_P(value)) {
        bound.reference = Z_REF_P(value);
        GC_ADDREF(bound.reference);
    } else {
        bound.literal = SqlValues::literal(value, hint);
    }
    return bound;
}

void SqlStatements::put(Bound& slot, Bound&& value) {
    release(slot);
    slot = std::move(value);
}

void SqlStatements::release(Bound& bound) {
    if (!bound.reference)
        return;
    zval held;
    ZVAL_REF(&held, bound.reference);
    bound.reference = nullptr;
    zval_ptr_dtor(&held);
}

void SqlStatements::releaseAll(Statement& statement) {
    for (auto& entry : statement.positional)
        release(entry.second);
    for (auto& entry : statement.named)
        release(entry.second);
    statement.positional.clear();
    statement.named.clear();
    statement.longData.clear();
}

void SqlStatements::keepPrepared(const SqlDriver& driver, const SqlCall& call, Outcome& outcome,
                                 zend_object* object, zend_object* connection,
                                 const QByteArray& text, bool ok) {
    outcome.dialect = driver.dialect(call);
    if (ok && object) {
        Statement* statement = find(object);
        if (call.op() == SqlOp::StmtPrepare && statement) {
            releaseAll(*statement);
            statement->dialect = outcome.dialect;
        } else {
            statement = &create(object, connection, outcome.dialect);
        }
        statement->text = text;
        return;
    }
    if (ok)
        return;
    outcome.prepared = text;
    outcome.resolved = text;
    outcome.hasPrepared = true;
    outcome.ok = false;
    outcome.connection = handleOf(connection);
    outcome.failure = failureOf(driver, call, object, connection);
    record(driver, outcome);
}

SqlFailure SqlStatements::failureOf(const SqlDriver& driver, const SqlCall& call,
                                    zend_object* statement, zend_object* connection) {
    if (EG(exception))
        return SqlCall::failureFromException(EG(exception));
    return driver.lastError(call, statement, connection);
}

void SqlStatements::record(const SqlDriver& driver, Outcome& outcome) {
    StatementText::Kind kind = outcome.kind;
    if (kind == StatementText::Other)
        kind = StatementText::kind(outcome.prepared, outcome.dialect);
    auto& transactions = requestState.transactions;
    if (kind == StatementText::Begin && outcome.ok)
        transactions[outcome.connection] = ++requestState.lastTransaction;
    const auto open = transactions.find(outcome.connection);
    const qint64 transaction = open == transactions.end() ? 0 : open->second;
    if ((kind == StatementText::Commit || kind == StatementText::Rollback) &&
        open != transactions.end())
        transactions.erase(open);

    KTrel::SqlQuery query;
    query.preparedStatement = QString::fromUtf8(outcome.prepared);
    // A statement run as written has its literals masked as a prepared one's values are;
    // the text itself is not stored apart from the resolved one.
    query.resolvedStatement = QString::fromUtf8(
        outcome.hasPrepared
            ? outcome.resolved
            : StatementText::resolve(outcome.prepared, {}, outcome.dialect, textLimit()));
    query.hasPreparedStatement = outcome.hasPrepared;
    query.status = outcome.ok ? 0 : outcome.failure.status;
    query.errorMessage = outcome.ok ? QString() : outcome.failure.message;
    query.rowsAffected = outcome.ok ? int(qBound(qint64(0), outcome.rows, qint64(INT_MAX))) : 0;
    query.queryTime = outcome.elapsed;
    query.startUs = RequestClock::offset(CallTimer::now() - outcome.elapsed);
    query.transactionId = transaction;
    query.extraText = QString::fromLatin1(driver.name(outcome.dialect));
    requestState.textBudget -= outcome.prepared.size();
    if (outcome.hasPrepared)
        requestState.textBudget -= outcome.resolved.size();

    SqlCall::Busy busy;
    KTrel* trel = CollectorHost::current();
    if (!trel)
        return;
    trel->addRequestSqlQuery(query);
    if (!outcome.ok && trel->isEventCollectionEnabled())
        trel->addEventAggKey("db.query_error:" + QByteArray::number(query.status));
}
