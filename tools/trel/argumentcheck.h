#ifndef TREL_TOOL_ARGUMENTCHECK_H
#define TREL_TOOL_ARGUMENTCHECK_H

#include <QString>

// Parses the values of command-line arguments strictly: a value either parses
// completely or is refused, so that "10x" is never taken for 10.
class ArgumentCheck {
public:
    // A decimal whole number between min and max (inclusive).
    static bool wholeNumber(const QString& text, qint64 min, qint64 max, qint64* value);
    // A fraction between 0 and 1 ("0.25"), or a percentage ("25%").
    static bool share(const QString& text, double* value);
    // HOST:PORT, with the host in brackets when it is an IPv6 address ("[::1]:3306").
    static bool hostAndPort(const QString& text, QString* host, int* port);
};

#endif
