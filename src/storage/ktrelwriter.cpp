#include <trel/ktrel.h>
#include <trel/ktrelbacktrace.h>
#include <trel/ktreleventrecord.h>
#include <trel/ktrelfuncstatsdbrecord.h>

#include "core/ktrellog.h"
#include "storage/ksqlbinary.h"
#include "storage/kstatementcache.h"

#include <kolv/kexception.h>

#include <QSqlDriver>
#include <QSqlError>
#include <QVariant>

#include <sqlite3.h>

#include <chrono>
#include <limits>
#include <random>
#include <thread>

namespace {

const int WriteRetries = 10;
// Whole-request attempts when MySQL picks the write as a deadlock victim, with a short
// pause of random length before each new attempt, so that the workers that met in the
// deadlock do not meet again at once.
const int MaxDeadlockAttempts = 5;

void pauseBeforeAnotherAttempt(int attempt) {
    static thread_local std::minstd_rand random(
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::uniform_int_distribution<int> milliseconds(1, 20 * attempt);
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds(random)));
}

QVariant int64(qint64 value) {
    return QVariant(static_cast<qlonglong>(value));
}

// The transaction value of a query: the request id and the host's transaction id written
// one after the other and read back as one 64-bit number; -1 when there is no
// transaction, 0 when the digits do not fit in 64 bits.
QVariant transactionValue(qint64 requestId, qint64 transactionId) {
    if (transactionId <= 0)
        return QVariant(-1);
    const QString text = QStringLiteral("%1%2").arg(requestId).arg(transactionId);
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10);
    return int64(ok ? value : 0);
}

const char RemovedRow[] = "the request names a URL or statement row that was removed";

bool isRemovedRow(const char* message) {
    return QByteArray(message).contains(RemovedRow);
}

bool isMySql(const QSqlDatabase& database) {
    return database.driverName() == QLatin1String("QMYSQL");
}

// Whether the request's transaction is still open on the server, and whether the
// request names a URL or statement row that is gone.
//
// SQLite ends a transaction by itself after a full disk or an I/O error, and MariaDB
// after a deadlock; statements after that would each commit on their own. Every such
// failure is raised to the writer, and this is the last line: a transaction that ended
// is never committed as if it had held the request.
//
// Cleanup removes URL and statement rows that no kept request uses while other workers
// may still hold their ids in their caches. Rather than look every cached id up as it
// is used (a statement for each one), the writer looks once, at the end of its
// transaction, for a reference of this request to a row that is not there, and writes
// the request again with emptied caches when it finds one, which happens only after a
// cleanup. The look is sound because it runs after the request row was inserted: on
// SQLite the transaction then holds the one write lock and reads the newest state; on
// MariaDB it is a locking read of the newest rows, and cleanup takes a shared lock on
// every request row before it judges a text unused, so it cannot remove a row that this
// request's uncommitted row uses.
struct TransactionState {
    bool open = false;
    qint64 removedReferences = 0;
};

TransactionState transactionState(QSqlDatabase& database, qint64 requestId,
                                  KDebug::StreamId stream) {
    const bool mysql = isMySql(database);
    const QString lock = mysql ? QStringLiteral(" LOCK IN SHARE MODE") : QString();
    KStatementCache::Statement query(
        database,
        QStringLiteral(
            "SELECT %1, (SELECT COUNT(*) FROM trel_requests r LEFT JOIN trel_requests_urls u ON "
            "u.id = r.url_id WHERE r.id = :request AND r.url_id <> -1 AND u.id IS NULL%2) + "
            "(SELECT COUNT(*) FROM trel_sql_queries q LEFT JOIN trel_sql_statements s ON s.id = "
            "q.prepared_statement_id WHERE q.request_id = :queries_of AND "
            "q.prepared_statement_id <> -1 AND s.id IS NULL%2)")
            .arg(mysql ? QStringLiteral("@@in_transaction") : QStringLiteral("1"), lock));
    query->bindValue(QStringLiteral(":request"), int64(requestId));
    query->bindValue(QStringLiteral(":queries_of"), int64(requestId));
    query->exec(stream, WriteRetries);
    TransactionState state;
    if (!query->next())
        return state;
    state.open = query->value(0).toInt() == 1;
    state.removedReferences = query->value(1).toLongLong();
    query->finish();
    if (!mysql) {
        const QVariant handle = database.driver()->handle();
        sqlite3* connection = qstrcmp(handle.typeName(), "sqlite3*") == 0
                                  ? *static_cast<sqlite3* const*>(handle.constData())
                                  : nullptr;
        state.open = connection && sqlite3_get_autocommit(connection) == 0;
    }
    return state;
}

