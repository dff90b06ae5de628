#include "sqlcapture.h"

#include "calltimer.h"
#include "collectorhost.h"
#include "handlerwrapper.h"
#include "php_trel.h"
#include "statementtext.h"

#include <trel/ktrel.h>

extern "C" {
#include "Zend/zend_closures.h"
#include "Zend/zend_exceptions.h"
#include "Zend/zend_interfaces.h"
#include "ext/pdo/php_pdo_driver.h"
}

#include <cctype>
#include <climits>
#include <map>
#include <string>
#include <unordered_map>

namespace {

enum class Api { Pdo, Mysqli, Sqlite3 };

enum class Op {
    Connect,       // connection time counts as database time; nothing is recorded
    Query,         // runs its text argument
    Prepare,       // connection method returning a statement object
    StmtInit,      // mysqli::stmt_init: a statement without text yet
    StmtConstruct, // new mysqli_stmt($link[, $query]), new SQLite3Stmt($db, $query)
    StmtPrepare,   // mysqli_stmt::prepare($query)
    BindValue,     // ($param, $value[, $type])
    BindParam,     // ($param, &$var[, $type])
    BindList,      // mysqli_stmt::bind_param($types, &...$vars)
    SendLongData,  // mysqli_stmt::send_long_data($param, $data)
    Reset,         // mysqli_stmt::reset(): the long data sent is dropped
    Clear,         // SQLite3Stmt::clear()
    Execute,       // runs a statement with its bound values or the given array
    ExecuteQuery,  // mysqli::execute_query($query[, $params])
    Begin,
    Commit,
    Rollback,
};

struct Watched {
    Api api;
    Op op;
    bool procedural; // mysqli_*() functions take the object as their first argument
};

// A bound value: its literal, or for a bound variable the reference read at execute.
struct Bound {
    QByteArray literal;
    zend_reference* reference = nullptr;
    char hint = 0;
};

// Data sent for a parameter with mysqli_stmt::send_long_data() since the last execute: its
// head, enough to show, and its size.
struct LongData {
    QByteArray head;
    qint64 size = 0;
};

struct Statement {
    QByteArray text;
    uint32_t connection = 0;
    zend_object* connectionObject = nullptr; // not owned: checked against the store
    StatementText::Dialect dialect = StatementText::MySql;
    std::map<int, Bound> positional;
    std::map<QByteArray, Bound> named;
    // The server takes a parameter's long data in place of its bound value, whatever its
    // type, and drops it at execute and reset.
    std::map<int, LongData> longData;
};

struct Failure {
    int status = 0;
    QString message;
};

// Statement texts a request keeps in all before each further text is cut to
// StatementText::MinTextBytes: a script that runs many huge statements must not make the
// worker's memory grow without bound.
const qint64 TextBudget = 8 << 20;

struct RequestState {
    std::unordered_map<uint32_t, Statement> statements; // by statement object handle
    std::unordered_map<uint32_t, qint64> transactions;  // open transaction by connection
    qint64 lastTransaction = 0;
    CallTimer timer;
    qint64 databaseTime = 0;
    qint64 textBudget = TextBudget;
    int busy = 0; // our own calls into the engine and the collector are not observed
};

RequestState requestState;
bool collectingSql = false;

// The most one statement text may hold now.
int textLimit() {
    return int(qBound(qint64(StatementText::MinTextBytes), requestState.textBudget,
                      qint64(StatementText::MaxTextBytes)));
}

class BusyGuard {
public:
    BusyGuard() { ++requestState.busy; }
    ~BusyGuard() { --requestState.busy; }
};

// ---- references held for bound variables ---------------------------------------------

void release(Bound& bound) {
    if (!bound.reference)
        return;
    zval held;
    ZVAL_REF(&held, bound.reference);
    bound.reference = nullptr;
    zval_ptr_dtor(&held);
}

void releaseAll(Statement& statement) {
    for (auto& entry : statement.positional)
        release(entry.second);
    for (auto& entry : statement.named)
        release(entry.second);
    statement.positional.clear();
    statement.named.clear();
    statement.longData.clear();
}

void put(Bound& slot, Bound&& value) {
    release(slot);
    slot = std::move(value);
}

// ---- values as SQL literals ----------------------------------------------------------

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

// hint: 'n' NULL, 'i' integer, 'd' float, 'b' boolean, 's' string, 'l' mysqli's blob
// (sent as its long data, else empty unless NULL), 0 as the value is.
// Nothing here calls into PHP code (no __toString).
QByteArray literal(zval* value, char hint) {
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

char pdoHint(zval* type) {
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

// SQLITE3_INTEGER 1, SQLITE3_FLOAT 2, SQLITE3_TEXT 3, SQLITE3_BLOB 4, SQLITE3_NULL 5.
char sqliteHint(zval* type) {
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

QByteArray render(const Bound& bound) {
    if (!bound.reference)
        return bound.literal;
    return literal(&bound.reference->val, bound.hint);
}

QByteArray bareName(const char* name, size_t length) {
    if (length > 0 && (name[0] == ':' || name[0] == '@' || name[0] == '$'))
        ++name, --length;
    return QByteArray(name, int(length));
}

StatementText::Bindings bindingsOf(const Statement& statement) {
    StatementText::Bindings bindings;
    for (const auto& entry : statement.positional)
        bindings.positional.insert(entry.first, render(entry.second));
    for (const auto& entry : statement.named)
        bindings.named.insert(entry.first, render(entry.second));
    return bindings;
}

// Values passed to execute() as an array: integer keys are positions from 0, string keys
// names.
StatementText::Bindings bindingsOf(zval* array, char hint) {
    StatementText::Bindings bindings;
    zend_ulong index;
    zend_string* key;
    zval* value;
    ZEND_HASH_FOREACH_KEY_VAL(Z_ARRVAL_P(array), index, key, value) {
        if (key)
            bindings.named.insert(bareName(ZSTR_VAL(key), ZSTR_LEN(key)), literal(value, hint));
        else if (index < 0x7fffffff)
            bindings.positional.insert(int(index), literal(value, hint));
    }
    ZEND_HASH_FOREACH_END();
    return bindings;
}

// ---- the call being observed ---------------------------------------------------------

struct Call {
    zend_execute_data* frame;
    zval* result; // null when the call threw
    Watched watched;

    // The n-th argument from 1, as the method form numbers them.
    zval* arg(uint32_t n) const {
        const uint32_t index = n + (watched.procedural ? 1 : 0);
        if (index > ZEND_CALL_NUM_ARGS(frame))
            return nullptr;
        zval* value = ZEND_CALL_ARG(frame, index);
        ZVAL_DEREF(value);
        return Z_TYPE_P(value) == IS_UNDEF ? nullptr : value;
    }
    zval* rawArg(uint32_t n) const {
        const uint32_t index = n + (watched.procedural ? 1 : 0);
        return index > ZEND_CALL_NUM_ARGS(frame) ? nullptr : ZEND_CALL_ARG(frame, index);
    }
    // A string argument, bounded() as every kept statement text is.
    QByteArray textArg(uint32_t n) const {
        zval* value = arg(n);
        if (!value || Z_TYPE_P(value) != IS_STRING)
            return QByteArray();
        return StatementText::bounded(Z_STRVAL_P(value), Z_STRLEN_P(value), textLimit());
    }
    // $this, or the first argument of the procedural form. A method's object is checked
    // to be of the method's class, so that its driver structures may be read.
    zend_object* self() const {
        if (!watched.procedural) {
            zend_object* object = thisObject();
            zend_class_entry* scope = frame->func->common.scope;
            return object && scope && instanceof_function(object->ce, scope) ? object : nullptr;
        }
        if (ZEND_CALL_NUM_ARGS(frame) < 1)
            return nullptr;
        zval* value = ZEND_CALL_ARG(frame, 1);
        ZVAL_DEREF(value);
        return Z_TYPE_P(value) == IS_OBJECT ? Z_OBJ_P(value) : nullptr;
    }
    // The engine hands a method called through its first-class callable ($db->exec(...))
    // the closure as $this by the time the call ends; the object is the one it binds.
    zend_object* thisObject() const {
        if (Z_TYPE(frame->This) != IS_OBJECT)
            return nullptr;
        zend_object* object = Z_OBJ(frame->This);
        if (object->ce != zend_ce_closure)
            return object;
        zval closure;
        ZVAL_OBJ(&closure, object);
        zval* bound = zend_get_closure_this_ptr(&closure);
        return bound && Z_TYPE_P(bound) == IS_OBJECT ? Z_OBJ_P(bound) : nullptr;
    }
    bool succeeded() const { return !EG(exception) && result && Z_TYPE_P(result) != IS_FALSE; }
    zend_object* resultObject() const {
        return succeeded() && Z_TYPE_P(result) == IS_OBJECT ? Z_OBJ_P(result) : nullptr;
    }
};

const char* driverName(Api api, StatementText::Dialect dialect) {
    switch (api) {
    case Api::Pdo:
        return dialect == StatementText::MySql ? "pdo_mysql" : "pdo_sqlite";
    case Api::Mysqli:
        return "mysqli";
    default:
        return "sqlite3";
    }
}

bool objectIsLive(zend_object* object, uint32_t handle) {
    if (!object || handle >= EG(objects_store).top)
        return false;
    zend_object* stored = EG(objects_store).object_buckets[handle];
    return stored == object && IS_OBJ_VALID(stored);
}

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

StatementText::Dialect dialectOf(const Call& call) {
    if (call.watched.api == Api::Mysqli)
        return StatementText::MySql;
    if (call.watched.api == Api::Sqlite3)
        return StatementText::Sqlite;
    return pdoDialect(pdoConnection(call.self()));
}

// Runs fn with any exception it raises discarded: the script must not see our reads.
template <typename F> void quietly(F fn) {
    if (EG(exception))
        return;
    BusyGuard busy;
    fn();
    if (EG(exception))
        zend_clear_exception();
}

zend_long readLong(zend_object* object, const char* name) {
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

QString readText(zend_object* object, const char* name) {
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

// Calls a method of the SQLite3 class itself on a connection (a subclass's override is not
// run), with no arguments.
void callSqlite3(zend_object* db, const char* method, zval* result) {
    ZVAL_NULL(result);
    zend_class_entry* base =
        static_cast<zend_class_entry*>(zend_hash_str_find_ptr(CG(class_table), "sqlite3", 7));
    if (!db || !base || !instanceof_function(db->ce, base))
        return;
    zend_function* fn = static_cast<zend_function*>(
        zend_hash_str_find_ptr(&base->function_table, method, strlen(method)));
    if (!fn)
        return;
    quietly([&] { zend_call_known_instance_method_with_0_params(fn, db, result); });
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

Failure failureFromException(zend_object* exception) {
    Failure failure;
    failure.status = -1;
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

// What PDO::errorInfo() / PDOStatement::errorInfo() would give, read through the driver.
Failure pdoFailure(pdo_dbh_t* dbh, pdo_stmt_t* stmt) {
    Failure failure;
    failure.status = -1;
    if (!dbh)
        return failure;
    const char* sqlState = stmt ? stmt->error_code : dbh->error_code;
    zval info;
    array_init(&info);
    add_next_index_string(&info, sqlState);
    if (dbh->methods && dbh->methods->fetch_err) {
        BusyGuard busy;
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

// Why the call failed: the exception in flight, else the driver's last error on `object`
// (the connection, or for mysqli a statement).
Failure failureOf(const Call& call, zend_object* object, zend_object* connection) {
    if (EG(exception))
        return failureFromException(EG(exception));
    Failure failure;
    failure.status = -1;
    switch (call.watched.api) {
    case Api::Pdo:
        if (call.watched.op == Op::Execute) {
            if (pdo_stmt_t* stmt = pdoStatement(object))
                return pdoFailure(stmt->dbh, stmt);
        } else if (pdo_dbh_t* dbh = pdoConnection(connection)) {
            return pdoFailure(dbh, dbh->query_stmt);
        }
        break;
    case Api::Mysqli:
        if (object) {
            const zend_long code = readLong(object, "errno");
            failure.status = code ? int(code) : -1;
            failure.message = readText(object, "error");
        }
        break;
    case Api::Sqlite3: {
        zval code, message;
        callSqlite3(connection, "lasterrorcode", &code);
        if (Z_TYPE(code) == IS_LONG && Z_LVAL(code) != 0)
            failure.status = int(Z_LVAL(code));
        callSqlite3(connection, "lasterrormsg", &message);
        if (Z_TYPE(message) == IS_STRING)
            failure.message = QString::fromUtf8(Z_STRVAL(message), int(Z_STRLEN(message)));
        zval_ptr_dtor(&code);
        zval_ptr_dtor(&message);
        break;
    }
    }
    return failure;
}

// ---- recording -----------------------------------------------------------------------

struct Outcome {
    QByteArray prepared; // bounded()
    QByteArray resolved;
    bool hasPrepared = false;
    bool ok = true;
    Failure failure;
    qint64 rows = 0;
    qint64 elapsed = 0;
    uint32_t connection = 0;
    StatementText::Dialect dialect = StatementText::MySql;
    Api api = Api::Pdo;
    // For begin/commit/rollback called as methods; otherwise read from the text.
    StatementText::Kind kind = StatementText::Other;
};

void record(Outcome& outcome) {
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
    query.resolvedStatement =
        outcome.hasPrepared ? QString::fromUtf8(outcome.resolved) : query.preparedStatement;
    query.hasPreparedStatement = outcome.hasPrepared;
    query.status = outcome.ok ? 0 : outcome.failure.status;
    query.errorMessage = outcome.ok ? QString() : outcome.failure.message;
    query.rowsAffected = outcome.ok ? int(qBound(qint64(0), outcome.rows, qint64(INT_MAX))) : 0;
    query.queryTime = outcome.elapsed;
    query.transactionId = transaction;
    query.extraText = QString::fromLatin1(driverName(outcome.api, outcome.dialect));
    requestState.textBudget -= outcome.prepared.size();
    if (outcome.hasPrepared)
        requestState.textBudget -= outcome.resolved.size();

    BusyGuard busy;
    KTrel* trel = CollectorHost::current();
    if (!trel)
        return;
    trel->addRequestSqlQuery(query);
    if (!outcome.ok && trel->isEventCollectionEnabled())
        trel->addEventAggKey("db.query_error:" + QByteArray::number(query.status));
}

// ---- statements ----------------------------------------------------------------------

uint32_t handleOf(zend_object* object) {
    return object ? object->handle : 0;
}

// A fresh statement for `object`, with what was held for its handle released.
Statement& newStatement(zend_object* object, zend_object* connection,
                        StatementText::Dialect dialect) {
    Statement& statement = requestState.statements[object->handle];
    releaseAll(statement);
    statement = Statement();
    statement.connection = handleOf(connection);
    statement.connectionObject = connection;
    statement.dialect = dialect;
    return statement;
}

// The statement kept for `object`; a PDO statement not seen being prepared is taken from
// its own query text.
Statement* statementOf(const Call& call, zend_object* object) {
    if (!object)
        return nullptr;
    auto found = requestState.statements.find(object->handle);
    if (found != requestState.statements.end())
        return &found->second;
    if (call.watched.api != Api::Pdo)
        return nullptr;
    pdo_stmt_t* stmt = pdoStatement(object);
    if (!stmt->dbh || !stmt->query_string)
        return nullptr;
    zend_object* connection = Z_TYPE(stmt->database_object_handle) == IS_OBJECT
                                  ? Z_OBJ(stmt->database_object_handle)
                                  : nullptr;
    Statement& statement = newStatement(object, connection, pdoDialect(stmt->dbh));
    statement.text = StatementText::bounded(ZSTR_VAL(stmt->query_string),
                                            ZSTR_LEN(stmt->query_string), textLimit());
    return &statement;
}

qint64 sqliteChanges(zend_object* connection, const QByteArray& text) {
    if (StatementText::kind(text, StatementText::Sqlite) != StatementText::DataChange)
        return 0;
    zval changes;
    callSqlite3(connection, "changes", &changes);
    const qint64 rows = Z_TYPE(changes) == IS_LONG ? Z_LVAL(changes) : 0;
    zval_ptr_dtor(&changes);
    return rows;
}

void onQuery(const Call& call, Outcome& outcome) {
    zend_object* connection = call.self();
    outcome.prepared = call.textArg(1);
    outcome.connection = handleOf(connection);
    outcome.dialect = dialectOf(call);
    outcome.ok = call.succeeded();
    if (!outcome.ok) {
        outcome.failure = failureOf(call, connection, connection);
        // SQLite3::query() whose result is not used runs the text and returns false even
        // when it succeeds: the driver's error code tells.
        outcome.ok =
            call.watched.api == Api::Sqlite3 && !EG(exception) && outcome.failure.status == -1;
    }
    if (outcome.ok) {
        switch (call.watched.api) {
        case Api::Pdo:
            if (Z_TYPE_P(call.result) == IS_LONG) {
                outcome.rows = Z_LVAL_P(call.result);
            } else if (zend_object* object = call.resultObject()) {
                outcome.rows = pdoStatement(object)->row_count;
                // The statement may be executed again.
                Statement& statement = newStatement(object, connection, outcome.dialect);
                statement.text = outcome.prepared;
            }
            break;
        case Api::Mysqli:
            outcome.rows = readLong(connection, "affected_rows");
            break;
        case Api::Sqlite3:
            outcome.rows = sqliteChanges(connection, outcome.prepared);
            break;
        }
    }
    record(outcome);
}

// Keeps the prepared text for the statement object, or records the failed prepare.
void keepPrepared(const Call& call, Outcome& outcome, zend_object* object, zend_object* connection,
                  const QByteArray& text, bool ok) {
    outcome.dialect = dialectOf(call);
    if (ok && object) {
        Statement* statement = nullptr;
        auto found = requestState.statements.find(object->handle);
        if (call.watched.op == Op::StmtPrepare && found != requestState.statements.end()) {
            statement = &found->second;
            releaseAll(*statement);
            statement->dialect = outcome.dialect;
        } else {
            statement = &newStatement(object, connection, outcome.dialect);
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
    // mysqli keeps a statement's error on the statement, the others on the connection.
    zend_object* source = call.watched.api == Api::Mysqli && object ? object : connection;
    outcome.failure = failureOf(call, source, connection);
    record(outcome);
}

void onPrepare(const Call& call, Outcome& outcome) {
    zend_object* connection = call.self();
    switch (call.watched.op) {
    case Op::Prepare:
        keepPrepared(call, outcome, call.resultObject(), connection, call.textArg(1),
                     call.succeeded());
        break;
    case Op::StmtInit:
        if (zend_object* object = call.resultObject())
            newStatement(object, connection, StatementText::MySql);
        break;
    case Op::StmtConstruct: {
        // (connection, query): an absent query (mysqli) leaves the statement to prepare().
        zend_object* statementObject = call.self();
        zval* link = call.arg(1);
        zend_object* linkObject = link && Z_TYPE_P(link) == IS_OBJECT ? Z_OBJ_P(link) : nullptr;
        if (!call.arg(2)) {
            if (statementObject && !EG(exception))
                newStatement(statementObject, linkObject, StatementText::MySql);
            break;
        }
        keepPrepared(call, outcome, EG(exception) ? nullptr : statementObject, linkObject,
                     call.textArg(2), !EG(exception));
        break;
    }
    case Op::StmtPrepare: {
        zend_object* statementObject = call.self();
        Statement* statement = statementOf(call, statementObject);
        zend_object* linkObject =
            statement && objectIsLive(statement->connectionObject, statement->connection)
                ? statement->connectionObject
                : nullptr;
        keepPrepared(call, outcome, statementObject, linkObject, call.textArg(1), call.succeeded());
        break;
    }
    default:
        break;
    }
}

void onBind(const Call& call) {
    if (!call.succeeded())
        return;
    Statement* statement = statementOf(call, call.self());
    if (!statement)
        return;
    if (call.watched.op == Op::Clear) {
        releaseAll(*statement);
        return;
    }
    if (call.watched.op == Op::Reset) {
        statement->longData.clear();
        return;
    }
    if (call.watched.op == Op::SendLongData) {
        zval* param = call.arg(1);
        zval* data = call.arg(2);
        if (!param || Z_TYPE_P(param) != IS_LONG || Z_LVAL_P(param) < 0 ||
            Z_LVAL_P(param) >= 0x7fffffff || !data || Z_TYPE_P(data) != IS_STRING)
            return;
        LongData& sent = statement->longData[int(Z_LVAL_P(param))];
        // A few bytes past what is shown, so that the cut falls on a character boundary.
        const qint64 room = StatementText::MaxValueBytes + 4 - qint64(sent.head.size());
        if (room > 0)
            sent.head.append(Z_STRVAL_P(data), int(qMin(room, qint64(Z_STRLEN_P(data)))));
        sent.size += qint64(Z_STRLEN_P(data));
        return;
    }
    if (call.watched.op == Op::BindList) {
        // bind_param($types, &...$vars): one type letter per variable.
        const QByteArray types = call.textArg(1);
        for (auto& entry : statement->positional)
            release(entry.second);
        statement->positional.clear();
        for (int i = 0; i < types.size(); ++i) {
            zval* var = call.rawArg(uint32_t(2 + i));
            if (!var)
                break;
            Bound bound;
            bound.hint = types.at(i) == 'b' ? 'l' : types.at(i);
            if (Z_ISREF_P(var)) {
                bound.reference = Z_REF_P(var);
                GC_ADDREF(bound.reference);
            } else {
                bound.literal = literal(var, bound.hint);
            }
            statement->positional[i] = std::move(bound);
        }
        return;
    }
    zval* param = call.arg(1);
    if (!param)
        return;
    Bound bound;
    bound.hint = call.watched.api == Api::Pdo ? pdoHint(call.arg(3)) : sqliteHint(call.arg(3));
    zval* value = call.rawArg(2);
    if (!value)
        return;
    if (call.watched.op == Op::BindParam && Z_ISREF_P(value)) {
        bound.reference = Z_REF_P(value);
        GC_ADDREF(bound.reference);
    } else {
        bound.literal = literal(value, bound.hint);
    }
    if (Z_TYPE_P(param) == IS_LONG) {
        if (Z_LVAL_P(param) >= 1 && Z_LVAL_P(param) < 0x7fffffff)
            put(statement->positional[int(Z_LVAL_P(param) - 1)], std::move(bound));
        else
            release(bound);
    } else if (Z_TYPE_P(param) == IS_STRING) {
        put(statement->named[bareName(Z_STRVAL_P(param), Z_STRLEN_P(param))], std::move(bound));
    } else {
        release(bound);
    }
}

void onExecute(const Call& call, Outcome& outcome) {
    zend_object* statementObject = call.self();
    Statement* statement = statementOf(call, statementObject);
    outcome.hasPrepared = true;
    outcome.ok = call.succeeded();
    zend_object* connection = nullptr;
    if (statement) {
        outcome.prepared = statement->text;
        outcome.dialect = statement->dialect;
        outcome.connection = statement->connection;
        if (objectIsLive(statement->connectionObject, statement->connection))
            connection = statement->connectionObject;
        zval* params = call.arg(1);
        StatementText::Bindings bindings =
            params && Z_TYPE_P(params) == IS_ARRAY
                ? bindingsOf(params, call.watched.api == Api::Mysqli ? 's' : char(0))
                : bindingsOf(*statement);
        for (const auto& entry : statement->longData)
            bindings.positional.insert(
                entry.first,
                StatementText::stringLiteral(entry.second.head.constData(),
                                             size_t(entry.second.head.size()), entry.second.size));
        statement->longData.clear();
        outcome.resolved =
            StatementText::resolve(statement->text, bindings, statement->dialect, textLimit());
    }
    if (!outcome.ok) {
        outcome.failure = failureOf(
            call, call.watched.api == Api::Sqlite3 ? connection : statementObject, connection);
    } else if (!statementObject) {
        outcome.rows = 0;
    } else if (call.watched.api == Api::Pdo) {
        outcome.rows = pdoStatement(statementObject)->row_count;
    } else if (call.watched.api == Api::Mysqli) {
        outcome.rows = readLong(statementObject, "affected_rows");
    } else {
        outcome.rows = sqliteChanges(connection, outcome.prepared);
    }
    record(outcome);
}

void onExecuteQuery(const Call& call, Outcome& outcome) {
    zend_object* connection = call.self();
    outcome.prepared = call.textArg(1);
    outcome.hasPrepared = true;
    outcome.connection = handleOf(connection);
    outcome.dialect = StatementText::MySql;
    zval* params = call.arg(2);
    outcome.resolved =
        StatementText::resolve(outcome.prepared,
                               params && Z_TYPE_P(params) == IS_ARRAY ? bindingsOf(params, 's')
                                                                      : StatementText::Bindings(),
                               outcome.dialect, textLimit());
    outcome.ok = call.succeeded();
    if (!outcome.ok)
        outcome.failure = failureOf(call, connection, connection);
    else
        outcome.rows = readLong(connection, "affected_rows");
    record(outcome);
}

void onTransaction(const Call& call, Outcome& outcome) {
    zend_object* connection = call.self();
    outcome.connection = handleOf(connection);
    outcome.dialect = dialectOf(call);
    switch (call.watched.op) {
    case Op::Begin:
        outcome.kind = StatementText::Begin;
        outcome.prepared = "START TRANSACTION";
        break;
    case Op::Commit:
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
        outcome.failure = failureOf(call, connection, connection);
    record(outcome);
}

void finish(const Call& call, qint64 elapsed) {
    Outcome outcome;
    outcome.api = call.watched.api;
    outcome.elapsed = elapsed;
    switch (call.watched.op) {
    case Op::Connect:
        // A connection object that reuses a closed one's handle starts outside any
        // transaction.
        if (zend_object* connection = call.resultObject() ? call.resultObject() : call.self())
            requestState.transactions.erase(connection->handle);
        break;
    case Op::Query:
        onQuery(call, outcome);
        break;
    case Op::Prepare:
    case Op::StmtInit:
    case Op::StmtConstruct:
    case Op::StmtPrepare:
        onPrepare(call, outcome);
        break;
    case Op::BindValue:
    case Op::BindParam:
    case Op::BindList:
    case Op::SendLongData:
    case Op::Reset:
    case Op::Clear:
        onBind(call);
        break;
    case Op::Execute:
        onExecute(call, outcome);
        break;
    case Op::ExecuteQuery:
        onExecuteQuery(call, outcome);
        break;
    case Op::Begin:
    case Op::Commit:
    case Op::Rollback:
        onTransaction(call, outcome);
        break;
    }
}

// ---- the watched calls ----------------------------------------------------------------

int tagOf(Api api, Op op, bool procedural) {
    return (int(api) << 8) | (int(op) << 1) | (procedural ? 1 : 0);
}

Watched watchedOf(int tag) {
    return Watched{Api(tag >> 8), Op((tag >> 1) & 0x7f), (tag & 1) != 0};
}

void around(int tag, zif_handler original, zend_execute_data* frame, zval* result) {
    if (!collectingSql || requestState.busy) {
        original(frame, result);
        return;
    }
    requestState.timer.begin(frame);
    original(frame, result);
    // The request's end may have come inside the call (a fiber destroyed then).
    if (!collectingSql || requestState.busy)
        return;
    qint64 elapsed = 0;
    int unused = 0;
    bool outermost = false;
    if (!requestState.timer.end(frame, elapsed, unused, outermost))
        return;
    if (outermost)
        requestState.databaseTime += elapsed;
    CollectorHost::guard("SQL capture", [&] {
        finish(Call{frame, EG(exception) ? nullptr : result, watchedOf(tag)}, elapsed);
    });
}

template <Api api, Op op> void watchMethod(const char* cls, const char* method) {
    HandlerWrapper::watchMethod(cls, method, &around, tagOf(api, op, false));
}

template <Api api, Op op> void watchFunction(const char* name) {
    HandlerWrapper::watchFunction(name, &around, tagOf(api, op, true));
}

} // namespace

void SqlCapture::watch() {
    watchMethod<Api::Pdo, Op::Connect>("pdo", "__construct");
    watchMethod<Api::Pdo, Op::Query>("pdo", "query");
    watchMethod<Api::Pdo, Op::Query>("pdo", "exec");
    watchMethod<Api::Pdo, Op::Prepare>("pdo", "prepare");
    watchMethod<Api::Pdo, Op::Begin>("pdo", "begintransaction");
    watchMethod<Api::Pdo, Op::Commit>("pdo", "commit");
    watchMethod<Api::Pdo, Op::Rollback>("pdo", "rollback");
    watchMethod<Api::Pdo, Op::Execute>("pdostatement", "execute");
    watchMethod<Api::Pdo, Op::BindValue>("pdostatement", "bindvalue");
    watchMethod<Api::Pdo, Op::BindParam>("pdostatement", "bindparam");

    watchMethod<Api::Mysqli, Op::Connect>("mysqli", "__construct");
    watchMethod<Api::Mysqli, Op::Connect>("mysqli", "connect");
    watchMethod<Api::Mysqli, Op::Connect>("mysqli", "real_connect");
    watchMethod<Api::Mysqli, Op::Query>("mysqli", "query");
    watchMethod<Api::Mysqli, Op::Query>("mysqli", "real_query");
    watchMethod<Api::Mysqli, Op::Query>("mysqli", "multi_query");
    watchMethod<Api::Mysqli, Op::Prepare>("mysqli", "prepare");
    watchMethod<Api::Mysqli, Op::StmtInit>("mysqli", "stmt_init");
    watchMethod<Api::Mysqli, Op::ExecuteQuery>("mysqli", "execute_query");
    watchMethod<Api::Mysqli, Op::Begin>("mysqli", "begin_transaction");
    watchMethod<Api::Mysqli, Op::Commit>("mysqli", "commit");
    watchMethod<Api::Mysqli, Op::Rollback>("mysqli", "rollback");
    watchMethod<Api::Mysqli, Op::StmtConstruct>("mysqli_stmt", "__construct");
    watchMethod<Api::Mysqli, Op::StmtPrepare>("mysqli_stmt", "prepare");
    watchMethod<Api::Mysqli, Op::BindList>("mysqli_stmt", "bind_param");
    watchMethod<Api::Mysqli, Op::SendLongData>("mysqli_stmt", "send_long_data");
    watchMethod<Api::Mysqli, Op::Reset>("mysqli_stmt", "reset");
    watchMethod<Api::Mysqli, Op::Execute>("mysqli_stmt", "execute");
    watchFunction<Api::Mysqli, Op::Connect>("mysqli_connect");
    watchFunction<Api::Mysqli, Op::Connect>("mysqli_real_connect");
    watchFunction<Api::Mysqli, Op::Query>("mysqli_query");
    watchFunction<Api::Mysqli, Op::Query>("mysqli_real_query");
    watchFunction<Api::Mysqli, Op::Query>("mysqli_multi_query");
    watchFunction<Api::Mysqli, Op::Prepare>("mysqli_prepare");
    watchFunction<Api::Mysqli, Op::StmtInit>("mysqli_stmt_init");
    watchFunction<Api::Mysqli, Op::ExecuteQuery>("mysqli_execute_query");
    watchFunction<Api::Mysqli, Op::Begin>("mysqli_begin_transaction");
    watchFunction<Api::Mysqli, Op::Commit>("mysqli_commit");
    watchFunction<Api::Mysqli, Op::Rollback>("mysqli_rollback");
    watchFunction<Api::Mysqli, Op::StmtPrepare>("mysqli_stmt_prepare");
    watchFunction<Api::Mysqli, Op::BindList>("mysqli_stmt_bind_param");
    watchFunction<Api::Mysqli, Op::SendLongData>("mysqli_stmt_send_long_data");
    watchFunction<Api::Mysqli, Op::Reset>("mysqli_stmt_reset");
    watchFunction<Api::Mysqli, Op::Execute>("mysqli_stmt_execute");
    watchFunction<Api::Mysqli, Op::Execute>("mysqli_execute");

    watchMethod<Api::Sqlite3, Op::Connect>("sqlite3", "__construct");
    watchMethod<Api::Sqlite3, Op::Connect>("sqlite3", "open");
    watchMethod<Api::Sqlite3, Op::Query>("sqlite3", "query");
    watchMethod<Api::Sqlite3, Op::Query>("sqlite3", "exec");
    watchMethod<Api::Sqlite3, Op::Query>("sqlite3", "querysingle");
    watchMethod<Api::Sqlite3, Op::Prepare>("sqlite3", "prepare");
    watchMethod<Api::Sqlite3, Op::StmtConstruct>("sqlite3stmt", "__construct");
    watchMethod<Api::Sqlite3, Op::BindValue>("sqlite3stmt", "bindvalue");
    watchMethod<Api::Sqlite3, Op::BindParam>("sqlite3stmt", "bindparam");
    watchMethod<Api::Sqlite3, Op::Clear>("sqlite3stmt", "clear");
    watchMethod<Api::Sqlite3, Op::Execute>("sqlite3stmt", "execute");
}

void SqlCapture::startRequest() {
    // Anything left from an earlier request belongs to memory the engine has freed.
    requestState.statements.clear();
    requestState.transactions.clear();
    requestState.lastTransaction = 0;
    requestState.timer.clear();
    requestState.databaseTime = 0;
    requestState.textBudget = TextBudget;
    requestState.busy = 0;
    collectingSql = true;
}

void SqlCapture::endRequest() {
    collectingSql = false;
    for (auto& entry : requestState.statements)
        releaseAll(entry.second);
    requestState.statements.clear();
    requestState.transactions.clear();
    requestState.timer.clear();
}

qint64 SqlCapture::databaseTime() {
    return requestState.databaseTime;
}
