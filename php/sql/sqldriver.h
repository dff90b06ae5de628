#ifndef TREL_PHP_SQLDRIVER_H
#define TREL_PHP_SQLDRIVER_H

#include "sqlcall.h"
#include "sqlstatements.h"
#include "statementtext.h"

// What one database API (PDO, mysqli, SQLite3) adds to the shared statement bookkeeping:
// where its errors, row counts and dialect are read, and the calls of its own.
class SqlDriver {
public:
    virtual ~SqlDriver() = default;
    // The driver name stored with each query.
    virtual const char* name(StatementText::Dialect dialect) const = 0;
    virtual StatementText::Dialect dialect(const SqlCall& call) const = 0;
    // The driver's last error for a call that failed without an exception; statement is
    // null for calls on the connection.
    virtual SqlFailure lastError(const SqlCall& call, zend_object* statement,
                                 zend_object* connection) const = 0;
    // Rows changed or returned by a query that succeeded.
    virtual qint64 queryRows(const SqlCall& call, zend_object* connection, const QByteArray& text,
                             StatementText::Dialect dialect) const = 0;
    // Rows changed by a statement executed with success.
    virtual qint64 executeRows(zend_object* statement, zend_object* connection,
                               const QByteArray& text) const = 0;
    // The value hint of a bind call's type argument (SqlValues::literal()).
    virtual char bindHint(zval*) const { return 0; }
    // The value hint of values passed to execute() as an array.
    virtual char arrayHint() const { return 0; }
    // A statement object not seen being prepared, taken from the object itself.
    virtual SqlStatements::Statement* adopt(zend_object*) const { return nullptr; }
    // Whether a query that returned false without an error ran (SQLite3::query() whose
    // result is not used).
    virtual bool falseMaySucceed() const { return false; }
    // Handles a call of this API alone; false when the operation is not one of them.
    virtual bool finishOwn(const SqlCall&, SqlStatements::Outcome&) const { return false; }
};

#endif
