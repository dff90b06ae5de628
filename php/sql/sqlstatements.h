#ifndef TREL_PHP_SQLSTATEMENTS_H
#define TREL_PHP_SQLSTATEMENTS_H

#include "php_trel.h"
#include "sqlcall.h"
#include "statementtext.h"

#include <QByteArray>

#include <map>

class SqlDriver;

// The SQL capture's bookkeeping for one collected request, shared by the three APIs: the
// statements prepared (text, connection, bound values, long data) by statement object, the
// open transaction of each connection, the time spent in SQL, the text budget, and the
// recording of each query. Calls of the APIs are timed and handed here by run().
class SqlStatements {
public:
    // A bound value: its literal, or for a bound variable the reference read at execute.
    struct Bound {
        QByteArray literal;
        zend_reference* reference = nullptr;
        char hint = 0;
    };

    // Data sent for a parameter with mysqli_stmt::send_long_data() since the last execute:
    // its head, enough to show, and its size.
    struct LongData {
        QByteArray head;
        qint64 size = 0;
    };

    struct Statement {
        QByteArray text;
        uint32_t connection = 0;
        zend_object* connectionObject = nullptr; // not owned: checked with isLive()
        StatementText::Dialect dialect = StatementText::MySql;
        std::map<int, Bound> positional;
        std::map<QByteArray, Bound> named;
        // The server takes a parameter's long data in place of its bound value, whatever
        // its type, and drops it at execute and reset.
        std::map<int, LongData> longData;
    };

    // One query to record.
    struct Outcome {
        QByteArray prepared; // bounded()
        QByteArray resolved;
        bool hasPrepared = false;
        bool ok = true;
        SqlFailure failure;
        qint64 rows = 0;
        qint64 elapsed = 0;
        uint32_t connection = 0;
        StatementText::Dialect dialect = StatementText::MySql;
        // For begin/commit/rollback called as methods; otherwise read from the text.
        StatementText::Kind kind = StatementText::Other;
    };

    // Runs a watched call through original(), timed, and records what it did when the
    // request is collected and the call is not the capture's own.
    static void run(const SqlDriver& driver, SqlOp op, bool procedural, zif_handler original,
                    zend_execute_data* frame, zval* result);

    static void startRequest();
    // Releases the values held for bound variables.
    static void endRequest();
    static qint64 databaseTime();

    // The most one statement text may hold now.
    static int textLimit();
    // A fresh statement for `object`, with what was held for its handle released.
    static Statement& create(zend_object* object, zend_object* connection,
                             StatementText::Dialect dialect);
    static Statement* find(zend_object* object);
    // Whether object is still the live object of that handle.
    static bool isLive(zend_object* object, uint32_t handle);
    // A variable bound by reference is held, any other value kept as its literal.
    static Bound bind(zval* value, char hint, bool byReference);
    static void put(Bound& slot, Bound&& value);
    static void release(Bound& bound);
    static void releaseAll(Statement& statement);
    // Keeps the prepared text for the statement object, or records the failed prepare.
    static void keepPrepared(const SqlDriver& driver, const SqlCall& call, Outcome& outcome,
                             zend_object* object, zend_object* connection, const QByteArray& text,
                             bool ok);
    // Why the call failed: the exception in flight, else the driver's last error.
    static SqlFailure failureOf(const SqlDriver& driver, const SqlCall& call,
                                zend_object* statement, zend_object* connection);
    static void record(const SqlDriver& driver, Outcome& outcome);
};

#endif
