#ifndef TREL_PHP_PDOCAPTURE_H
#define TREL_PHP_PDOCAPTURE_H

#include "sqldriver.h"

// PDO and PDOStatement for the SQL capture: errors as errorInfo() gives them, rows from
// the driver's count, the dialect from the driver's name.
class PdoCapture : public SqlDriver {
public:
    // From module start-up: names PDO's methods to HandlerWrapper.
    static void watch();

    const char* name(StatementText::Dialect dialect) const override;
    StatementText::Dialect dialect(const SqlCall& call) const override;
    SqlFailure lastError(const SqlCall& call, zend_object* statement,
                         zend_object* connection) const override;
    qint64 queryRows(const SqlCall& call, zend_object* connection, const QByteArray& text,
                     StatementText::Dialect dialect) const override;
    qint64 executeRows(zend_object* statement, zend_object* connection,
                       const QByteArray& text) const override;
    char bindHint(zval* type) const override;
    SqlStatements::Statement* adopt(zend_object* object) const override;
};

#endif
