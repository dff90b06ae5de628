#include <trel/ktrel.h>
#include <trel/ktrelbacktrace.h>
#include <trel/ktreleventrecord.h>
#include <trel/ktrelfuncstatsdbrecord.h>
#include <trel/ktrelstoredrequest.h>

#include "core/ktrellog.h"
#include "storage/kbatchinsert.h"
#include "storage/ksqlbinary.h"
#include "storage/kstatementcache.h"
#include "storage/kwaitbudget.h"

#include <kolv/kexception.h>
#include <kolv/kolvdbsqliteinfo.h>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDriver>
#include <QSqlError>
#include <QUrl>
#include <QVariant>

#include <sqlite3.h>

#include <chrono>
#include <climits>
#include <memory>
#include <random>
#include <thread>

namespace {

const int WriteRetries = 10;
// Whole-request attempts when the server ends the write's transaction before its commit:
// a deadlock, a lock wait timeout, a Galera conflict with another node's write or a
// Galera node briefly out of the cluster's majority. Nothing of the request is stored
// then, and writing it again from the start is safe. The pause before each new attempt
// doubles (10, 20, 40 ... 640 ms, then 1 s) and is drawn from its upper half, so that
// writers that met in a conflict do not meet again at once; the pauses add up to 2.6 to
// 5.3 s, within the write's wait budget. With three writers on three Galera nodes no
// request needed more than 3 attempts in galera_check, nor more than 5 when the three
// started at once on an empty cluster (docs/RELIABILITY.md).
const int MaxWriteAttempts = 12;
const int FirstPauseMs = 10;
const int LongestPauseMs = 1000;

// False when the write's wait budget has no room for the pause.
bool pauseBeforeAnotherAttempt(int attempt) {
    static thread_local std::minstd_rand random(
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    const int ceiling = qMin(LongestPauseMs, FirstPauseMs << qMin(attempt - 1, 16));
    std::uniform_int_distribution<int> milliseconds(ceiling / 2, ceiling);
    const int pause = milliseconds(random);
    if (!KWaitBudget::allows(pause))
        return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    return true;
}

// A commit whose answer the lost connection took with it, and which could not be checked
// after reconnecting: the request may be stored, so it is not written again.
const char UnknownCommit[] = "whether the request is stored is unknown";

// A transaction that could not begin (a server that does not answer) or a Galera node
// that is not part of the cluster yet is refused at once: waiting would only hold the
// host's worker, and the next request asks again.
const char NotBegun[] = "could not begin a transaction";

// A lost connection is not written again either: the server that did not answer (a read
// timeout) or went away would most likely cost the next attempt as much.
bool mayWriteAgain(const char* message) {
    const QByteArray text(message);
    const QString words = QString::fromUtf8(message);
    return KSafeSqlQuery::endsTransaction(message) && !text.contains(UnknownCommit) &&
           !text.contains(NotBegun) && !text.contains("WSREP has not yet prepared node") &&
           !words.contains(QLatin1String("server has gone away"), Qt::CaseInsensitive) &&
           !words.contains(QLatin1String("lost connection to server"), Qt::CaseInsensitive);
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

const char ReplacedFile[] = "the database file was replaced while the request was written";

bool isReplacedFile(const char* message) {
    return QByteArray(message).contains(ReplacedFile);
}

bool isMySql(const QSqlDatabase& database) {
    return database.driverName() == QLatin1String("QMYSQL");
}

// A statement whose values are all numbers. On MySQL (batching on) the numbers are
// written into the text and it is sent unprepared: one round trip, where a prepared
// statement takes two. Otherwise it is the write's prepared statement, values bound.
class NumbersStatement {
public:
    NumbersStatement(QSqlDatabase& database, const QString& sql) : m_sql(sql), m_text(sql) {
        if (isMySql(database) && KBatchInsert::isEnabled()) {
            m_direct = std::make_unique<KSafeSqlQuery>(database);
            m_direct->setForwardOnly(true);
        } else {
            m_prepared = std::make_unique<KStatementCache::Statement>(database, sql);
        }
    }
    void bind(const QString& name, qint64 value) {
        if (m_direct)
            m_text.replace(name, QString::number(value));
        else
            (*m_prepared)->bindValue(name, int64(value));
    }
    void exec(KDebug::StreamId stream) {
        if (m_direct)
            m_direct->execText(m_text, m_sql, stream, WriteRetries);
        else
            (*m_prepared)->exec(stream, WriteRetries);
    }
    KSafeSqlQuery* operator->() { return m_direct ? m_direct.get() : &**m_prepared; }

private:
    QString m_sql;
    QString m_text;
    std::unique_ptr<KSafeSqlQuery> m_direct;
    std::unique_ptr<KStatementCache::Statement> m_prepared;
};

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
// SQLite the transaction then holds the one write lock and reads the newest state. On
// MariaDB it is the transaction's first consistent read (the writer's other reads are
// locking ones), so its snapshot is taken now and holds every committed deletion; a
// cleanup that starts later takes a shared lock on every request row, this request's
// uncommitted one included, before it judges a text unused, and so waits for this commit.
// It takes no lock itself: on Galera a locking read over the ranges where other nodes'
// rows land made their replicated inserts abort this transaction.
struct TransactionState {
    bool open = false;
    qint64 removedReferences = 0;
};

TransactionState transactionState(QSqlDatabase& database, qint64 requestId,
                                  KDebug::StreamId stream) {
    const bool mysql = isMySql(database);
    NumbersStatement query(
        database,
        QStringLiteral(
            "SELECT %1, (SELECT COUNT(*) FROM trel_requests r LEFT JOIN trel_requests_urls u ON "
            "u.id = r.url_id WHERE r.id = :request AND r.url_id <> -1 AND u.id IS NULL) + "
            "(SELECT COUNT(*) FROM trel_sql_queries q LEFT JOIN trel_sql_statements s ON s.id = "
            "q.prepared_statement_id WHERE q.request_id = :queries_of AND "
            "q.prepared_statement_id <> -1 AND s.id IS NULL)")
            .arg(mysql ? QStringLiteral("(SELECT COUNT(*) FROM trel_requests WHERE id = "
                                        ":own_request)")
                       : QStringLiteral("1")));
    query.bind(QStringLiteral(":own_request"), requestId);
    query.bind(QStringLiteral(":request"), requestId);
    query.bind(QStringLiteral(":queries_of"), requestId);
    query.exec(stream);
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

// A superglobal sample and its statement travel in one packet of at most
// max_allowed_packet bytes on MariaDB, and a larger one makes the server drop the session,
// and with it the request. A longer sample is stored cut, with a trailer that says so and
// gives its full size; SQLite stores every sample whole. The packet size is the
// session's (with the write's limits): a server whose setting changed gives it to the
// sessions opened after the change, and a worker's reopened session asks again.
QByteArray cutTrailer(qint64 fullSize) {
    return QByteArrayLiteral("\n[trel: sample cut, ") + QByteArray::number(fullSize) +
           QByteArrayLiteral(" bytes in full]");
}

// After a commit whose connection was lost: 1 when the request row is there, so the
// commit was applied, 0 when it is not, -1 when the server cannot be asked.
int storedAfterLostCommit(QSqlDatabase& database, qint64 requestId, const QString& pageId,
                          KDebug::StreamId stream) {
    if (!KWaitBudget::allows(0) || !KSafeSqlQuery::reopen(database))
        return -1;
    try {
        KSafeSqlQuery query(database);
        query.prepare(QStringLiteral(
            "SELECT COUNT(*) FROM trel_requests WHERE id = :id AND page_id = :page_id"));
        query.bindValue(QStringLiteral(":id"), int64(requestId));
        query.bindValue(QStringLiteral(":page_id"), KSafeSqlQuery::text(pageId));
        query.exec(stream, 0);
        if (!query.next())
            return -1;
        return query.value(0).toLongLong() > 0 ? 1 : 0;
    } catch (const KException&) {
        return -1;
    }
}

// Binds `row` with `bind` and runs it, on an installation that may be older than the
// row's table: where the table is missing, the request is stored without the row and
// `lacking` is logged once per *told. Any other failure is thrown as exec() throws it.
template <typename Bind>
void execWhereTableIs(KStatementCache::Statement& row, const char* table, Bind bind, bool* told,
                      const char* lacking, KDebug::StreamId stream) {
    const auto missing = [table](const QString& error) {
        return error.contains(QLatin1String(table)) &&
               (error.contains(QLatin1String("no such table")) ||
                error.contains(QLatin1String("doesn't exist")));
    };
    const auto tell = [&] {
        if (!*told)
            trelLog(stream, 1) << lacking << kflush;
        *told = true;
    };
    // The statement is prepared by now: a missing table fails there.
    if (missing(row->lastError().text())) {
        tell();
        return;
    }
    bind(*row);
    try {
        row->exec(stream, WriteRetries);
    } catch (const KException& e) {
        if (!missing(QString::fromUtf8(e.what())))
            throw;
        tell();
    }
}

} // namespace

void KTrel::write() {
    if (!enableDatabaseWrite) {
        trelLog(debugStream, 4) << "Trel: database writes are disabled by directive" << kflush;
        return;
    }
    if (!collectionEnabled)
        return;
    maskValues();
    trelLog(debugStream, 4) << "Trel: writing request data of" << request.getUrl() << "to the db"
                            << kflush;

    try {
        for (int attempt = 1;; ++attempt) {
            try {
                // Each attempt asks for the connection: after a replaced file it is
                // opened on the file now at the path.
                QSharedPointer<KDbConnHelper> connection = doGetDatabaseConnection();
                writeTransaction(connection->database());
                break;
            } catch (const KException& e) {
                if (attempt < MaxWriteAttempts && isReplacedFile(e.what())) {
                    trelLog(debugStream, 3) << "Trel: the database file was replaced during "
                                               "the write; writing the request into the new one"
                                            << kflush;
                    continue;
                }
                if (attempt < MaxWriteAttempts && isRemovedRow(e.what())) {
                    trelLog(debugStream, 4) << "Trel: the request named a URL or statement "
                                               "that cleanup removed; writing it again"
                                            << kflush;
                    urlIdCache.clear();
                    statementIdCache.clear();
                    continue;
                }
                if (!mayWriteAgain(e.what()))
                    throw;
                if (attempt >= MaxWriteAttempts || !pauseBeforeAnotherAttempt(attempt))
                    throw KException(QStringLiteral("gave up after %1 attempts: %2")
                                         .arg(attempt)
                                         .arg(QString::fromUtf8(e.what())));
                trelLog(debugStream, 3)
                    << "Trel: the server ended the request's transaction before its commit "
                       "(a deadlock, a lock wait timeout or a conflict with another node's "
                       "write); writing it again, attempt"
                    << attempt + 1 << "after:" << e.what() << kflush;
            }
        }
    } catch (const KException& e) {
        trelLog(debugStream, 0) << "KTrel::write:" << e.what() << kflush;
    }
}

// On MySQL each section's rows go in multi-row statements (KBatchInsert); on SQLite, or
// with batching off, row by row. Every other step is the same on both paths.
struct KTrel::WriteContext {
    explicit WriteContext(QSqlDatabase& db) : database(db) {}
    QSqlDatabase& database;
    qint64 dataSize = 0;
    KBatchInsert::Limits limits;
    // The backtrace row of each query and error, -1 for none.
    QVector<qint64> queryBacktraceIds;
    QVector<qint64> errorBacktraceIds;
};

void KTrel::writeTransaction(QSqlDatabase& database) {
    // Without a transaction a failure would leave part of the request behind.
    KSafeSqlTransaction transaction(database);
    if (!transaction.isOpen())
        throw KException(QStringLiteral("%1: %2").arg(QString::fromLatin1(NotBegun),
                                                      database.lastError().text()));
    newUrlKeys.clear();
    newStatementKeys.clear();
    WriteContext write(database);
    try {
        {
            // One prepared statement per statement text for the whole request; they
            // are finalized before the transaction ends.
            KStatementCache statements(database);
            write.limits = KBatchInsert::limits(database, debugStream, WriteRetries);
            writeRequestRow(write);
            writeOwner(write);
            writeBacktraces(write);
            writeSqlQueries(write);
            writePhpErrors(write);
            writeFunctionStats(write);
            writeEvents(write);
            writeBreakdown(write);
            writeSuperGlobals(write);
            writeContext(write);

            // Only the size update follows, and its failure is raised.
            const TransactionState state = transactionState(database, getRequestId(), debugStream);
            if (!state.open)
                throw KException(QString::fromLatin1(KSafeSqlQuery::TransactionEnded));
            if (state.removedReferences > 0)
                throw KException(QString::fromLatin1(RemovedRow));
            // The request's write lock is held now: a file replaced from here on is
            // replaced after this commit (trel init --force takes the lock first). One
            // replaced before would take the request down with it.
            if (!isMySql(database) && KolvDbSQliteInfo::isReplaced(database))
                throw KException(QString::fromLatin1(ReplacedFile));

            NumbersStatement update(
                database,
                QStringLiteral("UPDATE trel_requests SET data_size = :data_size WHERE id = :id"));
            update.bind(QStringLiteral(":data_size"), write.dataSize / 1024);
            update.bind(QStringLiteral(":id"), getRequestId());
            update.exec(debugStream);
        }

        // A commit that fails leaves the request unwritten: it is reported like a
        // failed statement and rolled back below. One whose answer a lost connection
        // took may have been applied: the request row tells, after reconnecting.
        if (!transaction.commit()) {
            const QSqlError error = database.lastError();
            if (!isMySql(database) || !KSafeSqlQuery::isConnectionLost(error))
                throw KException(QStringLiteral("commit failed: %1").arg(error.text()));
            transaction.rollback();
            const int stored = storedAfterLostCommit(database, getRequestId(), pageId, debugStream);
            if (stored == 0)
                throw KException(QStringLiteral("commit failed: %1; after reconnecting the "
                                                "request is not stored")
                                     .arg(error.text()));
            if (stored < 0)
                throw KException(QStringLiteral("commit failed: %1; the server could not be "
                                                "asked again: %2")
                                     .arg(error.text(), QString::fromLatin1(UnknownCommit)));
            trelLog(debugStream, 3) << "Trel: the connection was lost during the commit of "
                                       "request"
                                    << static_cast<long long>(getRequestId())
                                    << "; after reconnecting it is stored" << kflush;
        }
        newUrlKeys.clear();
        newStatementKeys.clear();
    } catch (const KException&) {
        transaction.rollback();
        // Ids learned in the rolled-back transaction name rows that no longer exist.
        forgetCachedIds();
        throw;
    }
}

void KTrel::writeRequestRow(WriteContext& write) {
    write.dataSize += 36 + pageId.length() + request.getMethod().length();
    const qint64 urlId = getUrlDbId(request.getUrl(), write.database);

    // The id of a statement's only row is always the server's last insert id.
    KBatchInsert::Limits limits = write.limits;
    limits.idStep = 1;
    KBatchInsert row(
        write.database,
        QStringLiteral(
            "INSERT INTO trel_requests (id, page_id, url_id, status_code, method, start_time, "
            "request_time, is_primary_page, peak_memory_usage, data_size, memory_limit) VALUES "
            "(NULL, "
            ":page_id, :url_id, :status_code, :method, :start_time, :request_time, "
            ":is_primary_page, "
            ":peak_memory_usage, :data_size, :memory_limit)"),
        limits, debugStream, WriteRetries, true);
    row.bind(QStringLiteral(":page_id"), KSafeSqlQuery::text(pageId));
    row.bind(QStringLiteral(":url_id"), int64(urlId));
    row.bind(QStringLiteral(":status_code"), QVariant(request.getStatus()));
    row.bind(QStringLiteral(":method"), KSafeSqlQuery::text(request.getMethod()));
    row.bind(QStringLiteral(":start_time"), int64(request.getStartTime().toMSecsSinceEpoch()));
    row.bind(QStringLiteral(":request_time"), int64(request.getRequestTime()));
    row.bind(QStringLiteral(":is_primary_page"), QVariant(isPrimaryPage ? 1 : 0));
    row.bind(QStringLiteral(":peak_memory_usage"), int64(request.getPeakMemoryUsage()));
    row.bind(QStringLiteral(":memory_limit"), int64(request.getMemoryLimit()));
    row.bind(QStringLiteral(":data_size"), QVariant(-1));
    row.addRow();
    row.flush();
    setRequestId(row.ids().first());
}

// A request admitted without a token (the host's own tests, a tool) has no owner. An
// installation made before owners were stored lacks their table: its requests are still
// stored, shown to no token, and the log says once what `trel init` adds.
void KTrel::writeOwner(WriteContext& write) {
    if (ownerHash.isEmpty())
        return;
    KStatementCache::Statement owner(
        write.database, QStringLiteral("INSERT INTO trel_request_owners (request_id, "
                                       "token_hash) VALUES (:request_id, :token_hash)"));
    static bool told = false;
    execWhereTableIs(
        owner, "trel_request_owners",
        [&](KSafeSqlQuery& query) {
            query.bindValue(QStringLiteral(":request_id"), int64(getRequestId()));
            query.bindValue(QStringLiteral(":token_hash"), QVariant(ownerHash));
        },
        &told,
        "Trel: the database lacks trel_request_owners: requests are stored without the token "
        "that admitted them and shown to no token; `trel init ROOT` adds it",
        debugStream);
}

// The backtraces of the queries, then of the errors, in their order: the rows that the
// queries and errors name. Their ids come from multi-row statements only where the server
// guarantees consecutive ids (KBatchInsert::Limits::idStep).
void KTrel::writeBacktraces(WriteContext& write) {
    KBatchInsert rows(write.database, KTrelBacktrace::insertStatement(), write.limits, debugStream,
                      3, true);
    auto add = [&](int backtraceId, QVector<qint64>& ids) {
        if (backtraceId == -1) {
            ids.append(-1);
            return;
        }
        KTrelBacktrace backtrace;
        backtrace.setBacktrace(getBacktraceById(backtraceId).toLocal8Bit());
        backtrace.bindRow(rows);
        rows.addRow();
        ids.append(0);
    };
    for (const SqlQuery& sql : qAsConst(sqlQueries))
        add(sql.backtraceId, write.queryBacktraceIds);
    for (const PhpError& error : qAsConst(phpErrors))
        add(error.backtraceId, write.errorBacktraceIds);
    rows.flush();
    int next = 0;
    for (QVector<qint64>* ids : {&write.queryBacktraceIds, &write.errorBacktraceIds})
        for (qint64& id : *ids)
            if (id == 0)
                id = rows.ids().at(next++);
}

void KTrel::writeSqlQueries(WriteContext& write) {
    trelLog(debugStream, 4) << "Writing" << static_cast<int>(sqlQueries.size())
                            << "sql queries information to the db" << kflush;
    const qint64 id = getRequestId();
    KBatchInsert rows(
        write.database,
        QStringLiteral("INSERT INTO trel_sql_queries (id, request_id, prepared_statement_id, "
                       "resolved_statement, status, rows_affected, query_time, error_message, "
                       "transaction_id, "
                       "file_name, line_number, backtrace_id) VALUES (NULL, :request_id, "
                       ":prepared_statement_id, :resolved_statement, :status, :rows_affected, "
                       ":query_time, "
                       ":error_message, :transaction_id, :file_name, :line_number, :backtrace_id)"),
        write.limits, debugStream, WriteRetries);
    for (int i = 0; i < sqlQueries.size(); ++i) {
        const SqlQuery& sql = sqlQueries.at(i);
        write.dataSize += 28 + sql.errorMessage.length() + sql.resolvedStatement.length();
        qint64 statementId = -1;
        if (sql.hasPreparedStatement)
            statementId = getStmtDbId(sql.preparedStatement, write.database);

        rows.bind(QStringLiteral(":request_id"), int64(id));
        rows.bind(QStringLiteral(":prepared_statement_id"), int64(statementId));
        rows.bind(QStringLiteral(":resolved_statement"), QVariant(sql.resolvedStatement));
        rows.bind(QStringLiteral(":status"), QVariant(sql.status));
        rows.bind(QStringLiteral(":rows_affected"), QVariant(sql.rowsAffected));
        rows.bind(QStringLiteral(":query_time"), int64(sql.queryTime));
        rows.bind(QStringLiteral(":error_message"), QVariant(sql.errorMessage));
        rows.bind(QStringLiteral(":file_name"), QVariant(sql.fileName));
        rows.bind(QStringLiteral(":line_number"), QVariant(sql.lineNumber));
        rows.bind(QStringLiteral(":backtrace_id"), int64(write.queryBacktraceIds.at(i)));
        rows.bind(QStringLiteral(":transaction_id"), transactionValue(id, sql.transactionId));
        rows.addRow();
    }
    // The queries beyond the limit, in one row that keeps the totals whole.
    if (notKept.queries > 0) {
        const QString text = KTrelStoredRequest::notKeptQueriesText(notKept.queries);
        const QString failed = notKept.failedQueries
                                   ? KTrelStoredRequest::notKeptFailedText(notKept.failedQueries)
                                   : QString();
        write.dataSize += 28 + text.length() + failed.length();
        rows.bind(QStringLiteral(":request_id"), int64(id));
        rows.bind(QStringLiteral(":prepared_statement_id"), int64(-1));
        rows.bind(QStringLiteral(":resolved_statement"), QVariant(text));
        rows.bind(QStringLiteral(":status"), QVariant(0));
        rows.bind(QStringLiteral(":rows_affected"),
                  QVariant(static_cast<int>(qMin<qint64>(notKept.rows, INT_MAX))));
        rows.bind(QStringLiteral(":query_time"), int64(notKept.queryTime));
        rows.bind(QStringLiteral(":error_message"), QVariant(failed));
        rows.bind(QStringLiteral(":file_name"), QVariant(QString()));
        rows.bind(QStringLiteral(":line_number"), QVariant(0));
        rows.bind(QStringLiteral(":backtrace_id"), int64(-1));
        rows.bind(QStringLiteral(":transaction_id"), QVariant(-1));
        rows.addRow();
    }
    rows.flush();
}

void KTrel::writePhpErrors(WriteContext& write) {
    trelLog(debugStream, 4) << "Writing" << static_cast<int>(phpErrors.size())
                            << "PHP errors information to the db" << kflush;
    const qint64 id = getRequestId();
    KBatchInsert rows(
        write.database,
        QStringLiteral(
            "INSERT INTO trel_log_entries ( id, entry_time, request_id, type, message, "
            "filename, "
            "line, silenced, backtrace_id) VALUES ( NULL, :entry_time, :request_id, :type, "
            ":message, :filename, :line, :silenced, :backtrace_id)"),
        write.limits, debugStream, WriteRetries);
    for (int i = 0; i < phpErrors.size(); ++i) {
        const PhpError& error = phpErrors.at(i);
        if (error.backtraceId != -1)
            write.dataSize += 4 + getBacktraceById(error.backtraceId).length();
        write.dataSize +=
            16 + error.filename.length() + error.message.length() + error.type.length();

        rows.bind(QStringLiteral(":entry_time"),
                  QVariant(static_cast<uint>(error.time.toSecsSinceEpoch())));
        rows.bind(QStringLiteral(":request_id"), int64(id));
        rows.bind(QStringLiteral(":type"), QVariant(error.type));
        rows.bind(QStringLiteral(":message"), QVariant(error.message));
        rows.bind(QStringLiteral(":filename"), QVariant(error.filename));
        rows.bind(QStringLiteral(":line"), QVariant(error.line));
        rows.bind(QStringLiteral(":silenced"), QVariant(error.silenced ? 1 : 0));
        rows.bind(QStringLiteral(":backtrace_id"), int64(write.errorBacktraceIds.at(i)));
        rows.addRow();
    }
    if (notKept.errors > 0) {
        const QString text = KTrelStoredRequest::notKeptErrorsText(notKept.errors);
        write.dataSize += 16 + text.length();
        rows.bind(QStringLiteral(":entry_time"),
                  QVariant(static_cast<uint>(QDateTime::currentSecsSinceEpoch())));
        rows.bind(QStringLiteral(":request_id"), int64(id));
        rows.bind(QStringLiteral(":type"), QVariant(QString()));
        rows.bind(QStringLiteral(":message"), QVariant(text));
        rows.bind(QStringLiteral(":filename"), QVariant(QString()));
        rows.bind(QStringLiteral(":line"), QVariant(0));
        rows.bind(QStringLiteral(":silenced"), QVariant(0));
        rows.bind(QStringLiteral(":backtrace_id"), int64(-1));
        rows.addRow();
    }
    rows.flush();
}

void KTrel::writeFunctionStats(WriteContext& write) {
    trelLog(debugStream, 4) << "Writing" << static_cast<int>(functionsStats.size())
                            << "functions information to the db" << kflush;
    KBatchInsert rows(write.database, KTrelFuncStatsDbRecord::insertStatement(), write.limits,
                      debugStream, 3);
    for (const KFunctionStats& stats : qAsConst(functionsStats)) {
        KTrelFuncStatsDbRecord record(stats);
        write.dataSize += 24 + record.getFilename().size() + record.getFunctionName().size() +
                          record.getFunctionScope().size();
        record.setRequestId(getRequestId());
        record.bindRow(rows);
        rows.addRow();
    }
    rows.flush();
}

void KTrel::writeEvents(WriteContext& write) {
    trelLog(debugStream, 4) << "Writing events information ("
                            << static_cast<unsigned int>(eventAggKeys.size()) << "events )"
                            << kflush;
    KBatchInsert rows(write.database, KTrelEventRecord::insertStatement(), write.limits,
                      debugStream, 3);
    for (const QByteArray& key : eventAggKeys) {
        KTrelEventRecord record;
        write.dataSize += 8 + key.size();
        record.setAggKey(key);
        record.setRequestId(getRequestId());
        record.bindRow(rows);
        rows.addRow();
    }
    rows.flush();
}

void KTrel::writeBreakdown(WriteContext& write) {
    trelLog(debugStream, 4) << "Writing processing breakdown information" << kflush;
    write.dataSize += 20;
    KBatchInsert row(
        write.database,
        QStringLiteral(
            "INSERT INTO trel_processing_breakdown ( request_id, database_time, network_time, "
            "local_time, php_time) VALUES ( :request_id, :database_time, :network_time, "
            ":local_time, "
            ":php_time)"),
        write.limits, debugStream, WriteRetries);
    row.bind(QStringLiteral(":request_id"), int64(getRequestId()));
    row.bind(QStringLiteral(":database_time"), int64(request.getDatabaseTime()));
    row.bind(QStringLiteral(":network_time"), int64(request.getNetworkTime()));
    row.bind(QStringLiteral(":local_time"), int64(request.getLocalTime()));
    row.bind(QStringLiteral(":php_time"), int64(request.getPhpTime()));
    row.addRow();
    row.flush();
}

void KTrel::writeSuperGlobals(WriteContext& write) {
    trelLog(debugStream, 4) << "Writing" << static_cast<int>(superGlobalSamples.size())
                            << "super global samples" << kflush;
    QSqlDatabase& database = write.database;
    const qint64 id = getRequestId();
    const bool mysql = isMySql(database);
    // Emulated prepares send the bytes as hexadecimal, twice their size.
    const int hexFactor = KSqlBinary::emulated(database) ? 2 : 1;
    KBatchInsert rows(database,
                      QStringLiteral("INSERT INTO trel_superglobals_data ( request_id, sg_name, "
                                     "data, sample_type) VALUES "
                                     "( :request_id, :sg_name, %1, :sample_type)")
                          .arg(KSqlBinary::placeholder(database, QStringLiteral(":data"))),
                      write.limits, debugStream, WriteRetries);
    const qint64 room = write.limits.maxStatementBytes;
    for (const SuperGlobalSample& sample : qAsConst(superGlobalSamples)) {
        QByteArray data = sample.data;
        const qint64 limit = mysql ? room / hexFactor - sample.name.size() : -1;
        if (mysql && data.size() > limit) {
            const QByteArray trailer = cutTrailer(data.size());
            trelLog(debugStream, 3) << "Trel: superglobal sample" << sample.name.constData() << "of"
                                    << static_cast<long long>(data.size())
                                    << "bytes is stored cut to the server's packet size" << kflush;
            data.truncate(static_cast<int>(qMax<qint64>(0, limit - trailer.size())));
            data += trailer;
        }
        write.dataSize += 12 + data.size() + sample.name.size();
        rows.bind(QStringLiteral(":request_id"), int64(id));
        rows.bind(QStringLiteral(":sg_name"), QVariant(QString::fromUtf8(sample.name.constData())));
        rows.bind(QStringLiteral(":data"), KSqlBinary::value(database, data));
        rows.bind(QStringLiteral(":sample_type"),
                  QVariant(QString::fromLatin1(sample.sampleTypeName())));
        rows.addRow();
    }
    rows.flush();
}

// The request's context in one row of its own: the offsets of the queries and errors in
// their order (the order of their ids), the response headers, the log messages, the
// spans and the uncaught exceptions as JSON, and where a redirect sent the browser,
// resolved against the request's URL, for the next request's look-up of what redirected
// to it. The rows of queries and errors stay as they always were.
void KTrel::writeContext(WriteContext& write) {
    const auto json = [](const auto& value) {
        return QString::fromUtf8(QJsonDocument(value).toJson(QJsonDocument::Compact));
    };
    QJsonArray queryStarts;
    for (const SqlQuery& sql : qAsConst(sqlQueries))
        queryStarts.append(sql.startUs);
    QJsonArray errorStarts;
    QJsonArray exceptions;
    for (int i = 0; i < phpErrors.size(); ++i) {
        const PhpError& error = phpErrors.at(i);
        errorStarts.append(error.startUs);
        if (!error.exception)
            continue;
        QJsonArray trace;
        for (const TraceFrame& frame : error.exception->trace)
            trace.append(QJsonObject{{QStringLiteral("call"), frame.call},
                                     {QStringLiteral("file"), frame.file},
                                     {QStringLiteral("line"), frame.line}});
        exceptions.append(QJsonObject{{QStringLiteral("error"), i},
                                      {QStringLiteral("class"), error.exception->className},
                                      {QStringLiteral("message"), error.exception->message},
                                      {QStringLiteral("file"), error.exception->file},
                                      {QStringLiteral("line"), error.exception->line},
                                      {QStringLiteral("trace"), trace}});
    }
    QJsonArray headers;
    QString location;
    for (const QPair<QString, QString>& header : qAsConst(context.responseHeaders)) {
        headers.append(QJsonArray{header.first, header.second});
        if (header.first.compare(QLatin1String("Location"), Qt::CaseInsensitive) == 0)
            location = QUrl(request.getUrl()).resolved(QUrl(header.second.trimmed())).toString();
    }
    QJsonArray messages;
    for (const LogMessage& message : qAsConst(context.logMessages))
        messages.append(QJsonObject{{QStringLiteral("message"), message.message},
                                    {QStringLiteral("start_us"), message.startUs}});
    if (context.logMessagesNotKept > 0)
        messages.append(QJsonObject{
            {QStringLiteral("message"),
             QStringLiteral("%1 more log messages not kept").arg(context.logMessagesNotKept)},
            {QStringLiteral("start_us"), -1}});
    QJsonArray spans;
    for (const Span& span : qAsConst(context.spans))
        spans.append(QJsonObject{{QStringLiteral("name"), span.name},
                                 {QStringLiteral("start_us"), span.startUs},
                                 {QStringLiteral("time_us"), span.timeUs}});

    const QString texts[] = {context.referer, location,      json(queryStarts), json(errorStarts),
                             json(spans),     json(headers), json(messages),    json(exceptions)};
    // The texts it holds; the offsets are numbers beside rows already counted.
    for (int i = 0; i < 8; ++i)
        if (i != 2 && i != 3 && texts[i] != QLatin1String("[]"))
            write.dataSize += texts[i].size();
    // An installation made before the context was stored lacks its table: the request
    // is stored without it, and the log says once what `trel init` adds.
    KStatementCache::Statement row(
        write.database,
        QStringLiteral("INSERT INTO trel_request_context (request_id, xhr, referer, location, "
                       "query_starts, error_starts, spans, response_headers, log_messages, "
                       "exceptions) VALUES (:request_id, :xhr, :referer, :location, "
                       ":query_starts, :error_starts, :spans, :response_headers, "
                       ":log_messages, :exceptions)"));
    static bool told = false;
    execWhereTableIs(
        row, "trel_request_context",
        [&](KSafeSqlQuery& query) {
            query.bindValue(QStringLiteral(":request_id"), int64(getRequestId()));
            query.bindValue(QStringLiteral(":xhr"), QVariant(context.xhr ? 1 : 0));
            const QString names[] = {
                QStringLiteral(":referer"),      QStringLiteral(":location"),
                QStringLiteral(":query_starts"), QStringLiteral(":error_starts"),
                QStringLiteral(":spans"),        QStringLiteral(":response_headers"),
                QStringLiteral(":log_messages"), QStringLiteral(":exceptions")};
            for (int i = 0; i < 8; ++i)
                query.bindValue(names[i], KSafeSqlQuery::text(texts[i]));
        },
        &told,
        "Trel: the database lacks trel_request_context: requests are stored without their "
        "timeline, response headers and log messages; `trel init ROOT` adds it",
        debugStream);
}
