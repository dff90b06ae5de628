#ifndef TREL_PHP_MYSQLICAPTURE_H
#define TREL_PHP_MYSQLICAPTURE_H

#include "sqldriver.h"

// mysqli and mysqli_stmt for the SQL capture, methods and mysqli_*() functions alike:
// errors and rows from their errno, error and affected_rows, values bound as a type
// list, blobs sent as long data, execute_query().
class MysqliCapture : public SqlDriver {
public:
    // From module start-up: names mysqli's methods and functions to HandlerWrapper.
    static void watch();

    const char* name(StatementText::Dialect dialect) const override;
    StatementText::Dialect dialect(const SqlCall& call) const override;
    SqlFailure lastError(const SqlCall& call, zend_object* statement,
                         zend_object* connection) const override;
    qint64 queryRows(const SqlCall& call, zend_object* connection, const QByteArray& text,
                     StatementText::Dialect dialect) const override;
    qint64 executeRows(zend_object* statement, zend_object* connection,
                       const QByteArray& text) const override;
    char arrayHint() const override { return 's'; }
    bool finishOwn(const SqlCall& call, SqlStatements::Outcome& outcome) const override;
};

#endif
