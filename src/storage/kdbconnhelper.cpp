#include <trel/kdbconnhelper.h>

#include <QHash>

namespace {

// Helpers alive per Qt connection name: the named connection is shared by every
// helper of the process, and only the last one to go removes it.
QHash<QString, int>& namedUsers() {
    static QHash<QString, int> users;
    return users;
}

} // namespace

KDbConnHelper::KDbConnHelper(const QSqlDatabase& database)
    : ownedDatabase(new QSqlDatabase(database)), connectionName(database.connectionName()) {
    ++namedUsers()[connectionName];
}

KDbConnHelper::KDbConnHelper(KDbConnectionPtr connection)
    : ownedDatabase(nullptr), poolConnection(connection) {}

KDbConnHelper::~KDbConnHelper() {
    if (ownedDatabase) {
        delete ownedDatabase;
        ownedDatabase = nullptr;
        QHash<QString, int>& users = namedUsers();
        auto it = users.find(connectionName);
        if (it == users.end() || --it.value() <= 0) {
            if (it != users.end())
                users.erase(it);
            QSqlDatabase::removeDatabase(connectionName);
        }
    }
}

QSqlDatabase& KDbConnHelper::database() const {
    if (ownedDatabase)
        return *ownedDatabase;
    return poolConnection->databaseRef();
}

bool KDbConnHelper::isMySQL() const {
    return ownedDatabase == nullptr;
}
