#ifndef TREL_KMYSQLSTATEMENTS_H
#define TREL_KMYSQLSTATEMENTS_H

#include <QByteArray>
#include <QSqlDatabase>
#include <QSqlError>
#include <QVector>

#include <functional>

struct st_mysql;

// The writer's multi-row statements on MariaDB, run through MariaDB's C API on the session
// of Qt's driver: each text is prepared once per session and kept, and every run sends its
// values over the binary protocol, bound where they lie. Nothing is escaped or written in
// hexadecimal, and the server parses no value; once prepared, a statement is one round
// trip, as the unprepared text was.
//
// A session keeps at most MaxStatements statements, the least recently used closed first
// (a write with row counts not seen before prepares again), so that many workers do not
// spend the server's max_prepared_stmt_count. A session that Qt's driver closed or opened
// again takes its statements with it: they are prepared again on the new one.
class KMySqlStatements {
public:
    static constexpr int MaxStatements = 24;

    // The session behind `database`: null unless it is an open MySQL connection with real
    // prepared statements (a server or proxy that refused them leaves Qt emulating them).
    static st_mysql* session(const QSqlDatabase& database);

    // One value, as the writer binds it: a text (UTF-8), bytes, a number or NULL.
    struct Value {
        enum Kind { Null, Text, Bytes, Signed, Unsigned } kind = Null;
        QByteArray bytes;
        qint64 number = 0;
    };

    enum Outcome { Done, Failed, NotPrepared };
    // Runs the statement known as `key` on `session` with `values`, one per placeholder
    // in order, preparing `text()` first when the session has not prepared it yet. Done
    // sets *firstId to the first row's auto-increment id. Failed sets *error, worded as
    // Qt's driver words a failed statement. NotPrepared (with *error) when the server
    // refused to prepare the text for a reason that leaves the transaction as it was (too
    // many placeholders or statements, a syntax it does not prepare): the caller may send
    // it another way. A prepare refused because the transaction ended, or on a lost
    // session, is Failed.
    static Outcome run(st_mysql* session, const QByteArray& key,
                       const std::function<QByteArray()>& text, const QVector<Value>& values,
                       qint64* firstId, QSqlError* error);

    // Statements prepared on `session` and kept.
    static int preparedCount(st_mysql* session);

    // Whether `session` takes several statements in one text (Qt's driver opens its
    // sessions so).
    static bool takesSeveralStatements(st_mysql* session);
    // What one statement of a text did: the rows it changed, or the first row it read.
    struct TextResult {
        qint64 affectedRows = 0;
        QList<QByteArray> firstRow;
    };
    // Runs the statements of `text`, separated by ";", in one round trip. The server stops
    // at the first that fails: its index is returned, with *error worded as Qt's driver
    // words `what` ("Unable to execute query"); -1 when every one ran. `results` gets what
    // each statement that ran did.
    static int runTexts(st_mysql* session, const QByteArray& text, const char* what,
                        QVector<TextResult>* results, QSqlError* error);
};

#endif
