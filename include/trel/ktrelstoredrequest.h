#ifndef TREL_KTRELSTOREDREQUEST_H
#define TREL_KTRELSTOREDREQUEST_H

#include <trel/trel_export.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>

class QSqlDatabase;

// One stored request with everything that refers to it, read back with the caller's
// connection: the request row and its URL, the time breakdown, the SQL queries (slowest
// first) with statements and backtraces, the PHP errors with theirs, the function
// statistics (most own time first), the events and the superglobal samples. Nothing is
// thrown for a database failure: the reads say Failed and give the database's message.
class TREL_EXPORT KTrelStoredRequest {
public:
    struct Query {
        QString statement;
        QString prepared; // empty when the query had no prepared statement
        int status = 0;
        int rows = 0;
        qint64 time = 0;
        QString error;
        qint64 transaction = -1; // as stored: -1, or the request id and the number joined
        QString file;
        int line = 0;
        QString backtrace;
        // The row that counts the queries a request did not keep (notKeptText()): how
        // many, and how many of them failed; 0 for a query's own row.
        qint64 notKept = 0;
        qint64 notKeptFailed = 0;
        // Microseconds from the request's start; -1 when not known.
        qint64 startUs = -1;
        bool failed() const { return status != 0 || !error.isEmpty(); }
    };
    struct LogEntry {
        qint64 time = 0; // seconds since 1970 UTC
        QString type;
        QString message;
        QString file;
        int line = 0;
        bool silenced = false;
        QString backtrace;
        qint64 notKept = 0; // likewise for the errors not kept
        qint64 startUs = -1;
        // For the fatal error of an uncaught exception: class, message, file, line and
        // trace ([{call, file, line}], innermost first); empty otherwise.
        QJsonObject exception;
    };
    // Another stored request of the same token, as the bar links to it.
    struct Related {
        qint64 id = 0;
        QString pageId;
        QString method;
        QString url;
        int status = 0;
    };
    struct Function {
        QString scope;
        QString name;
        QString file;
        int line = 0;
        int calls = 0;
        qint64 exclusive = 0;
        qint64 inclusive = 0;
        QString fullName() const {
            return scope.isEmpty() ? name : scope + QStringLiteral("::") + name;
        }
    };
    struct Sample {
        QString name;
        QByteArray data;
        QString type;
    };

    enum class Outcome { Found, Missing, Failed };

    // What a list of stored requests holds: the ones whose URL contains urlContains
    // (any when empty), with errors or failed queries (problems), with a status of 400 or
    // more (failedStatus); limit at most, newest first, older than `before` or newer than
    // `after` when either is set (request ids). With an owner (KTrelToken::ownerHash()),
    // only the requests that token admitted; the caller's `covers` has the last word on
    // each row.
    struct ListFilter {
        QByteArray owner;
        QString urlContains;
        bool problems = false;
        bool failedStatus = false;
        qint64 before = 0;
        qint64 after = 0;
        int limit = 50;
    };
    struct ListRow {
        qint64 id = 0;
        QString pageId;
        QString url;
        QString method;
        int status = 0;
        qint64 startTime = 0; // milliseconds since 1970 UTC
        qint64 requestTime = 0;
        bool primaryPage = false;
        int queries = 0;
        int failedQueries = 0;
        int errors = 0;
        bool xhr = false;
        QString referer;
    };
    struct List {
        QList<ListRow> rows;
        bool older = false; // whether requests older than the last row match
        bool newer = false; // likewise newer than the first
        // The list stopped at the most rows it examines (2,000) before its page was
        // full; older (going forward, newer) requests may still match.
        bool stopped = false;
        // Where the older list starts (its `before`), and the newer one (its `after`).
        qint64 olderBefore = 0;
        qint64 newerAfter = 0;
    };
    // The list into *list. The database is read in bounded steps (the URL ids a filter
    // matches, then at most 2,000 request ids past the cursor through an index, then the
    // counts of the rows kept), so a long history costs no more than a page of it.
    static Outcome list(const QSqlDatabase& db, const ListFilter& filter,
                        const std::function<bool(const QString& url)>& covers, List* list,
                        QString* error);

    // The request with this id into *request. On Failed, *error holds what the database
    // said; *request may then be partly filled.
    static Outcome load(const QSqlDatabase& db, qint64 id, KTrelStoredRequest* request,
                        QString* error);
    // The request with this page id (the random one a page carries), likewise.
    static Outcome loadByPageId(const QSqlDatabase& db, const QString& pageId,
                                KTrelStoredRequest* request, QString* error);
    // The id and URL alone of the request with this page id that the token with this
    // owner hash (KTrelToken::ownerHash()) admitted, with one small read through indexes:
    // enough to decide whether a token may see it before anything else of it is read.
    // Missing for another token's request and for one stored without an owner.
    static Outcome locateByPageId(const QSqlDatabase& db, const QString& pageId,
                                  const QByteArray& owner, qint64* id, QString* url,
                                  QString* error);
    // What relates the loaded request to the others of the token with this owner hash:
    // the request that redirected to it (3xx, its Location resolving to this URL, the
    // newest within 60 s before it) and the previous request of the same URL. Each is one
    // bounded read through indexes, among the token's latest requests before this one.
    static Outcome loadRelated(const QSqlDatabase& db, const QByteArray& owner,
                               KTrelStoredRequest* request, QString* error);
    // The id of the newest request into *id.
    static Outcome lastId(const QSqlDatabase& db, qint64* id, QString* error);

    // How many functions the reports list.
    static constexpr int TopFunctions = 10;

    qint64 id = 0;
    QString pageId;
    QString url;
    int status = 0;
    QString method;
    qint64 startTime = 0; // milliseconds since 1970 UTC
    qint64 requestTime = 0;
    bool primaryPage = false;
    qint64 peakMemory = 0;
    qint64 memoryLimit = 0;
    qint64 dataSize = 0; // KiB, as the writer counts it

    bool hasBreakdown = false;
    qint64 databaseTime = 0;
    qint64 networkTime = 0;
    qint64 localTime = 0;
    qint64 phpTime = 0;
    qint64 breakdownTotal() const { return databaseTime + networkTime + localTime + phpTime; }

    QList<Query> queries;
    QList<LogEntry> entries;
    QList<Function> functions;
    QStringList events;
    QList<Sample> samples;

    // The context, from requests stored since it is kept (hasContext).
    bool hasContext = false;
    bool xhr = false;
    QString referer;
    QList<QPair<QString, QString>> responseHeaders;
    QJsonArray logMessages; // [{message, start_us}]
    QJsonArray spans;       // [{name, start_us, time_us}], longest first
    QString location;       // where its redirect sent the browser, resolved; or empty

    // Filled by loadRelated().
    bool hasRedirect = false;
    Related redirectedFrom;
    QString previousPageId;

    // The script's transaction number behind a stored transaction value ("2"), or an
    // empty text outside transactions.
    QString transactionName(const Query& query) const;
    // The request's queries, failed queries and errors, those not kept included.
    int failedQueries() const;
    qint64 queryCount() const;
    qint64 errorCount() const;
    qint64 queriesNotKept() const;
    qint64 errorsNotKept() const;

    // The texts of the rows that count what a request did not keep ("N more queries not
    // kept", "N more errors not kept", and "F of them failed" as the queries' error), as
    // the writer stores them and the reads recognise them.
    static QString notKeptQueriesText(qint64 count);
    static QString notKeptErrorsText(qint64 count);
    static QString notKeptFailedText(qint64 count);
};

#endif