// The part of a superglobal sample that MariaDB accepts in one statement: a statement
// and its bound values travel in one packet of at most max_allowed_packet bytes, and a
// larger one makes the server drop the session, and with it the request. A longer sample
// is stored cut, with a trailer that says so and gives its full size; SQLite stores every
// sample whole.
const int PacketReserve = 4096;

qint64 sampleRoom(QSqlDatabase& database, KDebug::StreamId stream) {
    static qint64 maxPacket = 0;
    if (maxPacket <= 0) {
        KStatementCache::Statement query(database, QStringLiteral("SELECT @@max_allowed_packet"));
        query->exec(stream, WriteRetries);
        maxPacket = query->next() ? query->value(0).toLongLong() : 0;
        query->finish();
    }
    // A size the server did not give leaves the sample whole.
    return maxPacket > 0 ? maxPacket - PacketReserve : std::numeric_limits<qint64>::max();
}

QByteArray cutTrailer(qint64 fullSize) {
    return QByteArrayLiteral("\n[trel: sample cut, ") + QByteArray::number(fullSize) +
           QByteArrayLiteral(" bytes in full]");
}

} // namespace

void KTrel::write() {
    if (!enableDatabaseWrite) {
        trelLog(debugStream, 4) << "Trel: database writes are disabled by directive" << kflush;
        return;
    }
    if (!collectionEnabled)
        return;
    trelLog(debugStream, 4) << "Trel: writing request data of" << request.getUrl() << "to the db"
                            << kflush;

    try {
        QSharedPointer<KDbConnHelper> connection = doGetDatabaseConnection();
        QSqlDatabase& database = connection->database();
        for (int attempt = 1;; ++attempt) {
            try {
                writeTransaction(database);
                break;
            } catch (const KException& e) {
                if (attempt < MaxDeadlockAttempts && isRemovedRow(e.what())) {
                    trelLog(debugStream, 4) << "Trel: the request named a URL or statement "
                                               "that cleanup removed; writing it again"
                                            << kflush;
                    urlIdCache.clear();
                    statementIdCache.clear();
                    continue;
                }
                // MySQL rolls a deadlock victim's whole transaction back: nothing of the
                // request is stored, and writing it again from the start is safe.
                if (attempt >= MaxDeadlockAttempts || !KSafeSqlQuery::isDeadlock(e.what()))
                    throw;
                trelLog(debugStream, 4)
                    << "Trel: the request's transaction was chosen as a deadlock victim; "
                       "writing it again, attempt"
                    << attempt + 1 << kflush;
                pauseBeforeAnotherAttempt(attempt);
            }
        }
    } catch (const KException& e) {
        trelLog(debugStream, 0) << "KTrel::write:" << e.what() << kflush;
    }
}

