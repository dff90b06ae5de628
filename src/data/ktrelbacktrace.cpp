#include <trel/ktrelbacktrace.h>

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

void KTrelBacktrace::save(QSqlDatabase& database, KDebug::StreamId stream) {
    KStatementCache::Statement query(
        database,
        QStringLiteral("replace into trel_backtrace (id, backtrace) values (NULL, :backtrace)"));
    query->bindValue(QStringLiteral(":backtrace"), QVariant(backtrace));
    query->exec(stream, 3);
    id = query->lastInsertId().toLongLong();
}
