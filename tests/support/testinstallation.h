#ifndef TREL_TEST_TESTINSTALLATION_H
#define TREL_TEST_TESTINSTALLATION_H

#include <kolv/kolvserverinfo.h>

#include <QSqlDatabase>
#include <QString>
#include <QTemporaryDir>
#include <QVariant>
#include <QVariantList>

#include <memory>
#include <ostream>

enum class Backend { Sqlite, MySql };

std::ostream& operator<<(std::ostream& out, Backend backend);
// For INSTANTIATE_TEST_SUITE_P names.
std::string backendName(Backend backend);

// A real installation for one test: a temporary root with etc/trel.ini, the bar's
// templates and either data/trel.db (SQLite, WAL, with the schema) or a fresh database
// with the schema on the test MariaDB server (TREL_TEST_MYSQL_* from
// scripts/mariadb-test-server). The MySQL database is dropped at the end.
//
// The MySQL variant fails the test (it does not skip) when the server is not there.
class TestInstallation {
public:
    explicit TestInstallation(Backend backend);
    ~TestInstallation();
    TestInstallation(const TestInstallation&) = delete;
    TestInstallation& operator=(const TestInstallation&) = delete;

    // False (with a gtest failure already recorded) when the installation could not be made.
    bool ok() const { return m_ok; }
    Backend backend() const { return m_backend; }
    const QString& root() const { return m_root; }
    const KolvServerInfo& serverInfo() const { return m_info; }
    QString databasePath() const;

    // A connection of the test's own (not the library's) for preparing and checking rows.
    QSqlDatabase& db();
    // Runs a statement with positional binds; fails the test when it fails.
    bool exec(const QString& sql, const QVariantList& binds = {});
    // First column of the first row, or an invalid QVariant.
    QVariant scalar(const QString& sql, const QVariantList& binds = {});
    qint64 count(const QString& table, const QString& where = QString());
    // Rows of a query, each a list of column values.
    QList<QVariantList> rows(const QString& sql, const QVariantList& binds = {});
    // Every per-request table, for "nothing left behind" checks.
    static QStringList requestTables();
    // Rows that belong to no request of trel_requests, summed over every table that
    // refers to a request, plus backtraces referred to by nobody.
    qint64 orphanRows();

    // Settings for the test MariaDB server (without a database name), or a failure.
    static bool mysqlSettings(KolvServerInfo* info);

private:
    Backend m_backend;
    bool m_ok = false;
    QTemporaryDir m_dir;
    QString m_root;
    KolvServerInfo m_info;
    QString m_connectionName;
    QString m_mysqlDatabase;
    QSqlDatabase m_db;
};

#endif
