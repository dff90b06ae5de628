#ifndef TREL_TEST_STORAGETEST_H
#define TREL_TEST_STORAGETEST_H

// Helpers shared by the storage tests (header only: every test file is its own
// executable): observing the statements the executor runs and its pauses, the SQLite
// busy timeout, connections of the test's own, and a request with every section filled.

#include "support/testinstallation.h"

#include "storage/ksafesqlquery.h"

#include <trel/trel.h>

#include <gtest/gtest.h>

#include <QByteArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <QVariant>
#include <QtGlobal>

#include <functional>
#include <vector>

// A collector of the test's own, with the connection factory reachable. It is not the
// process's singleton.
class TestCollector : public KTrel {
public:
    TestCollector() = default;
    ~TestCollector() override = default;
    using KTrel::doGetDatabaseConnection;
};

// For tests that use the process's collector (KTrel::instance()): released after each.
class CollectorTest : public ::testing::Test {
protected:
    void TearDown() override { KTrel::release(); }
};

// Turns statement tracing on (KV_SQL_DEBUG=1) and captures the traced statements from
// Qt's debug output while alive. `onStatement` runs inside the executor right after each
// traced execution: tests use it to act between two statements of one operation.
class SqlTrace {
public:
    explicit SqlTrace(std::function<void(const QString& statement)> onStatement = {})
        : m_onStatement(std::move(onStatement)),
          m_hadValue(qEnvironmentVariableIsSet("KV_SQL_DEBUG")),
          m_oldValue(qgetenv("KV_SQL_DEBUG")) {
        qputenv("KV_SQL_DEBUG", "1");
        m_outer = active();
        active() = this;
        m_previous = qInstallMessageHandler(&SqlTrace::handler);
    }
    ~SqlTrace() {
        qInstallMessageHandler(m_previous);
        active() = m_outer;
        if (m_hadValue)
            qputenv("KV_SQL_DEBUG", m_oldValue);
        else
            qunsetenv("KV_SQL_DEBUG");
    }
    SqlTrace(const SqlTrace&) = delete;
    SqlTrace& operator=(const SqlTrace&) = delete;

    // Traced statements without the "KSafeSqlQuery: " prefix, in order. A successful
    // execution is traced twice, a failed one once.
    const QStringList& statements() const { return m_statements; }
    int count(const QString& prefix) const {
        int n = 0;
        for (const QString& s : m_statements)
            if (s.startsWith(prefix))
                ++n;
        return n;
    }
    // Debug messages that were not statement traces.
    const QStringList& otherMessages() const { return m_other; }
    void clear() { m_statements.clear(); }

private:
    static SqlTrace*& active() {
        static SqlTrace* trace = nullptr;
        return trace;
    }
    static void handler(QtMsgType type, const QMessageLogContext&, const QString& text) {
        SqlTrace* self = active();
        if (!self)
            return;
        static const QString prefix = QStringLiteral("KSafeSqlQuery: ");
        if (type != QtDebugMsg || !text.startsWith(prefix)) {
            self->m_other << text;
            return;
        }
        const QString statement = text.mid(prefix.size());
        self->m_statements << statement;
        if (self->m_onStatement && !self->m_inCallback) {
            self->m_inCallback = true;
            self->m_onStatement(statement);
            self->m_inCallback = false;
        }
    }

    std::function<void(const QString&)> m_onStatement;
    bool m_hadValue;
    QByteArray m_oldValue;
    QtMessageHandler m_previous = nullptr;
    SqlTrace* m_outer = nullptr; // a trace alive around this one gets the lines again after it
    QStringList m_statements;
    QStringList m_other;
    bool m_inCallback = false;
};

// Records the executor's pauses instead of sleeping; `onPause` gets the pause's number
// (from 1) and runs at each pause.
class PauseRecorder {
public:
    explicit PauseRecorder(std::function<void(int pauseNumber)> onPause = {}) {
        KSafeSqlQuery::setPause([this, onPause](int milliseconds) {
            m_pauses.push_back(milliseconds);
            if (onPause)
                onPause(static_cast<int>(m_pauses.size()));
        });
    }
    ~PauseRecorder() { KSafeSqlQuery::setPause(KSafeSqlQuery::Pause()); }
    PauseRecorder(const PauseRecorder&) = delete;
    PauseRecorder& operator=(const PauseRecorder&) = delete;
    const std::vector<int>& pauses() const { return m_pauses; }

private:
    std::vector<int> m_pauses;
};

// The busy timeout of the SQLite connections the library opens while alive.
class BusyTimeout {
public:
    explicit BusyTimeout(int milliseconds) : m_old(KolvDbSQliteInfo::busyTimeout()) {
        KolvDbSQliteInfo::setBusyTimeout(milliseconds);
    }
    ~BusyTimeout() { KolvDbSQliteInfo::setBusyTimeout(m_old); }
    BusyTimeout(const BusyTimeout&) = delete;
    BusyTimeout& operator=(const BusyTimeout&) = delete;

private:
    int m_old;
};