void KTrel::writeTransaction(QSqlDatabase& database) {
    // Without a transaction a failure would leave part of the request behind.
    KSafeSqlTransaction transaction(database);
    if (!transaction.isOpen())
        throw KException(
            QStringLiteral("could not begin a transaction: %1").arg(database.lastError().text()));
    newUrlKeys.clear();
    newStatementKeys.clear();
    qint64 dataSize = 0;
    try {
        {
            // One prepared statement per statement text for the whole request; they
            // are finalized before the transaction ends.
            KStatementCache statements(database);
            writeRequestRow(database, dataSize);
            writeSqlQueries(database, dataSize);
            writePhpErrors(database, dataSize);
            writeFunctionStats(database, dataSize);
            writeEvents(database, dataSize);
            writeBreakdown(database, dataSize);
            writeSuperGlobals(database, dataSize);

            // Only the size update follows, and its failure is raised.
            const TransactionState state = transactionState(database, getRequestId(), debugStream);
            if (!state.open)
                throw KException(
                    QStringLiteral("the transaction ended before its commit; nothing is stored"));
            if (state.removedReferences > 0)
                throw KException(QString::fromLatin1(RemovedRow));

            KStatementCache::Statement update(
                database,
                QStringLiteral("UPDATE trel_requests SET data_size = :data_size WHERE id = :id"));
            update->bindValue(QStringLiteral(":data_size"), int64(dataSize / 1024));
            update->bindValue(QStringLiteral(":id"), int64(getRequestId()));
            update->exec(debugStream, WriteRetries);
        }

        // A commit that fails leaves the request unwritten: it is reported like a
        // failed statement and rolled back below.
        if (!transaction.commit())
            throw KException(QStringLiteral("commit failed: %1").arg(database.lastError().text()));
        newUrlKeys.clear();
        newStatementKeys.clear();
    } catch (const KException&) {
        transaction.rollback();
        // Ids learned in the rolled-back transaction name rows that no longer exist.
        forgetCachedIds();
        throw;
    }
}

void KTrel::writeRequestRow(QSqlDatabase& database, qint64& dataSize) {
    dataSize += 36 + pageId.length() + request.getMethod().length();
    const qint64 urlId = getUrlDbId(request.getUrl(), database);

    KStatementCache::Statement query(
        database,
        QStringLiteral(
            "INSERT INTO trel_requests (id, page_id, url_id, status_code, method, start_time, "
            "request_time, is_primary_page, peak_memory_usage, data_size, memory_limit) VALUES "
            "(NULL, "
            ":page_id, :url_id, :status_code, :method, :start_time, :request_time, "
            ":is_primary_page, "
            ":peak_memory_usage, :data_size, :memory_limit)"));
    query->bindValue(QStringLiteral(":page_id"), KSafeSqlQuery::text(pageId));
    query->bindValue(QStringLiteral(":url_id"), int64(urlId));
    query->bindValue(QStringLiteral(":status_code"), QVariant(request.getStatus()));
    query->bindValue(QStringLiteral(":method"), KSafeSqlQuery::text(request.getMethod()));
    query->bindValue(QStringLiteral(":start_time"),
                     int64(request.getStartTime().toMSecsSinceEpoch()));
    query->bindValue(QStringLiteral(":request_time"), int64(request.getRequestTime()));
    query->bindValue(QStringLiteral(":is_primary_page"), QVariant(isPrimaryPage ? 1 : 0));
    query->bindValue(QStringLiteral(":peak_memory_usage"), int64(request.getPeakMemoryUsage()));
    query->bindValue(QStringLiteral(":memory_limit"), int64(request.getMemoryLimit()));
    query->bindValue(QStringLiteral(":data_size"), QVariant(-1));
    query->exec(debugStream, WriteRetries);
    setRequestId(query->lastInsertId().toLongLong());
}

