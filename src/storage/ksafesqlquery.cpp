#include "storage/ksafesqlquery.h"

#include "core/ktrellog.h"
#include "storage/kwaitbudget.h"

#include <kolv/kexception.h>
#include <kolv/kolvdbsqliteinfo.h>

#include <QDebug>
#include <QSqlError>
#include <QSqlResult>
#include <QVariant>

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

// The types Qt's SQLite driver binds as numbers, blobs or texts; any other goes through Qt.
bool bindsDirectly(const QVariant& value) {
    switch (value.metaType().id()) {
    case QMetaType::UnknownType:
    case QMetaType::QString:
    case QMetaType::QByteArray:
    case QMetaType::Int:
    case QMetaType::Bool:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::Double:
        return true;
    default:
        return false;
    }
}

// As Qt's driver binds it; a null text or blob is NULL. Texts and blobs are bound without
// a copy: `value` and `utf8` (where a text's UTF-8 goes) must outlive the statement's run,
// and the caller clears the bindings before they go.
int bindDirectly(sqlite3_stmt* statement, int index, const QVariant& value,
                 std::vector<QByteArray>& utf8) {
    switch (value.metaType().id()) {
    case QMetaType::QString: {
        const QString* text = static_cast<const QString*>(value.constData());
        if (text->isNull())
            return sqlite3_bind_null(statement, index);
        utf8.push_back(text->toUtf8());
        return sqlite3_bind_text(statement, index, utf8.back().constData(),
                                 static_cast<int>(utf8.back().size()), SQLITE_STATIC);
    }
    case QMetaType::QByteArray: {
        const QByteArray* bytes = static_cast<const QByteArray*>(value.constData());
        if (bytes->isNull())
            return sqlite3_bind_null(statement, index);
        return sqlite3_bind_blob(statement, index, bytes->constData(),
                                 static_cast<int>(bytes->size()), SQLITE_STATIC);
    }
    case QMetaType::Int:
    case QMetaType::Bool:
        return sqlite3_bind_int(statement, index, value.toInt());
    case QMetaType::UInt:
    case QMetaType::LongLong:
        return sqlite3_bind_int64(statement, index, value.toLongLong());
    case QMetaType::Double:
        return sqlite3_bind_double(statement, index, value.toDouble());
    default:
        return sqlite3_bind_null(statement, index);
    }
}

KSafeSqlQuery::Pause& pauseFunction() {
    static KSafeSqlQuery::Pause pause;
    return pause;
}

void doPause(int milliseconds) {
    const KSafeSqlQuery::Pause& pause = pauseFunction();
    if (pause)
        pause(milliseconds);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// Drivers (one per physical connection, shared by every handle copy) on which a
// KSafeSqlTransaction is open, and those of them whose transaction the server ended.
std::mutex transactionsMutex;
std::set<const QSqlDriver*>& openTransactions() {
    static std::set<const QSqlDriver*> drivers;
    return drivers;
}
std::set<const QSqlDriver*>& endedTransactions() {
    static std::set<const QSqlDriver*> drivers;
    return drivers;
}

bool isMySql(const QSqlDatabase& database) {
    return database.driverName() == QLatin1String("QMYSQL");
}

// True when a transaction is open on the MySQL connection of `database`; `ended` tells
// whether a statement of it failed in a way that ended it.
bool mySqlTransaction(const QSqlDatabase& database, bool* ended) {
    if (!isMySql(database))
        return false;
    std::lock_guard<std::mutex> lock(transactionsMutex);
    if (openTransactions().count(database.driver()) == 0)
        return false;
    *ended = endedTransactions().count(database.driver()) > 0;
    return true;
}

void markEnded(const QSqlDatabase& database) {
    std::lock_guard<std::mutex> lock(transactionsMutex);
    endedTransactions().insert(database.driver());
}

std::atomic<quint64> reopenedSessions{0};

} // namespace

