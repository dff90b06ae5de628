#include <trel/ktrel.h>

#include "core/ktrellog.h"
#include "storage/ksafesqlquery.h"

#include <kolv/kexception.h>

#include <QElapsedTimer>
#include <QSqlDriver>
#include <QSqlError>
#include <QThread>
#include <QVariant>

#include <sqlite3.h>

namespace {

// Attempts of the whole cleanup when MariaDB picks it as a deadlock victim: a writer
// that stored a new URL or statement and waits for this cleanup's lock on the requests
// meets it there.
const int MaxDeadlockAttempts = 8;

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

// A batch's requests go in one transaction that holds every writer while it runs: the
// batch grows while it takes less than LightBatch and shrinks when it takes more than
// HeavyBatch, so that no batch holds writers for a second.
const int FirstBatch = 500;
const int FirstClusterBatch = 50;
const int MostBatch = 20000;
const qint64 LightBatchMs = 100;
const qint64 HeavyBatchMs = 400;

// Gives the file's free pages back to the disk. SQLite frees one page per step of the
// statement, and Qt steps a statement without columns once: sqlite3_exec runs it to its
// end. Space not given back now goes with the next batch; it fails no cleanup.
void giveBack(QSqlDatabase& database, KDebug::StreamId stream) {
    const QVariant handle = database.driver()->handle();
    sqlite3* connection = qstrcmp(handle.typeName(), "sqlite3*") == 0
                              ? *static_cast<sqlite3* const*>(handle.constData())
                              : nullptr;
    if (!connection)
        return;
    char* message = nullptr;
    if (sqlite3_exec(connection, "PRAGMA incremental_vacuum", nullptr, nullptr, &message) !=
        SQLITE_OK)
        trelLog(stream, 1) << "Trel: cleanup could not give free pages back to the disk:"
                           << QString::fromUtf8(message) << kflush;
    sqlite3_free(message);
}

// The one-row, one-column answer of `sql` with `bind` bound, or an invalid value.
QVariant value(QSqlDatabase& database, const QString& sql, const QVariantList& binds,
               KDebug::StreamId stream) {
    KSafeSqlQuery query(database);
    query.prepare(sql);
    for (int i = 0; i < binds.size(); ++i)
        query.bindValue(i, binds.at(i));
    query.exec(stream, 3);
    return query.next() ? query.value(0) : QVariant();
}

// Runs `work` in one transaction, again when MariaDB picks it as a deadlock victim.
template <typename Work> void inTransaction(QSqlDatabase& database, Work work) {
    for (int attempt = 1;; ++attempt) {
        KSafeSqlTransaction transaction(database);
        if (!transaction.isOpen())
            throw KException(QStringLiteral("KTrel::cleanupDb: could not begin a transaction: %1")
                                 .arg(database.lastError().text()));
        try {
            work();
            if (!transaction.commit())
                throw KException(QStringLiteral("KTrel::cleanupDb: commit failed: %1")
                                     .arg(database.lastError().text()));
            return;
        } catch (const KException& e) {
            transaction.rollback();
            if (attempt >= MaxDeadlockAttempts || !KSafeSqlQuery::isDeadlock(e.what()))
                throw;
            // Other nodes of a cluster keep writing: a pause lets their commits pass.
            QThread::msleep(10u << qMin(attempt, 6));
        }
    }
}

} // namespace

