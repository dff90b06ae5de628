#include <trel/ktrel.h>

#include "core/ktrellog.h"
#include "storage/ksafesqlquery.h"

#include <kolv/kexception.h>

#include <QSqlError>
#include <QVariant>

namespace {

// Attempts of the whole cleanup when MariaDB picks it as a deadlock victim: a writer
// that stored a new URL or statement and waits for this cleanup's lock on the requests
// meets it there.
const int MaxDeadlockAttempts = 3;

void run(QSqlDatabase& database, const QString& sql, KDebug::StreamId stream) {
    KSafeSqlQuery query(database);
    query.prepare(sql);
    query.exec(stream, 3);
}

// URL and statement rows that no kept request uses go with the requests, so that these
// tables do not grow as fast as requests arrive. Another worker may still hold such a
// row's id in its cache; its writer looks, inside its own transaction, for a reference
// to a removed row and then writes the request again (see the writer). On MariaDB this
// transaction first takes a shared lock on every request row and on the end of the
// table, so that a request being written is either committed before the rows it uses
// are judged, or inserted after this transaction has committed. On SQLite one writer at
// a time gives the same.
void deleteUnusedTexts(QSqlDatabase& database, bool mysql, KDebug::StreamId stream) {
    if (mysql) {
        // Multi-table deletes: the server runs "id NOT IN (SELECT ...)" as a dependent
        // subquery, one scan of the referring table per row.
        run(database,
            QStringLiteral("DELETE u FROM trel_requests_urls u LEFT JOIN (SELECT DISTINCT url_id "
                           "FROM trel_requests) used ON used.url_id = u.id WHERE used.url_id IS "
                           "NULL"),
            stream);
        run(database,
            QStringLiteral("DELETE s FROM trel_sql_statements s LEFT JOIN (SELECT DISTINCT "
                           "prepared_statement_id AS id FROM trel_sql_queries) used ON used.id = "
                           "s.id WHERE used.id IS NULL"),
            stream);
    } else {
        // SQLite gives a new row the highest id plus one: with the highest row removed, a
        // new text would take its id, and a worker that still caches that id for the old
        // text would find a row there and point its request at the wrong text. Keeping
        // each table's highest row means no removed id is ever handed out again. (InnoDB
        // never hands out an auto-increment value twice.)
        run(database,
            QStringLiteral("DELETE FROM trel_requests_urls WHERE id NOT IN (SELECT url_id FROM "
                           "trel_requests) AND id < (SELECT MAX(id) FROM trel_requests_urls)"),
            stream);
        run(database,
            QStringLiteral("DELETE FROM trel_sql_statements WHERE id NOT IN (SELECT "
                           "prepared_statement_id FROM trel_sql_queries) AND id < (SELECT "
                           "MAX(id) FROM trel_sql_statements)"),
            stream);
    }
}

} // namespace

void KTrel::cleanupDb(quint32 keep) {
    QSharedPointer<KDbConnHelper> connection = doGetDatabaseConnection();
    if (connection.isNull()) {
        trelLog(debugStream, 0) << "KTrel::cleanupDb: could not get a db connection" << kflush;
        return;
    }
    QSqlDatabase& database = connection->database();
    const bool mysql = database.driverName() == QLatin1String("QMYSQL");
    int deleted = 0;
    for (int attempt = 1;; ++attempt) {
        KSafeSqlTransaction transaction(database);
        if (!transaction.isOpen())
            throw KException(QStringLiteral("KTrel::cleanupDb: could not begin a transaction: %1")
                                 .arg(database.lastError().text()));
        try {
            if (mysql)
                run(database,
                    QStringLiteral("SELECT COUNT(*) FROM trel_requests LOCK IN SHARE MODE"),
                    debugStream);
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
            deleteUnusedTexts(database, mysql, debugStream);
            if (!transaction.commit())
                throw KException(QStringLiteral("KTrel::cleanupDb: commit failed: %1")
                                     .arg(database.lastError().text()));
            // This process's own cached ids of removed rows would only make its next
            // write find them gone and start again.
            urlIdCache.clear();
            statementIdCache.clear();
            break;
        } catch (const KException& e) {
            transaction.rollback();
            if (attempt >= MaxDeadlockAttempts || !KSafeSqlQuery::isDeadlock(e.what()))
                throw;
        }
    }
    trelLog(debugStream, 3) << "Deleted requests:" << deleted << kflush;
}