bool KSafeSqlQuery::reopen(QSqlDatabase& database) {
    ++reopenedSessions;
    return database.open();
}

quint64 KSafeSqlQuery::sessionsOpened() {
    return reopenedSessions;
}

KSafeSqlQuery::KSafeSqlQuery(QSqlDatabase db)
    : QSqlQuery(db), database(db), traceEnabled(qgetenv("KV_SQL_DEBUG") == "1") {}

KSafeSqlQuery::~KSafeSqlQuery() {
    database = QSqlDatabase();
}

void KSafeSqlQuery::setPause(Pause pause) {
    pauseFunction() = std::move(pause);
}

bool KSafeSqlQuery::isConnectionLost(const QSqlError& error) {
    const QString text = error.text();
    // "server has gone away" covers MySQL's "MySQL server has gone away" and MariaDB's
    // "Server has gone away"; 2006 and 2013 are the client's codes for both losses.
    if (text.contains(QLatin1String("server has gone away"), Qt::CaseInsensitive) ||
        text.contains(QLatin1String("lost connection to server"), Qt::CaseInsensitive))
        return true;
    const QString code = error.nativeErrorCode();
    return code == QLatin1String("2006") || code == QLatin1String("2013");
}

bool KSafeSqlQuery::isDeadlock(const char* message) {
    return QByteArray(message).contains("Deadlock found");
}

const char* const KSafeSqlQuery::TransactionEnded =
    "the transaction ended before its commit; nothing is stored";

bool KSafeSqlQuery::endsTransaction(const char* message) {
    const QByteArray text(message);
    // 1213 and 1205 ("try restarting transaction"), 1047 (a Galera node that is not
    // synced), a commit refused by a Galera node that has lost the cluster's majority
    // (nothing of it was applied anywhere), 1317 (a statement interrupted when Galera
    // aborted its transaction), the client's words for a lost session, and this
    // executor's own refusal.
    return text.contains("Deadlock found") || text.contains("Lock wait timeout exceeded") ||
           text.contains("try restarting transaction") ||
           text.contains("WSREP has not yet prepared node") ||
           text.contains("Not connected to Primary Component") ||
           text.contains("Query execution was interrupted") || text.contains(TransactionEnded) ||
           QString::fromUtf8(text).contains(QLatin1String("server has gone away"),
                                            Qt::CaseInsensitive) ||
           QString::fromUtf8(text).contains(QLatin1String("lost connection to server"),
                                            Qt::CaseInsensitive);
}

QVariant KSafeSqlQuery::text(const QString& value) {
    return QVariant(value.isNull() ? QStringLiteral("") : value);
}

bool KSafeSqlQuery::prepare(const QString& query) {
    prepareFailed = !QSqlQuery::prepare(query);
    prepareError = prepareFailed ? lastError() : QSqlError();
    return !prepareFailed;
}

bool KSafeSqlQuery::reexecuteOnNewConnection() {
    // A statement prepared on the lost connection belongs to it: prepare it again on the
    // reopened one and bind the same values.
    if (directText) {
        reopen(database);
        return QSqlQuery::exec(*directText);
    }
    const QString statement = lastQuery();
    const QVariantList values = boundValues();
    reopen(database);
    if (!prepare(statement))
        return false;
    for (int i = 0; i < values.size(); ++i)
        bindValue(i, values.at(i));
    return QSqlQuery::exec();
}

bool KSafeSqlQuery::execValues(const QVector<QVariant>& values, KDebug::StreamId stream,
                               int maxRetries, const QString& shownAs) {
    const QVariant handle = result() ? result()->handle() : QVariant();
    if (qstrcmp(handle.typeName(), "sqlite3_stmt*") != 0)
        return false;
    sqlite3_stmt* statement = *static_cast<sqlite3_stmt* const*>(handle.constData());
    if (!statement || sqlite3_bind_parameter_count(statement) != values.size())
        return false;
    for (const QVariant& value : values)
        if (!bindsDirectly(value))
            return false;
    const QString shown = shownAs.isNull() ? lastQuery() : shownAs;
    directValues = &values;
    shownText = &shown;
    struct Reset {
        KSafeSqlQuery* query;
        ~Reset() {
            query->directValues = nullptr;
            query->shownText = nullptr;
        }
    } reset{this};
    return run(stream, maxRetries);
}

