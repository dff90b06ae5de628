#include <trel/ktreleventrecord.h>

#include "storage/kbatchinsert.h"

#include <QVariant>

KTrelEventRecord::KTrelEventRecord() : id(0), requestId(0) {}

KTrelEventRecord::KTrelEventRecord(const KTrelEventRecord& other) = default;

KTrelEventRecord& KTrelEventRecord::operator=(const KTrelEventRecord& other) = default;

KTrelEventRecord::~KTrelEventRecord() = default;

QString KTrelEventRecord::insertStatement() {
    return QStringLiteral("replace into trel_monitor_events (id, request_id, agg_key) "
                          "values  (NULL, :request_id, :agg_key)");
}

void KTrelEventRecord::bindRow(KBatchInsert& rows) const {
    rows.bind(QStringLiteral(":request_id"), QVariant(static_cast<qlonglong>(requestId)));
    // Bound as a C string: the stored key ends at the first zero byte.
    rows.bind(QStringLiteral(":agg_key"), QVariant(QString::fromUtf8(aggKey.constData())));
}

void KTrelEventRecord::save(QSqlDatabase database, KDebug::StreamId stream) {
    KBatchInsert row(database, insertStatement(), KBatchInsert::Limits(), stream, 3);
    bindRow(row);
    row.addRow();
    row.flush();
}