void KTrel::writeSqlQueries(QSqlDatabase& database, qint64& dataSize) {
    trelLog(debugStream, 4) << "Writing" << static_cast<int>(sqlQueries.size())
                            << "sql queries information to the db" << kflush;
    const qint64 id = getRequestId();
    for (const SqlQuery& sql : qAsConst(sqlQueries)) {
        dataSize += 28 + sql.errorMessage.length() + sql.resolvedStatement.length();

        KTrelBacktrace backtrace;
        if (sql.backtraceId != -1) {
            backtrace.setBacktrace(getBacktraceById(sql.backtraceId).toLocal8Bit());
            backtrace.save(database, debugStream);
        }
        qint64 statementId = -1;
        if (sql.hasPreparedStatement)
            statementId = getStmtDbId(sql.preparedStatement, database);

        KStatementCache::Statement query(
            database,
            QStringLiteral(
                "INSERT INTO trel_sql_queries (id, request_id, prepared_statement_id, "
                "resolved_statement, status, rows_affected, query_time, error_message, "
                "transaction_id, "
                "file_name, line_number, backtrace_id) VALUES (NULL, :request_id, "
                ":prepared_statement_id, :resolved_statement, :status, :rows_affected, "
                ":query_time, "
                ":error_message, :transaction_id, :file_name, :line_number, :backtrace_id)"));
        query->bindValue(QStringLiteral(":request_id"), int64(id));
        query->bindValue(QStringLiteral(":prepared_statement_id"), int64(statementId));
        query->bindValue(QStringLiteral(":resolved_statement"), QVariant(sql.resolvedStatement));
        query->bindValue(QStringLiteral(":status"), QVariant(sql.status));
        query->bindValue(QStringLiteral(":rows_affected"), QVariant(sql.rowsAffected));
        query->bindValue(QStringLiteral(":query_time"), int64(sql.queryTime));
        query->bindValue(QStringLiteral(":error_message"), QVariant(sql.errorMessage));
        query->bindValue(QStringLiteral(":file_name"), QVariant(sql.fileName));
        query->bindValue(QStringLiteral(":line_number"), QVariant(sql.lineNumber));
        query->bindValue(QStringLiteral(":backtrace_id"), int64(backtrace.getId()));
        query->bindValue(QStringLiteral(":transaction_id"),
                         transactionValue(id, sql.transactionId));
        query->exec(debugStream, WriteRetries);
    }
}

void KTrel::writePhpErrors(QSqlDatabase& database, qint64& dataSize) {
    trelLog(debugStream, 4) << "Writing" << static_cast<int>(phpErrors.size())
                            << "PHP errors information to the db" << kflush;
    const qint64 id = getRequestId();
    for (const PhpError& error : qAsConst(phpErrors)) {
        KTrelBacktrace backtrace;
        if (error.backtraceId != -1) {
            const QString& text = getBacktraceById(error.backtraceId);
            backtrace.setBacktrace(text.toLocal8Bit());
            backtrace.save(database, debugStream);
            dataSize += 4 + text.length();
        }
        dataSize += 16 + error.filename.length() + error.message.length() + error.type.length();

        KStatementCache::Statement query(
            database,
            QStringLiteral(
                "INSERT INTO trel_log_entries ( id, entry_time, request_id, type, message, "
                "filename, "
                "line, silenced, backtrace_id) VALUES ( NULL, :entry_time, :request_id, :type, "
                ":message, :filename, :line, :silenced, :backtrace_id)"));
        query->bindValue(QStringLiteral(":entry_time"),
                         QVariant(static_cast<uint>(error.time.toSecsSinceEpoch())));
        query->bindValue(QStringLiteral(":request_id"), int64(id));
        query->bindValue(QStringLiteral(":type"), QVariant(error.type));
        query->bindValue(QStringLiteral(":message"), QVariant(error.message));
        query->bindValue(QStringLiteral(":filename"), QVariant(error.filename));
        query->bindValue(QStringLiteral(":line"), QVariant(error.line));
        query->bindValue(QStringLiteral(":silenced"), QVariant(error.silenced ? 1 : 0));
        query->bindValue(QStringLiteral(":backtrace_id"), int64(backtrace.getId()));
        query->exec(debugStream, WriteRetries);
    }
}

