#include <trel/ktrelfuncstatsdbrecord.h>

#include "storage/kbatchinsert.h"

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

QString KTrelFuncStatsDbRecord::insertStatement() {
    return QStringLiteral(
        "replace into trel_functions_stats (id, request_id, function_name, function_scope, "
        "times_called, time_exclusive, time_inclusive, filename, line) values  (NULL, "
        ":request_id, :function_name, :function_scope, :times_called, :time_exclusive, "
        ":time_inclusive, :filename, :line) ");
}

void KTrelFuncStatsDbRecord::bindRow(KBatchInsert& rows) const {
    rows.bind(QStringLiteral(":request_id"), QVariant(static_cast<qlonglong>(requestId)));
    // Names and files are bound as C strings: the stored text ends at the first zero byte.
    rows.bind(QStringLiteral(":function_name"),
              QVariant(QString::fromUtf8(functionName.constData())));
    rows.bind(QStringLiteral(":function_scope"),
              QVariant(QString::fromUtf8(functionScope.constData())));
    rows.bind(QStringLiteral(":times_called"), QVariant(timesCalled));
    rows.bind(QStringLiteral(":time_exclusive"), QVariant(timeExclusive));
    rows.bind(QStringLiteral(":time_inclusive"), QVariant(timeInclusive));
    rows.bind(QStringLiteral(":filename"), QVariant(QString::fromUtf8(filename.constData())));
    rows.bind(QStringLiteral(":line"), QVariant(line));
}

void KTrelFuncStatsDbRecord::save(QSqlDatabase database, KDebug::StreamId stream) {
    KBatchInsert row(database, insertStatement(), KBatchInsert::Limits(), stream, 3);
    bindRow(row);
    row.addRow();
    row.flush();
}
