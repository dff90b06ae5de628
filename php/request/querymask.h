#ifndef TREL_PHP_QUERYMASK_H
#define TREL_PHP_QUERYMASK_H

#include <QByteArray>

// The query string's values under keys that trel.mask names, as "***": what the mask
// hides in $_GET stays hidden in the URL and in $_SERVER's copies of it.
class QueryMask {
public:
    // A query string ("a=1&password=x" gives "a=1&password=***").
    static QByteArray maskQuery(const QByteArray& query);
    // A URL or URI: the part after the first '?' is masked.
    static QByteArray maskUrl(const QByteArray& url);
};

#endif
