#include <trel/ktrelbacktrace.h>

#include "storage/kbatchinsert.h"
#include "storage/kstatementcache.h"

#include <kolv/kexception.h>

#include <QSqlRecord>
#include <QVariant>

KTrelBacktrace::KTrelBacktrace() : id(-1) {}

KTrelBacktrace::KTrelBacktrace(const KTrelBacktrace& other) = default;

KTrelBacktrace& KTrelBacktrace::operator=(const KTrelBacktrace& other) = default;

KTrelBacktrace::~KTrelBacktrace() = default;

KTrelBacktrace::KTrelBacktrace(const QSqlRecord& record)
    : id(record.value(0).toLongLong()), backtrace(record.value(1).toByteArray()) {}

bool KTrelBacktrace::load(KDbConnectionPtr connection, KDebug::StreamId stream) {
    if (connection.isNull())
        throw KException("KTrelBacktrace::load: no database connection");
    QSqlDatabase database = connection->getDatabase();
    KStatementCache::Statement query(database,
                                     QStringLiteral("select * from trel_backtrace where id=:id"));
    query->bindValue(QStringLiteral(":id"), QVariant(static_cast<qlonglong>(id)));
    query->exec(stream, 3);
    if (!query->next())
        return false;
    *this = KTrelBacktrace(query->record());
    return true;
}

QString KTrelBacktrace::insertStatement() {
    return QStringLiteral("replace into trel_backtrace (id, backtrace) values (NULL, :backtrace)");
}

void KTrelBacktrace::bindRow(KBatchInsert& rows) const {
    rows.bind(QStringLiteral(":backtrace"), QVariant(backtrace));
}

void KTrelBacktrace::save(QSqlDatabase& database, KDebug::StreamId stream) {
    KBatchInsert row(database, insertStatement(), KBatchInsert::Limits(), stream, 3, true);
    bindRow(row);
    row.addRow();
    id = row.ids().first();
}
