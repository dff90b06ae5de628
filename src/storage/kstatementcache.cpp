#include "storage/kstatementcache.h"

namespace {
// The innermost live cache of this thread; the collector is driven from one thread.
thread_local KStatementCache* current = nullptr;
} // namespace

KStatementCache::KStatementCache(const QSqlDatabase& database)
    : m_connectionName(database.connectionName()), m_database(database), m_previous(current) {
    current = this;
}

KStatementCache::~KStatementCache() {
    current = m_previous;
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
