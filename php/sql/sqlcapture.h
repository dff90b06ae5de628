#ifndef TREL_PHP_SQLCAPTURE_H
#define TREL_PHP_SQLCAPTURE_H

#include "php_trel.h"

#include <QtGlobal>

// Records the SQL that a collected request runs through PDO, mysqli and SQLite3: one
// KTrel::SqlQuery per executed query (text as prepared and with its bound values
// resolved, outcome, rows, time, error, transaction), handed to the collector as it
// happens. Only the internal functions and methods that run, prepare or bind SQL are
// watched (their handlers wrapped), and only in a collected request.
//
// A query's status is 0 when it succeeded, else the driver's error code (MySQL errno,
// SQLite result code, the PDO driver's code), or -1 when the failure carries none; a
// failed query also raises the monitor event "db.query_error:<status>". Queries on a
// connection between begin and commit or rollback (the methods, or BEGIN, START
// TRANSACTION, COMMIT, ROLLBACK, END sent as text) carry the transaction's number,
// counted per request from 1; begin, commit and rollback are recorded as queries of their
// own. Statement texts are cut past 1 MiB each, and to 1 KiB once a request has kept
// 8 MiB of them; the cut is marked with the full size.
//
// Nothing propagates into PHP: failures of the collector are caught and logged once.
class SqlCapture {
public:
    // From module start-up: names the functions and methods to HandlerWrapper.
    static void watch();
    // From RINIT of a collected request.
    static void startRequest();
    // From RSHUTDOWN of a collected request, before the collector writes: releases the
    // values held for bound parameters.
    static void endRequest();
    // Microseconds spent in connects and SQL calls during this request.
    static qint64 databaseTime();
};

#endif
