#include "storage/kstatementcache.h"

#include <kolv/kolvdbsqliteinfo.h>

namespace {
// The innermost live cache of this thread; the collector is driven from one thread.
thread_local KStatementCache* current = nullptr;

struct Kept {
    QString connectionName;
    quint64 opens = 0;
    QHash<QString, KSafeSqlQuery*> statements;
};
Kept& kept() {
    static Kept* const statements = new Kept;
    return *statements;
}
} // namespace

void KStatementCache::dropKept() {
    Kept& k = kept();
    qDeleteAll(k.statements);
    k.statements.clear();
    k.connectionName.clear();
}

KStatementCache::KStatementCache(const QSqlDatabase& database)
    : m_connectionName(database.connectionName()), m_database(database), m_previous(current) {
    current = this;
    if (database.driverName() != QLatin1String("QSQLITE") || !database.isOpen())
        return;
    m_keep = true;
    m_opens = KolvDbSQliteInfo::opensAndCloses();
    Kept& k = kept();
    if (k.connectionName == m_connectionName && k.opens == m_opens)
        m_statements.swap(k.statements);
    dropKept();
}

KStatementCache::~KStatementCache() {
    current = m_previous;
    if (m_keep && m_database.isOpen() && KolvDbSQliteInfo::opensAndCloses() == m_opens) {
        dropKept();
        for (KSafeSqlQuery* query : qAsConst(m_statements))
            query->finish();
        Kept& k = kept();
        k.statements.swap(m_statements);
        k.connectionName = m_connectionName;
        k.opens = m_opens;
    }
    qDeleteAll(m_statements);
    m_statements.clear();
}

KSafeSqlQuery* KStatementCache::statement(const QString& sql) {
    KSafeSqlQuery*& query = m_statements[sql];
    if (!query) {
        query = new KSafeSqlQuery(m_database);
        query->prepare(sql);
    }
    return query;
}

KStatementCache::Statement::Statement(const QSqlDatabase& database, const QString& sql) {
    KStatementCache* cache = current;
    while (cache && cache->m_connectionName != database.connectionName())
        cache = cache->m_previous;
    if (cache) {
        m_query = cache->statement(sql);
        return;
    }
    m_owned = std::make_unique<KSafeSqlQuery>(database);
    m_owned->prepare(sql);
    m_query = m_owned.get();
}
