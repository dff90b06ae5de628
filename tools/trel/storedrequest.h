#ifndef TREL_TOOL_STOREDREQUEST_H
#define TREL_TOOL_STOREDREQUEST_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class InstallationAccess;

// One stored request with everything that refers to it, read back with the program's
// own connection: the request row and its URL, the time breakdown, the SQL queries
// (slowest first) with statements and backtraces, the PHP errors with theirs, the
// function statistics (most own time first), the events and the superglobal samples.
class StoredRequest {
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
    };
    struct Function {
        QString scope;
        QString name;
        QString file;
        int line = 0;
        int calls = 0;
        qint64 exclusive = 0;
        qint64 inclusive = 0;
        QString fullName() const;
    };
    struct Sample {
        QString name;
        QByteArray data;
        QString type;
    };

    // The request with this id; a ToolError when there is none.
    static StoredRequest load(InstallationAccess& access, qint64 id);
    // The id of the newest request; a ToolError when there is none.
    static qint64 lastId(InstallationAccess& access);

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

    // The script's transaction number behind a stored transaction value ("2"), or an
    // empty text outside transactions.
    QString transactionName(const Query& query) const;
    int failedQueries() const;
};

#endif
