#ifndef TREL_KDBCONNHELPER_H
#define TREL_KDBCONNHELPER_H

#include <trel/trel_export.h>

#include <kolv/kdbconnectionptr.h>

#include <QSqlDatabase>
#include <QString>

// One connection to the diagnostics database, shared through
// QSharedPointer<KDbConnHelper>: either a named SQLite connection of the installation's
// registry, or a temporary connection borrowed from the MySQL pool. The last owner's
// release gives it back: a pooled connection returns to its pool; the named SQLite
// connection is removed from Qt's registry when no other helper still uses it.
class TREL_EXPORT KDbConnHelper {
public:
    explicit KDbConnHelper(const QSqlDatabase& database);
    explicit KDbConnHelper(KDbConnectionPtr connection);
    virtual ~KDbConnHelper();
    KDbConnHelper(const KDbConnHelper&) = delete;
    KDbConnHelper& operator=(const KDbConnHelper&) = delete;

    QSqlDatabase& database() const;
    // True for a connection from the MySQL pool.
    bool isMySQL() const;

private:
    QSqlDatabase* ownedDatabase;
    QString connectionName;
    KDbConnectionPtr poolConnection;
};

#endif