// An open connection of the test's own besides inst.db(), removed at the end of the scope.
class OwnConnection {
public:
    explicit OwnConnection(const TestInstallation& inst, int busyTimeoutMs = 5000)
        : m_name(QStringLiteral("own_%1").arg(QUuid::createUuid().toString())) {
        if (inst.backend() == Backend::Sqlite) {
            m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
            m_db.setDatabaseName(inst.databasePath());
            m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs));
        } else {
            setUpMySql(inst.serverInfo());
        }
        if (!m_db.open())
            ADD_FAILURE() << "cannot open a connection: " << m_db.lastError().text().toStdString();
    }
    explicit OwnConnection(const KolvServerInfo& info)
        : m_name(QStringLiteral("own_%1").arg(QUuid::createUuid().toString())) {
        setUpMySql(info);
        if (!m_db.open())
            ADD_FAILURE() << "cannot open a connection: " << m_db.lastError().text().toStdString();
    }
    ~OwnConnection() {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
    }
    OwnConnection(const OwnConnection&) = delete;
    OwnConnection& operator=(const OwnConnection&) = delete;

    QSqlDatabase& db() { return m_db; }
    // Runs a statement; false (not a test failure) when it fails.
    bool tryExec(const QString& sql) {
        QSqlQuery query(m_db);
        return query.exec(sql);
    }
    void exec(const QString& sql) {
        QSqlQuery query(m_db);
        if (!query.exec(sql))
            ADD_FAILURE() << sql.toStdString() << ": " << query.lastError().text().toStdString();
    }
    QVariant scalar(const QString& sql) {
        QSqlQuery query(m_db);
        if (!query.exec(sql)) {
            ADD_FAILURE() << sql.toStdString() << ": " << query.lastError().text().toStdString();
            return QVariant();
        }
        return query.next() ? query.value(0) : QVariant();
    }

private:
    void setUpMySql(const KolvServerInfo& info) {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), m_name);
        m_db.setHostName(info.getDbHostName());
        m_db.setPort(info.getDbPort());
        m_db.setDatabaseName(info.getDbName());
        m_db.setUserName(info.getDbUsername());
        m_db.setPassword(info.getDbPassword());
    }

    QString m_name;
    QSqlDatabase m_db;
};

inline QByteArray sha1(const QString& text) {
    return QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha1);
}

// The request's facts: page id "abc", method "GET", status 200 and the given URL.
inline void setRequestFacts(KTrel* trel, const QString& url) {
    trel->setPageId(QStringLiteral("abc"));
    trel->setRequest(url);
    trel->setRequestMethod(QStringLiteral("GET"));
    trel->setRequestStatus(200);
    trel->setRequestStartTime(QDateTime::fromMSecsSinceEpoch(Q_INT64_C(1700000000123), Qt::UTC));
    trel->setRequestTime(5000);
}

// One item in every section: two SQL queries (one with a prepared statement and a
// backtrace), a PHP error with a backtrace, a function, an event and a sample. `tag`
// makes the texts distinct.
inline void addEverySection(KTrel* trel, const QString& tag) {
    KTrel::SqlQuery withStatement;
    withStatement.preparedStatement = QStringLiteral("SELECT * FROM t_%1 WHERE id = ?").arg(tag);
    withStatement.resolvedStatement = QStringLiteral("SELECT * FROM t_%1 WHERE id = 1").arg(tag);
    withStatement.hasPreparedStatement = true;
    withStatement.backtraceId = trel->addBacktrace(QStringLiteral("#0 query() %1").arg(tag));
    withStatement.transactionId = 7;
    trel->addRequestSqlQuery(withStatement);
    KTrel::SqlQuery plain;
    plain.resolvedStatement = QStringLiteral("SELECT 1 /* %1 */").arg(tag);
    trel->addRequestSqlQuery(plain);

    const int errorTrace = trel->addBacktrace(QStringLiteral("#0 warn() %1").arg(tag));
    trel->addPhpError(2, "index.php", 12, "a warning", errorTrace);

    KFunctionStats stats;
    stats.setFunctionName("render");
    stats.setFunctionScope("View");
    stats.setFilename("view.php");
    stats.setLine(3);
    stats.setCalls(2);
    trel->getFunctionsStats().insert(QByteArray("View::render"), stats);
    trel->addEventAggKey(QByteArray("event-") + tag.toUtf8());
    trel->addSerializedSuperGlobal("_GET", "a:0:{}", KTrel::SAMPLE_START);
}

// Every table a written request leaves rows in, the dictionaries included.
inline QStringList everyRequestTable() {
    QStringList tables = TestInstallation::requestTables();
    tables << QStringLiteral("trel_requests") << QStringLiteral("trel_backtrace")
           << QStringLiteral("trel_requests_urls") << QStringLiteral("trel_sql_statements")
           << QStringLiteral("trel_request_context");
    return tables;
}

// Rows in each of those tables, "table=count" joined by blanks, for messages.
inline QString rowCounts(TestInstallation& inst) {
    QStringList parts;
    for (const QString& table : everyRequestTable())
        parts << QStringLiteral("%1=%2").arg(table).arg(inst.count(table));
    return parts.join(QLatin1Char(' '));
}

inline qint64 rowsEverywhere(TestInstallation& inst) {
    qint64 total = 0;
    for (const QString& table : everyRequestTable())
        total += inst.count(table);
    return total;
}

// MySQL: the ids of the sessions on the installation's database, but the test's own.
inline QList<qint64> otherSessions(TestInstallation& inst) {
    QList<qint64> ids;
    for (const QVariantList& row :
         inst.rows(QStringLiteral("SELECT ID FROM information_schema.PROCESSLIST WHERE DB = "
                                  "DATABASE() AND ID <> CONNECTION_ID() ORDER BY ID")))
        ids << row.at(0).toLongLong();
    return ids;
}

#endif
