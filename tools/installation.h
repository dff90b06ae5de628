#ifndef TREL_INSTALLATION_H
#define TREL_INSTALLATION_H

#include <kolv/kolvserverinfo.h>

#include <QSqlDatabase>
#include <QString>
#include <QVariantMap>

// Creates what an installation holds around the library: etc/trel.ini, the bar's
// templates, data/trel.db (WAL, with the schema) or the schema on a MySQL server.
class Installation {
public:
    // Creates a SQLite installation under `root`. Returns false with a one-line reason
    // when a file cannot be written or the schema fails; what it created is removed.
    static bool createSqlite(const QString& root, QString* error);
    // Creates an installation whose settings name the MySQL server in `info` and applies
    // the MySQL schema to it. With a password file, the settings name the file (by its
    // absolute path) and hold no password; without one, a password in `info` is stored.
    static bool createMySql(const QString& root, const KolvServerInfo& info,
                            const QString& passwordFile, QString* error);
    // Writes the settings and templates of an installation that joins the one already in
    // the MySQL database of `info` (another web server's): its tables, trigger, tokens and
    // patterns are used as they are and nothing on the server is changed.
    static bool joinMySql(const QString& root, const KolvServerInfo& info,
                          const QString& passwordFile, QString* error);
    // Applies the MySQL schema to the server that `info` names. Tables that exist are
    // kept; on failure the tables this call created are dropped again. A server that would
    // refuse the schema's trigger (binary logging without the right to create one) is
    // reported in one line before anything is created.
    static bool applyMySqlSchema(const KolvServerInfo& info, QString* error);
    // Why the user on `db` cannot create the schema's trigger, in one line saying what to
    // grant or set; empty when it can.
    static QString triggerPrivilegeProblem(QSqlDatabase& db);
    // The installation's tables in the MySQL database on `db` that have no primary key
    // (installations made before every table had one).
    static QStringList tablesWithoutPrimaryKey(QSqlDatabase& db);
    // Gives the tables of tablesWithoutPrimaryKey() the schema's primary keys.
    static bool addPrimaryKeys(QSqlDatabase& db, QString* error);
    // Names the server of `info` on `db`: host and port, or its unix socket.
    static void setUpMySql(QSqlDatabase& db, const KolvServerInfo& info);

    static QString databasePath(const QString& root);
    // The bar's templates that `init` writes.
    static QString headerTemplate();
    static QString footerTemplate();

private:
    // The folders, the templates and etc/trel.ini with `database` as its [database]
    // group.
    static bool writeCommon(const QString& root, const QVariantMap& database, QString* error);
};

#endif
