#include <trel/ktrel.h>

#include "storage/kwaitbudget.h"

#include <kolv/kexception.h>
#include <kolv/kolvdbsqliteinfo.h>

#include <QSqlQuery>

namespace {

KDbConnHelper* newConnection(KDb& pool, const QString& root) {
    if (!pool.isInitialized() || pool.isSqlite()) {
        QSqlDatabase database = KolvDbSQliteInfo::get(root).connection(
            KolvDbSQliteInfo::DAEMON_TREL, QStringLiteral("trel"));
        // A handle that did not open fails at its first statement; the pragmas would only
        // add Qt's "database not open" warnings to the worker's error output.
        if (database.isOpen()) {
            database.exec(QStringLiteral("pragma synchronous = off"));
            database.exec(QStringLiteral("pragma temp_store = memory"));
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

void releaseAndEndBudget(KDbConnHelper* connection) {
    delete connection;
    KWaitBudget::leave();
}

} // namespace

QSharedPointer<KDbConnHelper> KTrel::doGetDatabaseConnection() {
    // The connection borrowed for one operation carries that operation's wait budget,
    // which ends when the connection is released.
    KWaitBudget::enter();
    try {
        return QSharedPointer<KDbConnHelper>(newConnection(db, serverInfo.getRoot()),
                                             &releaseAndEndBudget);
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
    heldConnection = QSharedPointer<KDbConnHelper>(newConnection(db, serverInfo.getRoot()));
    return heldConnection->database();
}
