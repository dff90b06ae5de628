#include <trel/ktrel.h>

#include <kolv/kolvdbsqliteinfo.h>

#include <QSqlQuery>

QSharedPointer<KDbConnHelper> KTrel::doGetDatabaseConnection() {
    if (!db.isInitialized() || db.isSqlite()) {
        QSqlDatabase database =
            KolvDbSQliteInfo::get(serverInfo.getRoot())
                .connection(KolvDbSQliteInfo::DAEMON_TREL, QStringLiteral("trel"));
        // A handle that did not open fails at its first statement; the pragmas would only
        // add Qt's "database not open" warnings to the worker's error output.
        if (database.isOpen()) {
            database.exec(QStringLiteral("pragma synchronous = off"));
            database.exec(QStringLiteral("pragma temp_store = memory"));
        }
        return QSharedPointer<KDbConnHelper>(new KDbConnHelper(database));
    }
    return QSharedPointer<KDbConnHelper>(new KDbConnHelper(db.getTemporaryConnection()));
}

QSqlDatabase& KTrel::getDatabase() {
    // The caller outside the library keeps using the handle after this call: the
    // collector holds the connection until the next call or its own destruction.
    QSharedPointer<KDbConnHelper> connection = doGetDatabaseConnection();
    heldConnection = connection;
    return heldConnection->database();
}