void KSafeSqlQuery::attempt() {
    if (directValues) {
        attemptValues();
        return;
    }
    bool ended = false;
    const bool inTransaction = mySqlTransaction(database, &ended);
    if (ended)
        throw KException(
            QStringLiteral("QSafeSqlQuery::exec -> statement not sent: %1. [%2]")
                .arg(shownText ? *shownText : lastQuery(), QString::fromLatin1(TransactionEnded)));
    if (inTransaction && !directText && prepareFailed) {
        const QString message = QStringLiteral("QSafeSqlQuery::exec -> error in query: %1. [%2]")
                                    .arg(shownText ? *shownText : lastQuery(), prepareError.text());
        if (endsTransaction(message.toUtf8().constData()) || isConnectionLost(prepareError))
            markEnded(database);
        throw KException(message);
    }
    bool ok = directText ? QSqlQuery::exec(*directText) : QSqlQuery::exec();
    if (!ok && isConnectionLost(lastError()) && !KSafeSqlTransaction::isOpenOn(database) &&
        KWaitBudget::allows(0))
        ok = reexecuteOnNewConnection();
    trace();
    // The statement as prepared, never with its values: when Qt emulates a prepare it
    // writes the bound values (URLs, digests, sample bytes) into the executed text, and
    // this text reaches level-0 log lines.
    if (!ok) {
        const QString message = QStringLiteral("QSafeSqlQuery::exec -> error in query: %1. [%2]")
                                    .arg(shownText ? *shownText : lastQuery(), lastError().text());
        if (inTransaction &&
            (endsTransaction(message.toUtf8().constData()) || isConnectionLost(lastError())))
            markEnded(database);
        throw KException(message);
    }
}

void KSafeSqlQuery::attemptValues() {
    sqlite3_stmt* statement = *static_cast<sqlite3_stmt* const*>(result()->handle().constData());
    sqlite3_reset(statement);
    std::vector<QByteArray> utf8;
    utf8.reserve(static_cast<size_t>(directValues->size()));
    int rc = SQLITE_OK;
    for (int i = 0; rc == SQLITE_OK && i < directValues->size(); ++i)
        rc = bindDirectly(statement, i + 1, directValues->at(i), utf8);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(statement);
        if (rc == SQLITE_DONE || rc == SQLITE_ROW)
            rc = SQLITE_OK;
    }
    sqlite3* connection = sqlite3_db_handle(statement);
    // Worded as Qt words a failed step, which the callers and the logs know.
    const QString error = rc == SQLITE_OK ? QString()
                                          : QString::fromUtf8(sqlite3_errmsg(connection)) +
                                                QStringLiteral(" Unable to fetch row");
    if (rc == SQLITE_OK)
        m_valuesInsertId = sqlite3_last_insert_rowid(connection);
    sqlite3_reset(statement);
    // The texts and blobs were bound without a copy, and go now.
    sqlite3_clear_bindings(statement);
    trace();
    if (rc != SQLITE_OK)
        throw KException(QStringLiteral("QSafeSqlQuery::exec -> error in query: %1. [%2]")
                             .arg(*shownText, error));
}

void KSafeSqlQuery::trace() {
    if (traceEnabled)
        qDebug().noquote()
            << QStringLiteral("KSafeSqlQuery: %1").arg(shownText ? *shownText : executedQuery());
}

bool KSafeSqlQuery::exec(KDebug::StreamId stream, int maxRetries) {
    return run(stream, maxRetries);
}

