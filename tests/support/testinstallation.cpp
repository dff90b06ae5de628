#include "support/testinstallation.h"

#include "installation.h"
#include "sqlscript.h"

#include <gtest/gtest.h>

#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>

namespace {

QString env(const char* name) {
    return QString::fromLocal8Bit(qgetenv(name));
}

// Connects to the test server as root of the tests, on no particular database.
bool openServer(QSqlDatabase& db, const KolvServerInfo& info, const QString& database) {
    db.setHostName(info.getDbHostName());
    db.setPort(info.getDbPort());
    db.setUserName(info.getDbUsername());
    db.setPassword(info.getDbPassword());
    db.setDatabaseName(database);
    return db.open();
}

} // namespace

std::ostream& operator<<(std::ostream& out, Backend backend) {
    return out << backendName(backend);
}

std::string backendName(Backend backend) {
    return backend == Backend::Sqlite ? "Sqlite" : "MariaDB";
}

bool TestInstallation::mysqlSettings(KolvServerInfo* info) {
    if (env("TREL_TEST_MYSQL_PORT").isEmpty()) {
        ADD_FAILURE() << "no test MariaDB server: run the tests through scripts/test, or start "
                         "one with scripts/mariadb-test-server start DIR and export DIR/env";
        return false;
    }
    info->setDbType(QStringLiteral("QMYSQL"));
    info->setDbHostName(env("TREL_TEST_MYSQL_HOST"));
    info->setDbPort(env("TREL_TEST_MYSQL_PORT").toInt());
    info->setDbUsername(env("TREL_TEST_MYSQL_USER"));
    info->setDbPassword(env("TREL_TEST_MYSQL_PASSWORD"));
    return true;
}

TestInstallation::TestInstallation(Backend backend)
    : m_backend(backend),
      m_connectionName(QStringLiteral("test_%1").arg(QUuid::createUuid().toString())) {
    if (!m_dir.isValid()) {
        ADD_FAILURE() << "cannot create a temporary folder";
        return;
    }
    m_root = m_dir.path();
    QString error;
    if (backend == Backend::Sqlite) {
        if (!Installation::createSqlite(m_root, &error)) {
            ADD_FAILURE() << "cannot create the SQLite installation: " << error.toStdString();
            return;
        }
        if (!m_info.load(m_root, &error)) {
            ADD_FAILURE() << error.toStdString();
            return;
        }
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
        m_db.setDatabaseName(databasePath());
        m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        if (!m_db.open()) {
            ADD_FAILURE() << m_db.lastError().text().toStdString();
            return;
        }
        m_ok = true;
        return;
    }

    KolvServerInfo info;
    if (!mysqlSettings(&info))
        return;
    m_mysqlDatabase =
        QStringLiteral("trel_t_%1").arg(QUuid::createUuid().toString(QUuid::Id128).left(16));
    {
        QSqlDatabase admin = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), m_connectionName);
        if (!openServer(admin, info, QString())) {
            ADD_FAILURE() << "cannot reach the test MariaDB server: "
                          << admin.lastError().text().toStdString();
            admin = QSqlDatabase();
            QSqlDatabase::removeDatabase(m_connectionName);
            return;
        }
        QSqlQuery create(admin);
        if (!create.exec(
                QStringLiteral("CREATE DATABASE %1 CHARACTER SET utf8mb4").arg(m_mysqlDatabase))) {
            ADD_FAILURE() << create.lastError().text().toStdString();
            return;
        }
        admin.close();
        admin = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connectionName);
    }
    info.setDbName(m_mysqlDatabase);
    if (!Installation::createMySql(m_root, info, QString(), &error)) {
        ADD_FAILURE() << "cannot create the MySQL installation: " << error.toStdString();
        return;
    }
    if (!m_info.load(m_root, &error)) {
        ADD_FAILURE() << error.toStdString();
        return;
    }
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), m_connectionName);
    if (!openServer(m_db, m_info, m_mysqlDatabase)) {
        ADD_FAILURE() << m_db.lastError().text().toStdString();
        return;
    }
    m_ok = true;
}

TestInstallation::~TestInstallation() {
    if (m_db.isValid()) {
        if (!m_mysqlDatabase.isEmpty() && m_db.isOpen()) {
            QSqlQuery drop(m_db);
            drop.exec(QStringLiteral("DROP DATABASE IF EXISTS %1").arg(m_mysqlDatabase));
        }
        m_db.close();
    }
    m_db = QSqlDatabase();
    if (QSqlDatabase::contains(m_connectionName))
        QSqlDatabase::removeDatabase(m_connectionName);
}

QString TestInstallation::databasePath() const {
    return Installation::databasePath(m_root);
}

QSqlDatabase& TestInstallation::db() {
    return m_db;
}

bool TestInstallation::exec(const QString& sql, const QVariantList& binds) {
    QSqlQuery query(m_db);
    query.prepare(sql);
    for (int i = 0; i < binds.size(); ++i)
        query.bindValue(i, binds.at(i));
    if (!query.exec()) {
        ADD_FAILURE() << sql.toStdString() << ": " << query.lastError().text().toStdString();
        return false;
    }
    return true;
}

QVariant TestInstallation::scalar(const QString& sql, const QVariantList& binds) {
    QSqlQuery query(m_db);
    query.prepare(sql);
    for (int i = 0; i < binds.size(); ++i)
        query.bindValue(i, binds.at(i));
    if (!query.exec()) {
        ADD_FAILURE() << sql.toStdString() << ": " << query.lastError().text().toStdString();
        return QVariant();
    }
    return query.next() ? query.value(0) : QVariant();
}

qint64 TestInstallation::count(const QString& table, const QString& where) {
    QString sql = QStringLiteral("SELECT COUNT(*) FROM %1").arg(table);
    if (!where.isEmpty())
        sql += QStringLiteral(" WHERE ") + where;
    return scalar(sql).toLongLong();
}

QList<QVariantList> TestInstallation::rows(const QString& sql, const QVariantList& binds) {
    QList<QVariantList> result;
    QSqlQuery query(m_db);
    query.prepare(sql);
    for (int i = 0; i < binds.size(); ++i)
        query.bindValue(i, binds.at(i));
    if (!query.exec()) {
        ADD_FAILURE() << sql.toStdString() << ": " << query.lastError().text().toStdString();
        return result;
    }
    while (query.next()) {
        QVariantList row;
        for (int i = 0; i < query.record().count(); ++i)
            row << query.value(i);
        result << row;
    }
    return result;
}

QStringList TestInstallation::requestTables() {
    return {QStringLiteral("trel_sql_queries"),          QStringLiteral("trel_log_entries"),
            QStringLiteral("trel_functions_stats"),      QStringLiteral("trel_monitor_events"),
            QStringLiteral("trel_processing_breakdown"), QStringLiteral("trel_superglobals_data")};
}

qint64 TestInstallation::orphanRows() {
    qint64 orphans = 0;
    for (const QString& table : requestTables())
        orphans += count(table, QStringLiteral("request_id NOT IN (SELECT id FROM trel_requests)"));
    for (const char* table : {"trel_request_owners", "trel_request_context"})
        orphans += count(QString::fromLatin1(table),
                         QStringLiteral("request_id NOT IN (SELECT id FROM trel_requests)"));
    orphans += count(QStringLiteral("trel_backtrace"),
                     QStringLiteral("id NOT IN (SELECT backtrace_id FROM trel_sql_queries) AND id "
                                    "NOT IN (SELECT backtrace_id FROM trel_log_entries)"));
    return orphans;
}
