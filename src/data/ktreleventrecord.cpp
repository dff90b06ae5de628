#include <trel/ktreleventrecord.h>

#include "storage/kstatementcache.h"

#include <QVariant>

KTrelEventRecord::KTrelEventRecord() : id(0), requestId(0) {}

KTrelEventRecord::KTrelEventRecord(const KTrelEventRecord& other) = default;

KTrelEventRecord& KTrelEventRecord::operator=(const KTrelEventRecord& other) = default;

KTrelEventRecord::~KTrelEventRecord() = default;

void KTrelEventRecord::save(QSqlDatabase database, KDebug::StreamId stream) {
    KStatementCache::Statement query(
        database, QStringLiteral("replace into trel_monitor_events (id, request_id, agg_key) "
                                 "values  (NULL, :request_id, "
                                 ":agg_key)"));
    query->bindValue(QStringLiteral(":request_id"), QVariant(static_cast<qlonglong>(requestId)));
    // Bound as a C string: the stored key ends at the first zero byte.
    query->bindValue(QStringLiteral(":agg_key"), QVariant(QString::fromUtf8(aggKey.constData())));
    query->exec(stream, 3);
}
