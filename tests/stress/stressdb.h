#ifndef TREL_STRESS_STRESSDB_H
#define TREL_STRESS_STRESSDB_H

#include <kolv/kolvserverinfo.h>

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariantList>

// A connection of the stress program's own (never the library's) on an installation's
// database, SQLite file or MariaDB, for reading back and for holding locks.
class StressDb {
public:
    StressDb();
    ~StressDb();
    StressDb(const StressDb&) = delete;
    StressDb& operator=(const StressDb&) = delete;

    // Loads ROOT/etc/trel.ini and connects.
    bool open(const QString& root, QString* error);
    bool isMySql() const { return m_settings.isMySQL(); }
    const KolvServerInfo& settings() const { return m_settings; }
    QSqlDatabase& db() { return m_db; }

    // Runs a statement with positional binds; false with the error text on failure.
    bool run(QSqlQuery& query, const QString& sql, const QVariantList& binds = {},
             QString* error = nullptr);
    // First column of the first row; an invalid value on failure or without rows.
    QVariant scalar(const QString& sql, const QVariantList& binds = {}, QString* error = nullptr);

    // "init ROOT sqlite" / "init ROOT mariadb ENVFILE DATABASE": a fresh installation, on
    // a SQLite file or on a new database of the server that ENVFILE (as written by
    // scripts/mariadb-test-server) names.
    static int init(const QStringList& args);

private:
    KolvServerInfo m_settings;
    QString m_name;
    QSqlDatabase m_db;
};

#endif