bool KSafeSqlQuery::execText(const QString& text, const QString& shown, KDebug::StreamId stream,
                             int maxRetries) {
    directText = &text;
    shownText = &shown;
    struct Reset {
        KSafeSqlQuery* query;
        ~Reset() { query->directText = query->shownText = nullptr; }
    } reset{this};
    return run(stream, maxRetries);
}

bool KSafeSqlQuery::run(KDebug::StreamId stream, int maxRetries) {
    int retries = 0;
    for (;;) {
        try {
            attempt();
            trace();
            return true;
        } catch (const KException& e) {
            bool ended = false;
            if (!QByteArray(e.what()).contains("locked") || retries >= maxRetries ||
                mySqlTransaction(database, &ended))
                throw;
            // A retry may wait the pause and then a whole busy timeout.
            const int busyWait = database.driverName() == QLatin1String("QSQLITE")
                                     ? KolvDbSQliteInfo::busyTimeout()
                                     : 0;
            if (!KWaitBudget::allows(RetryPauseMs + busyWait)) {
                trelLog(stream, 5) << "DB is locked. No retry: the operation's time for "
                                      "database waits is used up"
                                   << kflush;
                throw;
            }
            ++retries;
            trelLog(stream, 5) << "DB is locked. Performing retry number:" << retries << kflush;
            doPause(RetryPauseMs);
        }
    }
}

namespace {

// On MySQL the session leaves autocommit for the transaction instead of beginning one
// with BEGIN: a server that ends a transaction on its own (a Galera node aborts one that
// a replicated write conflicts with, and has been seen to let the next statements
// succeed) then puts the statements that follow into a new transaction, which is
// committed only by an explicit commit, rather than committing each on its own. The
// writer looks, before its commit, for its own request row, which such a new
// transaction does not see.
bool begin(QSqlDatabase& database, QSqlError* error) {
    if (!isMySql(database)) {
        const bool ok = database.transaction();
        *error = database.lastError();
        return ok;
    }
    if (!database.isOpen()) {
        *error = database.lastError();
        return false;
    }
    QSqlQuery query(database);
    const bool ok = query.exec(QStringLiteral("SET autocommit = 0"));
    *error = query.lastError();
    return ok;
}

void endMySqlTransaction(QSqlDatabase& database) {
    if (isMySql(database) && database.isOpen())
        QSqlQuery(database).exec(QStringLiteral("SET autocommit = 1"));
}

} // namespace

KSafeSqlTransaction::KSafeSqlTransaction(QSqlDatabase& db) : database(db), open(false) {
    QSqlError error;
    open = begin(database, &error);
    // A handle that is not open failed to open just now (its error may well read as a
    // lost connection): opening it again at once would only double the wait.
    if (!open && database.isOpen() && KSafeSqlQuery::isConnectionLost(error) &&
        KWaitBudget::allows(0)) {
        KSafeSqlQuery::reopen(database);
        open = begin(database, &error);
    }
    if (open) {
        std::lock_guard<std::mutex> lock(transactionsMutex);
        openTransactions().insert(database.driver());
    }
}

KSafeSqlTransaction::~KSafeSqlTransaction() {
    if (open)
        rollback();
}

bool KSafeSqlTransaction::commit() {
    if (!open)
        return false;
    // A transaction whose commit failed may still be active (SQLite keeps it after a
    // deferred constraint failed): it stays open for rollback() or the destructor.
    if (!database.commit())
        return false;
    close();
    endMySqlTransaction(database);
    return true;
}

void KSafeSqlTransaction::rollback() {
    if (!open)
        return;
    close();
    database.rollback();
    endMySqlTransaction(database);
}

void KSafeSqlTransaction::close() {
    open = false;
    std::lock_guard<std::mutex> lock(transactionsMutex);
    openTransactions().erase(database.driver());
    endedTransactions().erase(database.driver());
}

bool KSafeSqlTransaction::isOpenOn(const QSqlDatabase& db) {
    std::lock_guard<std::mutex> lock(transactionsMutex);
    return openTransactions().count(db.driver()) > 0;
}
