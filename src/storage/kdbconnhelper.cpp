#include <trel/kdbconnhelper.h>

KDbConnHelper::KDbConnHelper(const QSqlDatabase& database)
    : ownedDatabase(new QSqlDatabase(database)), connectionName(database.connectionName()) {}

KDbConnHelper::KDbConnHelper(KDbConnectionPtr connection)
    : ownedDatabase(nullptr), poolConnection(connection) {}

// The named SQLite connection outlives its helpers: the process keeps it for its next
// operation (the collector removes it when it ends).
KDbConnHelper::~KDbConnHelper() {
    delete ownedDatabase;
    ownedDatabase = nullptr;
}

QSqlDatabase& KDbConnHelper::database() const {
    if (ownedDatabase)
        return *ownedDatabase;
    return poolConnection->databaseRef();
}

bool KDbConnHelper::isMySQL() const {
    return ownedDatabase == nullptr;
}
