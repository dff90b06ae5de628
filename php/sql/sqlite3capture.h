#ifndef TREL_PHP_SQLITE3CAPTURE_H
#define TREL_PHP_SQLITE3CAPTURE_H

#include "sqldriver.h"

// SQLite3 and SQLite3Stmt for the SQL capture: errors from lastErrorCode() and
// lastErrorMsg(), rows from changes(), both of the SQLite3 class itself.
class Sqlite3Capture : public SqlDriver {
public:
    // From module start-up: names SQLite3's methods to HandlerWrapper.
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
    // SQLite3::query() whose result is not used runs the text and returns false even when
    // it succeeds: the driver's error code tells.
    bool falseMaySucceed() const override { return true; }
};

#endif
