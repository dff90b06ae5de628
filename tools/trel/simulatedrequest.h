#ifndef TREL_TOOL_SIMULATEDREQUEST_H
#define TREL_TOOL_SIMULATEDREQUEST_H

#include <trel/ktrel.h>

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// One PHP request as the engine would observe it, made up by RequestGenerator and
// played to the collector by HostSimulator. Times are microseconds.
struct SimulatedQuery {
    QString prepared;
    QString resolved;
    bool hasPrepared = true;
    int status = 0; // 0, or the server's error number
    QString error;
    int rows = 0;
    qint64 time = 0;
    qint64 transaction = 0; // the script's transaction number; 0 outside transactions
    QStringList frames;     // the PHP stack when the query ran
    QString file;
    int line = 0;
};

struct SimulatedError {
    int type = 0;
    QString file;
    int line = 0;
    // Either a finished message, or a printf-style format with its arguments, which
    // the host hands over with addPhpErrorWithArgs.
    QString message;
    QByteArray format;
    QByteArray textArgument;
    int numberArgument = 0;
    bool silenced = false; // raised under PHP's @ operator
    QStringList frames;    // empty: no backtrace
    int afterQuery = 0;    // raised after this many queries of the request
};

struct SimulatedCall {
    QByteArray scope;
    QByteArray name;
    QByteArray file;
    int line = 0;
    int calls = 1;
    qint64 exclusive = 0;
    qint64 inclusive = 0;
};

struct SimulatedSample {
    QByteArray name;
    QByteArray data;
    KTrel::SG_SAMPLING_TYPE type = KTrel::SAMPLE_START;
};

struct SimulatedRequest {
    int index = 0;
    QString pageId;
    QString url;
    QString method;
    int status = 200;
    bool primaryPage = true;
    // What the browser presents.
    QString token;
    QString userAgent;
    bool authorised = true; // the run meant this request to carry a valid token

    qint64 requestTime = 0;
    qint64 phpTime = 0;
    QList<qint64> networkCalls; // each reported to the collector as it ends
    QList<qint64> localWork;
    qint64 otherTime = 0;
    qint64 peakMemory = 0;
    qint64 memoryLimit = 0;

    QList<SimulatedQuery> queries;
    QList<SimulatedError> errors;
    QList<SimulatedCall> calls;
    QList<QByteArray> events;
    QList<SimulatedSample> samples;

    qint64 databaseTime() const {
        qint64 sum = 0;
        for (const SimulatedQuery& query : queries)
            sum += query.time;
        return sum;
    }
};

#endif