void KTrel::writeFunctionStats(QSqlDatabase& database, qint64& dataSize) {
    trelLog(debugStream, 4) << "Writing" << static_cast<int>(functionsStats.size())
                            << "functions information to the db" << kflush;
    for (const KFunctionStats& stats : qAsConst(functionsStats)) {
        KTrelFuncStatsDbRecord record(stats);
        dataSize += 24 + record.getFilename().size() + record.getFunctionName().size() +
                    record.getFunctionScope().size();
        record.setRequestId(getRequestId());
        record.save(database, debugStream);
    }
}

void KTrel::writeEvents(QSqlDatabase& database, qint64& dataSize) {
    trelLog(debugStream, 4) << "Writing events information ("
                            << static_cast<unsigned int>(eventAggKeys.size()) << "events )"
                            << kflush;
    for (const QByteArray& key : eventAggKeys) {
        KTrelEventRecord record;
        dataSize += 8 + key.size();
        record.setAggKey(key);
        record.setRequestId(getRequestId());
        record.save(database, debugStream);
    }
}

void KTrel::writeBreakdown(QSqlDatabase& database, qint64& dataSize) {
    trelLog(debugStream, 4) << "Writing processing breakdown information" << kflush;
    dataSize += 20;
    KStatementCache::Statement query(
        database,
        QStringLiteral(
            "INSERT INTO trel_processing_breakdown ( request_id, database_time, network_time, "
            "local_time, php_time) VALUES ( :request_id, :database_time, :network_time, "
            ":local_time, "
            ":php_time)"));
    query->bindValue(QStringLiteral(":request_id"), int64(getRequestId()));
    query->bindValue(QStringLiteral(":database_time"), int64(request.getDatabaseTime()));
    query->bindValue(QStringLiteral(":network_time"), int64(request.getNetworkTime()));
    query->bindValue(QStringLiteral(":local_time"), int64(request.getLocalTime()));
    query->bindValue(QStringLiteral(":php_time"), int64(request.getPhpTime()));
    query->exec(debugStream, WriteRetries);
}

void KTrel::writeSuperGlobals(QSqlDatabase& database, qint64& dataSize) {
    trelLog(debugStream, 4) << "Writing" << static_cast<int>(superGlobalSamples.size())
                            << "super global samples" << kflush;
    const qint64 id = getRequestId();
    const bool mysql = isMySql(database);
    // Emulated prepares send the bytes as hexadecimal, twice their size.
    const int hexFactor = KSqlBinary::emulated(database) ? 2 : 1;
    for (const SuperGlobalSample& sample : qAsConst(superGlobalSamples)) {
        QByteArray data = sample.data;
        const qint64 limit =
            mysql ? sampleRoom(database, debugStream) / hexFactor - sample.name.size() : -1;
        if (mysql && data.size() > limit) {
            const QByteArray trailer = cutTrailer(data.size());
            trelLog(debugStream, 3) << "Trel: superglobal sample" << sample.name.constData() << "of"
                                    << static_cast<long long>(data.size())
                                    << "bytes is stored cut to the server's packet size" << kflush;
            data.truncate(static_cast<int>(qMax<qint64>(0, limit - trailer.size())));
            data += trailer;
        }
        dataSize += 12 + data.size() + sample.name.size();
        KStatementCache::Statement query(
            database, QStringLiteral("INSERT INTO trel_superglobals_data ( request_id, sg_name, "
                                     "data, sample_type) VALUES "
                                     "( :request_id, :sg_name, %1, :sample_type)")
                          .arg(KSqlBinary::placeholder(database, QStringLiteral(":data"))));
        query->bindValue(QStringLiteral(":request_id"), int64(id));
        query->bindValue(QStringLiteral(":sg_name"),
                         QVariant(QString::fromUtf8(sample.name.constData())));
        query->bindValue(QStringLiteral(":data"), KSqlBinary::value(database, data));
        query->bindValue(QStringLiteral(":sample_type"),
                         QVariant(QString::fromLatin1(sample.sampleTypeName())));
        query->exec(debugStream, WriteRetries);
    }
}
