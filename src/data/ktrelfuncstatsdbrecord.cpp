#include <trel/ktrelfuncstatsdbrecord.h>

#include "storage/kstatementcache.h"

#include <QVariant>

KTrelFuncStatsDbRecord::KTrelFuncStatsDbRecord()
    : id(0), requestId(0), timesCalled(0), timeExclusive(0), timeInclusive(0), line(0) {}

KTrelFuncStatsDbRecord::KTrelFuncStatsDbRecord(const KFunctionStats& stats)
    : id(0), requestId(0), functionName(stats.getFunctionName()),
      functionScope(stats.getFunctionScope()), timesCalled(stats.getCalls()),
      timeExclusive(static_cast<int>(static_cast<quint32>(stats.getExclusiveElapsed()))),
      timeInclusive(static_cast<int>(static_cast<quint32>(stats.getInclusiveElapsed()))),
      filename(stats.getFilename()), line(stats.getLine()) {}

KTrelFuncStatsDbRecord::KTrelFuncStatsDbRecord(const KTrelFuncStatsDbRecord& other) = default;

KTrelFuncStatsDbRecord&
KTrelFuncStatsDbRecord::operator=(const KTrelFuncStatsDbRecord& other) = default;

KTrelFuncStatsDbRecord::~KTrelFuncStatsDbRecord() = default;

void KTrelFuncStatsDbRecord::save(QSqlDatabase database, KDebug::StreamId stream) {
    KStatementCache::Statement query(
        database,
        QStringLiteral(
            "replace into trel_functions_stats (id, request_id, function_name, function_scope, "
            "times_called, time_exclusive, time_inclusive, filename, line) values  (NULL, "
            ":request_id, :function_name, :function_scope, :times_called, :time_exclusive, "
            ":time_inclusive, :filename, :line) "));
    query->bindValue(QStringLiteral(":request_id"), QVariant(static_cast<qlonglong>(requestId)));
    // Names and files are bound as C strings: the stored text ends at the first zero byte.
    query->bindValue(QStringLiteral(":function_name"),
                     QVariant(QString::fromUtf8(functionName.constData())));
    query->bindValue(QStringLiteral(":function_scope"),
                     QVariant(QString::fromUtf8(functionScope.constData())));
    query->bindValue(QStringLiteral(":times_called"), QVariant(timesCalled));
    query->bindValue(QStringLiteral(":time_exclusive"), QVariant(timeExclusive));
    query->bindValue(QStringLiteral(":time_inclusive"), QVariant(timeInclusive));
    query->bindValue(QStringLiteral(":filename"),
                     QVariant(QString::fromUtf8(filename.constData())));
    query->bindValue(QStringLiteral(":line"), QVariant(line));
    query->exec(stream, 3);
}
