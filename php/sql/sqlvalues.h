#ifndef TREL_PHP_SQLVALUES_H
#define TREL_PHP_SQLVALUES_H

#include "php_trel.h"
#include "statementtext.h"

#include <QByteArray>

// PHP values written as SQL literals for a resolved statement text. Nothing here calls
// into PHP code (no __toString).
class SqlValues {
public:
    // hint: 'n' NULL, 'i' integer, 'd' float, 'b' boolean, 's' string, 'l' mysqli's blob
    // (sent as its long data, else empty unless NULL), 0 as the value is.
    static QByteArray literal(zval* value, char hint);
    // A parameter's name without its ':', '@' or '$'.
    static QByteArray bareName(const char* name, size_t length);
    // Values passed to execute() as an array: integer keys are positions from 0, string
    // keys names.
    static StatementText::Bindings bindingsOf(zval* array, char hint);
};

#endif
