#ifndef TREL_KTRELFUNCSTATSDBRECORD_H
#define TREL_KTRELFUNCSTATSDBRECORD_H

#include <trel/kfunctionstats.h>
#include <trel/trel_export.h>

#include <kolv/kdebug.h>

#include <QByteArray>
#include <QSqlDatabase>
#include <QString>

class KBatchInsert;

// One row of trel_functions_stats.
class TREL_EXPORT KTrelFuncStatsDbRecord {
public:
    KTrelFuncStatsDbRecord();
    // Takes the low 32 bits of the elapsed times, as signed values; no unit conversion.
    explicit KTrelFuncStatsDbRecord(const KFunctionStats& stats);
    KTrelFuncStatsDbRecord(const KTrelFuncStatsDbRecord& other);
    KTrelFuncStatsDbRecord& operator=(const KTrelFuncStatsDbRecord& other);
    virtual ~KTrelFuncStatsDbRecord();

    void setId(int value) { id = value; }
    int getId() const { return id; }
    void setRequestId(long long value) { requestId = value; }
    long long getRequestId() const { return requestId; }
    void setFunctionName(const QByteArray& value) { functionName = value; }
    const QByteArray& getFunctionName() const { return functionName; }
    void setFunctionScope(const QByteArray& value) { functionScope = value; }
    const QByteArray& getFunctionScope() const { return functionScope; }
    void setTimesCalled(int value) { timesCalled = value; }
    int getTimesCalled() const { return timesCalled; }
    void setTimeExclusive(int value) { timeExclusive = value; }
    int getTimeExclusive() const { return timeExclusive; }
    void setTimeInclusive(int value) { timeInclusive = value; }
    int getTimeInclusive() const { return timeInclusive; }
    void setFilename(const QByteArray& value) { filename = value; }
    const QByteArray& getFilename() const { return filename; }
    void setLine(int value) { line = value; }
    int getLine() const { return line; }

    // Inserts one row. Throws KException when the statement fails.
    void save(QSqlDatabase database, KDebug::StreamId stream);

    // The library's writer sends its rows with insertStatement(), each bound by bindRow().
    static QString insertStatement();
    void bindRow(KBatchInsert& rows) const;

private:
    int id;
    long long requestId;
    QByteArray functionName;
    QByteArray functionScope;
    int timesCalled;
    int timeExclusive;
    int timeInclusive;
    QByteArray filename;
    int line;
};

#endif
