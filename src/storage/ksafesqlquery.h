#ifndef TREL_KSAFESQLQUERY_H
#define TREL_KSAFESQLQUERY_H

#include <kolv/kdebug.h>

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <functional>

// The statement executor: every statement of the library runs through one of these.
// exec() retries while the database reports "locked" (a 500 ms pause before each
// retry), reopens a lost MySQL connection once per attempt, and turns any remaining
// failure into a KException that carries the statement and the driver's error text.
// With KV_SQL_DEBUG=1 every execution is traced to Qt's debug output.
//
// Within an operation's wait budget (KWaitBudget) a retry is made only while the pause
// and one more busy wait fit into the budget, and a lost connection is reopened only
// while the budget is not spent: the exception then reaches the caller earlier.
//
// A lost connection is not cured while a KSafeSqlTransaction is open on it: the
// statements that ran before died with the old session, and re-executing the rest on a
// new one would store part of the work outside any transaction. The loss is raised.
//
// On MySQL, a statement inside a KSafeSqlTransaction is never retried alone: the server
// (or a Galera cluster, for a conflict with another node's write) may have rolled the
// whole transaction back, and the caller starts its work again from the beginning. Once
// a statement failed in a way that ends the transaction, the executor refuses every
// further statement on that connection until the transaction is rolled back, without
// sending it: the server would run it outside any transaction and commit it on its own.
class KSafeSqlQuery : public QSqlQuery {
public:
    explicit KSafeSqlQuery(QSqlDatabase database);
    ~KSafeSqlQuery();

    // QSqlQuery::prepare, remembering its failure. Inside a MySQL transaction a statement
    // whose prepare failed is not run: Qt would run it unprepared, with its values written
    // in, and when the failure was the server's notice that it had ended the transaction
    // (Galera tells a transaction it aborted at its next command, which may be this
    // prepare), the statement would be committed on its own.
    bool prepare(const QString& query);

    // Returns true after a successful execution; throws KException otherwise. Retry
    // lines go to `stream` at level 5.
    bool exec(KDebug::StreamId stream, int maxRetries);
    // Runs `text` as it stands, unprepared (one round trip on MySQL), with the same
    // retries, reconnection and exception as exec(). `shown` stands for the text in the
    // exception, the log lines and the trace: a text that carries its values (a
    // multi-row insert) never reaches them.
    bool execText(const QString& text, const QString& shown, KDebug::StreamId stream,
                  int maxRetries);
    // Runs the prepared SQLite statement with `values` in its placeholders' order, bound
    // straight to SQLite (UTF-8 texts) instead of through Qt's named binding, with the
    // same retries, traces and errors as exec(). Stores what Qt would store; returns false
    // without running anything when the statement or a value's type needs Qt's path.
    // Traces and errors show `shown` when given, else the prepared text.
    bool execValues(const QVector<QVariant>& values, KDebug::StreamId stream, int maxRetries,
                    const QString& shown = QString());
    // The row id of the last execValues() that ran.
    qint64 valuesInsertId() const { return m_valuesInsertId; }

    // How the executor waits between retries. Tests install their own to observe the
    // pauses; an empty function restores the real sleep.
    using Pause = std::function<void(int milliseconds)>;
    static void setPause(Pause pause);

    static const int RetryPauseMs = 500;

    // The client's words and codes for a connection that the server dropped.
    static bool isConnectionLost(const QSqlError& error);
    // A MySQL deadlock: the server has rolled the victim's whole transaction back.
    static bool isDeadlock(const char* message);
    // A failure after which the server has rolled, or may have rolled, the whole
    // transaction back and the work may be done again from its start: a deadlock, a lock
    // wait timeout, a Galera conflict with another node's write, a Galera node that is
    // not ready yet, or a connection lost before the commit.
    static bool endsTransaction(const char* message);
    // The text of the exception raised for a statement that was not sent because its
    // transaction had ended.
    static const char* const TransactionEnded;
    // Opens a lost connection again. What was learned of the old session (its limits)
    // is stale from then on: sessionsOpened() counts these reopens in the process.
    static bool reopen(QSqlDatabase& database);
    static quint64 sessionsOpened();
    // The value to bind for a text column: Qt binds a null QString as SQL NULL, so a text
    // that was never set is bound empty.
    static QVariant text(const QString& value);

private:
    bool run(KDebug::StreamId stream, int maxRetries);
    void attempt();
    void attemptValues();
    void trace();
    bool reexecuteOnNewConnection();

    QSqlDatabase database;
    bool traceEnabled;
    // Set while execText() runs.
    const QString* directText = nullptr;
    const QString* shownText = nullptr;
    const QVector<QVariant>* directValues = nullptr;
    qint64 m_valuesInsertId = 0;
    // The error of the last prepare() when it failed.
    QSqlError prepareError;
    bool prepareFailed = false;
};

// One transaction on a connection, for the operations that must store all or nothing.
// Beginning reopens, once, a connection that was lost while it waited in the pool, so
// that the transaction really begins; a transaction that cannot begin is reported by
// isOpen(). While it is open the executor raises a lost connection instead of curing it.
// The destructor rolls back a transaction that was neither committed nor rolled back.
class KSafeSqlTransaction {
public:
    explicit KSafeSqlTransaction(QSqlDatabase& database);
    ~KSafeSqlTransaction();
    KSafeSqlTransaction(const KSafeSqlTransaction&) = delete;
    KSafeSqlTransaction& operator=(const KSafeSqlTransaction&) = delete;

    bool isOpen() const { return open; }
    // False when the commit failed; the transaction then stays open until rollback().
    bool commit();
    void rollback();

    // True while a transaction of this class is open on the connection of `database`.
    static bool isOpenOn(const QSqlDatabase& database);

private:
    void close();

    QSqlDatabase& database;
    bool open;
};

#endif
