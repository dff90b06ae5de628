#ifndef TREL_KSTATEMENTCACHE_H
#define TREL_KSTATEMENTCACHE_H

#include "storage/ksafesqlquery.h"

#include <QHash>
#include <QSqlDatabase>
#include <QString>

#include <memory>

// The prepared statements of one write(): while a cache is alive for a connection,
// every statement text run on that connection is prepared once and its executor
// serves every row with that text (each row binds all its values again, and runs with
// the same retries, log lines and traces). Outside a write each statement gets an
// executor of its own, prepared for it alone. On the process's kept SQLite connection
// the statements outlive the write (reset) and serve the next one, unless the registry
// opened or closed a connection in between (a fork, a replaced file, a changed schema).
class KStatementCache {
public:
    explicit KStatementCache(const QSqlDatabase& database);
    ~KStatementCache();
    KStatementCache(const KStatementCache&) = delete;
    KStatementCache& operator=(const KStatementCache&) = delete;

    // Deletes the statements kept for the next write; before their connection is removed.
    static void dropKept();

    // The prepared executor for `sql` on `database`: the cached one when a cache is alive
    // for that connection, otherwise a new one owned by the returned handle.
    class Statement {
    public:
        Statement(const QSqlDatabase& database, const QString& sql);
        KSafeSqlQuery* operator->() const { return m_query; }
        KSafeSqlQuery& operator*() const { return *m_query; }

    private:
        std::unique_ptr<KSafeSqlQuery> m_owned;
        KSafeSqlQuery* m_query;
    };

private:
    KSafeSqlQuery* statement(const QString& sql);

    QString m_connectionName;
    QSqlDatabase m_database;
    QHash<QString, KSafeSqlQuery*> m_statements;
    KStatementCache* m_previous;
    // Kept for the next write: the registry's count of opens and closes at the start.
    bool m_keep = false;
    quint64 m_opens = 0;
};

#endif
