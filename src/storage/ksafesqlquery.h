#ifndef TREL_KSAFESQLQUERY_H
#define TREL_KSAFESQLQUERY_H

#include <kolv/kdebug.h>

#include <QSqlDatabase>
#include <QSqlQuery>

#include <functional>

// The statement executor: every statement of the library runs through one of these.
// exec() retries while the database reports "locked" (a 500 ms pause before each
// retry), reopens a lost MySQL connection once per attempt, and turns any remaining
// failure into a KException that carries the statement and the driver's error text.
// With KV_SQL_DEBUG=1 every execution is traced to Qt's debug output.
class KSafeSqlQuery : public QSqlQuery {
public:
    explicit KSafeSqlQuery(QSqlDatabase database);
    ~KSafeSqlQuery();

    // Returns true after a successful execution; throws KException otherwise. Retry
    // lines go to `stream` at level 5.
    bool exec(KDebug::StreamId stream, int maxRetries);

    // How the executor waits between retries. Tests install their own to observe the
    // pauses; an empty function restores the real sleep.
    using Pause = std::function<void(int milliseconds)>;
    static void setPause(Pause pause);

    static const int RetryPauseMs = 500;

private:
    void attempt();
    void trace();
    bool isConnectionLost() const;
    bool reexecuteOnNewConnection();

    QSqlDatabase database;
    bool traceEnabled;
};

#endif
