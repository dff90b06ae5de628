#include <trel/ktrel.h>

#include "core/ktrellog.h"
#include "storage/ksqlbinary.h"
#include "storage/kstatementcache.h"

#include <kolv/kexception.h>

#include <QCryptographicHash>
#include <QVariant>

namespace {

QByteArray textKey(const QString& text) {
    return QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha1);
}

// A unique-key failure: MySQL says "Duplicate entry", SQLite before 3.8.2 "is not
// unique" and later "UNIQUE constraint failed".
bool isDuplicate(const char* message) {
    const QString text = QString::fromUtf8(message);
    return text.contains(QLatin1String("Duplicate entry"), Qt::CaseInsensitive) ||
           text.contains(QLatin1String("is not unique"), Qt::CaseInsensitive) ||
           text.contains(QLatin1String("UNIQUE constraint failed"), Qt::CaseInsensitive);
}

struct IdKind {
    const char* insert;
    const char* reselect;
    const char* hashName;
    const char* hitMessage;
    const char* prefix;
};

const IdKind urlKind = {
    "INSERT INTO trel_requests_urls (id, url_hash, url) values (NULL, %1, :url)",
    "SELECT id from trel_requests_urls where url_hash = %1", ":url_hash", "Cache id for url is",
    "KTrel::getUrlDbId:"};

const IdKind statementKind = {
    "INSERT INTO trel_sql_statements (id, statement_hash, prepared_statement, "
    "statement_explain) values (NULL, %1, :prepared_statement, :statement_explain)",
    "SELECT id from trel_sql_statements where statement_hash = %1", ":statement_hash",
    "Cache id for stmt is", "KTrel::getStmtDbId:"};

} // namespace

qint64 KTrel::resolveId(QCache<QByteArray, qint64>& cache, bool isUrl, const QString& text,
                        const QSqlDatabase& database) {
    const IdKind& kind = isUrl ? urlKind : statementKind;
    const QByteArray key = textKey(text);
    // Inside a transaction (a write) every failure but a duplicate is raised to the
    // writer, which rolls the whole request back: a deadlock, a full disk or an I/O
    // error may already have ended the transaction, and carrying on would store the
    // rest of the request outside any transaction, without its request row. The ids
    // learned there are forgotten if the transaction rolls back.
    const bool inTransaction = KSafeSqlTransaction::isOpenOn(database);
    if (const qint64* cached = cache.object(key)) {
        trelLog(debugStream, 5) << kind.hitMessage << static_cast<long long>(*cached) << kflush;
        return *cached;
    }
    trelLog(debugStream, 5) << "No cache id for" << text << kflush;

    const QString hash = KSqlBinary::placeholder(database, QString::fromLatin1(kind.hashName));
    const QVariant hashValue = KSqlBinary::value(database, key);
    qint64 result = -1;
    try {
        KStatementCache::Statement insert(database, QString::fromLatin1(kind.insert).arg(hash));
        insert->bindValue(QString::fromLatin1(kind.hashName), hashValue);
        const QVariant value = KSafeSqlQuery::text(text);
        if (isUrl) {
            insert->bindValue(QStringLiteral(":url"), value);
        } else {
            insert->bindValue(QStringLiteral(":prepared_statement"), value);
            insert->bindValue(QStringLiteral(":statement_explain"), QVariant(QStringLiteral("")));
        }
        insert->exec(debugStream, 10);
        result = insert->lastInsertId().toLongLong();
    } catch (const KException& e) {
        const bool duplicate = isDuplicate(e.what());
        if (inTransaction && !duplicate)
            throw;
        if (!duplicate) {
            trelLog(debugStream, 0) << kind.prefix << e.what() << kflush;
            return -1;
        }
        // Stored already, by another process or an earlier run: take its id. On MySQL
        // the row may have been committed after this transaction's snapshot was taken,
        // which only a locking read is sure to see.
        try {
            KSafeSqlQuery select(database);
            QString reselect = QString::fromLatin1(kind.reselect).arg(hash);
            if (database.driverName() == QLatin1String("QMYSQL"))
                reselect += QStringLiteral(" LOCK IN SHARE MODE");
            select.prepare(reselect);
            select.bindValue(QString::fromLatin1(kind.hashName), hashValue);
            select.exec(debugStream, 10);
            if (!select.next()) {
                trelLog(debugStream, 0) << "Could not return id from db:" << text << kflush;
                return -1;
            }
            result = select.value(0).toLongLong();
        } catch (const KException& e2) {
            if (inTransaction)
                throw;
            // A passing failure must not stick to this text: nothing is cached.
            trelLog(debugStream, 0) << kind.prefix << e2.what() << kflush;
            return -1;
        }
    }
    cache.insert(key, new qint64(result), 1);
    if (inTransaction)
        (isUrl ? newUrlKeys : newStatementKeys).append(key);
    return result;
}

qint64 KTrel::getUrlDbId(const QString& url, const QSqlDatabase& database) {
    return resolveId(urlIdCache, true, url, database);
}

qint64 KTrel::getStmtDbId(const QString& statement, const QSqlDatabase& database) {
    return resolveId(statementIdCache, false, statement, database);
}

void KTrel::forgetCachedIds() {
    for (const QByteArray& key : qAsConst(newUrlKeys))
        urlIdCache.remove(key);
    for (const QByteArray& key : qAsConst(newStatementKeys))
        statementIdCache.remove(key);
    newUrlKeys.clear();
    newStatementKeys.clear();
}

// The preloads read only the rows the caches can keep (the newest by id, which are the
// likeliest to be used again), forward-only so that Qt keeps one row at a time: a
// worker's start costs the same on a table of a thousand rows and of a million. They
// are inserted oldest first, so that the newest are the last to be evicted.
namespace {
QString newestRows(const char* columns, const char* table) {
    return QStringLiteral("SELECT %1 FROM (SELECT %1 FROM %2 ORDER BY id DESC LIMIT :keep) AS "
                          "newest ORDER BY id")
        .arg(QLatin1String(columns), QLatin1String(table));
}
} // namespace

void KTrel::refreshUrlsCache() {
    try {
        QSharedPointer<KDbConnHelper> connection = doGetDatabaseConnection();
        KSafeSqlQuery query(connection->database());
        query.setForwardOnly(true);
        query.prepare(newestRows("id, url", "trel_requests_urls"));
        query.bindValue(QStringLiteral(":keep"), QVariant(urlIdCache.maxCost()));
        query.exec(debugStream, 10);
        while (query.next()) {
            const qint64 id = query.value(0).toLongLong();
            urlIdCache.insert(textKey(query.value(1).toString()), new qint64(id), 1);
        }
    } catch (const KException& e) {
        trelLog(debugStream, 0) << "KTrel::refreshUrlsCache:" << e.what() << kflush;
    }
}

void KTrel::refreshStatementsCache() {
    try {
        QSharedPointer<KDbConnHelper> connection = doGetDatabaseConnection();
        KSafeSqlQuery query(connection->database());
        query.setForwardOnly(true);
        query.prepare(newestRows("id, statement_hash", "trel_sql_statements"));
        query.bindValue(QStringLiteral(":keep"), QVariant(statementIdCache.maxCost()));
        query.exec(debugStream, 10);
        while (query.next()) {
            const qint64 id = query.value(0).toLongLong();
            statementIdCache.insert(query.value(1).toByteArray(), new qint64(id), 1);
        }
    } catch (const KException& e) {
        trelLog(debugStream, 0) << "KTrel::refreshStatementsCache:" << e.what() << kflush;
    }
}