// The requests older than the newest `keep` when cleanup starts go in batches of whole
// requests, oldest first, each in its own transaction with everything the trigger
// removes with it: a failure part-way leaves every request deleted or kept whole. Then
// the URLs and statements that no kept request uses go in one more transaction. On
// SQLite the freed pages go back to the disk after each batch (the file's
// auto_vacuum=INCREMENTAL, which `trel init` sets; vacuum() converts an older file).
void KTrel::cleanupDb(quint32 keep) {
    QSharedPointer<KDbConnHelper> connection = doGetDatabaseConnection();
    if (connection.isNull()) {
        trelLog(debugStream, 0) << "KTrel::cleanupDb: could not get a db connection" << kflush;
        return;
    }
    QSqlDatabase& database = connection->database();
    const bool mysql = database.driverName() == QLatin1String("QMYSQL");

    // The oldest request kept; every request below it goes. Requests stored while the
    // cleanup runs are newer, and kept. On MariaDB the read locks what it passes, so
    // that a request being written is counted once committed rather than overlooked.
    const QString lock = mysql ? QStringLiteral(" LOCK IN SHARE MODE") : QString();
    // A transaction of its own, so that a Galera node's deadlock on it is tried again.
    QVariant firstKept;
    inTransaction(database, [&] {
        if (keep == 0) {
            firstKept =
                value(database, QStringLiteral("SELECT MAX(id) + 1 FROM trel_requests") + lock, {},
                      debugStream);
        } else {
            // The count is bound as a signed 32-bit value.
            const int offset = keep > 0x7fffffffu ? 0x7fffffff : static_cast<int>(keep) - 1;
            firstKept = value(
                database,
                QStringLiteral("SELECT id FROM trel_requests ORDER BY id DESC LIMIT 1 OFFSET ?") +
                    lock,
                {offset}, debugStream);
        }
    });

    const bool cluster = mysql && value(database,
                                        QStringLiteral("SELECT COUNT(*) FROM information_schema."
                                                       "GLOBAL_VARIABLES WHERE VARIABLE_NAME = "
                                                       "'WSREP_ON' AND VARIABLE_VALUE = 'ON'"),
                                        {}, debugStream)
                                          .toLongLong() > 0;

    qint64 deleted = 0;
    int batches = 0;
    qint64 longest = 0;
    if (firstKept.isValid() && !firstKept.isNull()) {
        const qint64 bound = firstKept.toLongLong();
        // Every node applies a Galera batch's write set before the next commit there, and a
        // busy cluster's flow control can hold a large one past the connection's read
        // timeout: there the batches start small and grow only while they stay light.
        int batch = cluster ? FirstClusterBatch : FirstBatch;
        for (;;) {
            QElapsedTimer timer;
            timer.start();
            int batchDeleted = 0;
            inTransaction(database, [&] {
                // The batch's last request: the batch-th oldest, or the last one below
                // the bound.
                QVariant last = value(database,
                                      QStringLiteral("SELECT id FROM trel_requests WHERE id < ? "
                                                     "ORDER BY id LIMIT 1 OFFSET ?"),
                                      {bound, batch - 1}, debugStream);
                if (!last.isValid() || last.isNull())
                    last = value(database,
                                 QStringLiteral("SELECT MAX(id) FROM trel_requests "
                                                "WHERE id < ?"),
                                 {bound}, debugStream);
                if (!last.isValid() || last.isNull())
                    return;
                KSafeSqlQuery query(database);
                query.prepare(QStringLiteral("DELETE FROM trel_requests WHERE id <= ?"));
                query.bindValue(0, last);
                query.exec(debugStream, 3);
                batchDeleted = query.numRowsAffected();
            });
            if (batchDeleted <= 0)
                break;
            deleted += batchDeleted;
            if (!mysql)
                giveBack(database, debugStream);
            const qint64 took = timer.elapsed();
            if (took < LightBatchMs)
                batch = qMin(batch * 2, MostBatch);
            else if (took > HeavyBatchMs)
                batch = qMax(batch / 2, 10);
            ++batches;
            longest = qMax(longest, took);
        }
    }

    // A Galera node certifies only the rows a transaction writes: a writer on another node
    // that refers to a URL or statement row, and this node deleting that row as unused,
    // both commit, and the request is left pointing at nothing. There the texts stay
    // (they are shared by the requests to come); every other server removes the unused.
    if (cluster)
        trelLog(debugStream, 3) << "Trel: cleanup on a Galera node keeps the unused texts"
                                << kflush;
    else
        inTransaction(database, [&] {
            if (mysql)
                run(database,
                    QStringLiteral("SELECT COUNT(*) FROM trel_requests LOCK IN SHARE MODE"),
                    debugStream);
            deleteUnusedTexts(database, mysql, debugStream);
        });
    // This process's own cached ids of removed rows would only make its next write find
    // them gone and start again.
    urlIdCache.clear();
    statementIdCache.clear();
    if (!mysql) {
        giveBack(database, debugStream);
        // The log's pages go back too once no reader needs them; busy readers only
        // leave it for the next checkpoint.
        run(database, QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"), debugStream);
    }
    trelLog(debugStream, 4) << "Trel: cleanup batches:" << batches << "longest (ms):" << longest
                            << kflush;
    trelLog(debugStream, 3) << "Deleted requests:" << deleted << kflush;
}

void KTrel::vacuumDb() {
    QSharedPointer<KDbConnHelper> connection = doGetDatabaseConnection();
    if (connection.isNull())
        throw KException(QStringLiteral("KTrel::vacuumDb: could not get a db connection"));
    QSqlDatabase& database = connection->database();
    if (database.driverName() == QLatin1String("QMYSQL"))
        return;
    run(database, QStringLiteral("PRAGMA auto_vacuum = INCREMENTAL"), debugStream);
    run(database, QStringLiteral("VACUUM"), debugStream);
    run(database, QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"), debugStream);
}
