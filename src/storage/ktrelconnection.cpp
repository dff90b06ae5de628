#include <trel/ktrel.h>

#include "storage/kstatementcache.h"
#include "storage/kwaitbudget.h"

#include <kolv/kexception.h>
#include <kolv/kolvdbsqliteinfo.h>

#include <QSqlQuery>

namespace {

const QString& sqliteName() {
    static const QString name = QStringLiteral("trel");
    return name;
}

void releaseAndEndBudget(KDbConnHelper* connection) {
    delete connection;
    KWaitBudget::leave();
}

} // namespace

// One connection per process, kept between operations: the SQLite registry keeps the
// named connection open (and opens it anew after a fork or when the file was
// replaced), the MySQL pool keeps the session (reopened by the executor when it was
// lost).
KDbConnHelper* KTrel::newConnection() {
    KDb& pool = db;
    if (!pool.isInitialized() || pool.isSqlite()) {
        bool opened = false;
        QSqlDatabase database =
            KolvDbSQliteInfo::get(serverInfo.getRoot())
                .connection(KolvDbSQliteInfo::DAEMON_TREL, sqliteName(), &opened);
        if (opened) {
            database.exec(QStringLiteral("pragma synchronous = off"));
            database.exec(QStringLiteral("pragma temp_store = memory"));
            // The id caches name rows of the file they were read from: another file (a
            // new installation moved in) has other rows under the same ids.
            const QString file = KolvDbSQliteInfo::fileIdentity(database);
            if (file != cachedIdsFile) {
                if (!cachedIdsFile.isEmpty()) {
                    urlIdCache.clear();
                    statementIdCache.clear();
                    newUrlKeys.clear();
                    newStatementKeys.clear();
                }
                cachedIdsFile = file;
            }
        }
        return new KDbConnHelper(database);
    }
    // Nothing more is tried once the call has used its time up; opening alone may take
    // the whole connect timeout.
    if (!KWaitBudget::allows(0))
        throw KException(QStringLiteral(
            "the call's time for database waits is used up: no new connection is opened"));
    return new KDbConnHelper(pool.getTemporaryConnection());
}

void KTrel::releaseConnection() {
    if (!db.isInitialized() || db.isSqlite()) {
        KStatementCache::dropKept();
        KolvDbSQliteInfo::release(sqliteName());
    }
}

QSharedPointer<KDbConnHelper> KTrel::doGetDatabaseConnection() {
    // The connection borrowed for one operation carries that operation's wait budget,
    // which ends when the connection is released.
    KWaitBudget::enter();
    try {
        return QSharedPointer<KDbConnHelper>(newConnection(), &releaseAndEndBudget);
    } catch (...) {
        KWaitBudget::leave();
        throw;
    }
}

void KTrel::setWaitBudget(int milliseconds) {
    KWaitBudget::setLimitMs(milliseconds);
}

int KTrel::waitBudget() {
    return KWaitBudget::limitMs();
}

QSqlDatabase& KTrel::getDatabase() {
    // The caller outside the library keeps using the handle after this call: the
    // collector holds the connection until the next call or its own destruction. It
    // carries no wait budget: the host's statements on it are the host's.
    heldConnection = QSharedPointer<KDbConnHelper>(newConnection());
    return heldConnection->database();
}
