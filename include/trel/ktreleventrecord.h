#ifndef TREL_KTRELEVENTRECORD_H
#define TREL_KTRELEVENTRECORD_H

#include <trel/trel_export.h>

#include <kolv/kdebug.h>

#include <QByteArray>
#include <QSqlDatabase>
#include <QString>

class KBatchInsert;

// One row of trel_monitor_events.
class TREL_EXPORT KTrelEventRecord {
public:
    KTrelEventRecord();
    KTrelEventRecord(const KTrelEventRecord& other);
    KTrelEventRecord& operator=(const KTrelEventRecord& other);
    virtual ~KTrelEventRecord();

    void setId(int value) { id = value; }
    int getId() const { return id; }
    void setRequestId(const long long& value) { requestId = value; }
    const long long& getRequestId() const { return requestId; }
    void setAggKey(const QByteArray& key) { aggKey = key; }
    const QByteArray& getAggKey() const { return aggKey; }

    // Inserts one row. Throws KException when the statement fails.
    void save(QSqlDatabase database, KDebug::StreamId stream);

    // The library's writer sends its rows with insertStatement(), each bound by bindRow().
    static QString insertStatement();
    void bindRow(KBatchInsert& rows) const;

private:
    int id;
    long long requestId;
    QByteArray aggKey;
};

#endif
