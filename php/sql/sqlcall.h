#ifndef TREL_PHP_SQLCALL_H
#define TREL_PHP_SQLCALL_H

#include "php_trel.h"

#include <QByteArray>
#include <QString>

// What a watched SQL function or method does, as the SQL capture records it.
enum class SqlOp {
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

// Why a query failed: the driver's code (-1 when there is none) and message.
struct SqlFailure {
    int status = -1;
    QString message;
};

// A watched call that has returned: its arguments, its object and its result, read without
// running script code. The procedural mysqli_*() functions take the object as their first
// argument; arguments are numbered as the method form numbers them, from 1.
class SqlCall {
public:
    SqlCall(zend_execute_data* frame, zval* result, SqlOp op, bool procedural)
        : m_frame(frame), m_result(result), m_op(op), m_procedural(procedural) {}

    SqlOp op() const { return m_op; }
    zval* result() const { return m_result; }
    zval* arg(uint32_t n) const;
    // The argument as passed, a reference left as it is.
    zval* rawArg(uint32_t n) const;
    // A string argument, StatementText::bounded() to limit.
    QByteArray textArg(uint32_t n, int limit) const;
    // $this, or the first argument of the procedural form. A method's object is checked to
    // be of the method's class, so that its driver structures may be read.
    zend_object* self() const;
    bool succeeded() const;
    zend_object* resultObject() const;

    // Our own calls into the engine: the capture does not watch them.
    class Busy {
    public:
        Busy() { ++s_busy; }
        ~Busy() { --s_busy; }
        Busy(const Busy&) = delete;
        Busy& operator=(const Busy&) = delete;
    };
    static bool isBusy() { return s_busy > 0; }
    static void clearBusy() { s_busy = 0; }

    // The exception in flight as a failure (the engine's exit markers included).
    static SqlFailure failureFromException(zend_object* exception);
    // A property read through the object's handlers, any exception it raises discarded.
    static zend_long readLong(zend_object* object, const char* name);
    static QString readText(zend_object* object, const char* name);
    // Calls `method` of class `cls` itself (not a subclass's override) on object, with no
    // arguments, any exception discarded; result is NULL when it could not run.
    static void callMethod(const char* cls, zend_object* object, const char* method, zval* result);

private:
    zend_object* thisObject() const;

    zend_execute_data* m_frame;
    zval* m_result; // null when the call threw
    SqlOp m_op;
    bool m_procedural;
    static int s_busy;
};

#endif
