#ifndef TREL_KDBCONNHELPER_H
#define TREL_KDBCONNHELPER_H

#include <trel/trel_export.h>

#include <kolv/kdbconnectionptr.h>

#include <QSqlDatabase>
#include <QString>

// The connection to the diagnostics database that one operation holds, shared through
// QSharedPointer<KDbConnHelper>: either the process's named SQLite connection of the
// installation's registry, or a connection borrowed from the MySQL pool. The last
// owner's release gives it back: a pooled connection returns to its pool; the named
// SQLite connection stays open for the process's next operation.
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
