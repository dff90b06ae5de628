#include <trel/ktrel.h>

#include "core/ktrellog.h"
#include "storage/ksafesqlquery.h"

#include <kolv/kexception.h>

#include <QSqlError>
#include <QVariant>

void KTrel::cleanupDb(quint32 keep) {
    QSharedPointer<KDbConnHelper> connection = doGetDatabaseConnection();
    if (connection.isNull()) {
        trelLog(debugStream, 0) << "KTrel::cleanupDb: could not get a db connection" << kflush;
        return;
    }
    QSqlDatabase& database = connection->database();
    KSafeSqlTransaction transaction(database);
    if (!transaction.isOpen())
        throw KException(QStringLiteral("KTrel::cleanupDb: could not begin a transaction: %1")
                             .arg(database.lastError().text()));
    int deleted = 0;
    try {
        KSafeSqlQuery query(database);
        query.prepare(QStringLiteral(
            "DELETE FROM trel_requests WHERE id NOT IN (SELECT * FROM (SELECT id from "
            "trel_requests ORDER BY id DESC LIMIT :keepUrls) as t)"));
        // The count is bound as a signed 32-bit value; counts beyond its range keep
        // everything rather than wrapping to a negative limit.
        const int limit = keep > 0x7fffffffu ? 0x7fffffff : static_cast<int>(keep);
        query.bindValue(QStringLiteral(":keepUrls"), QVariant(limit));
        query.exec(debugStream, 3);
        deleted = query.numRowsAffected();
        if (!transaction.commit())
            throw KException(QStringLiteral("KTrel::cleanupDb: commit failed: %1")
                                 .arg(database.lastError().text()));
    } catch (const KException&) {
        transaction.rollback();
        throw;
    }
    trelLog(debugStream, 3) << "Deleted requests:" << deleted << kflush;
}
