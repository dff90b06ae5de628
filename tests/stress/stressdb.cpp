#include "stressdb.h"

#include "installation.h"

#include <QAtomicInteger>
#include <QFile>
#include <QHash>
#include <QSqlError>
#include <QStringList>

#include <cstdio>

namespace {
QAtomicInteger<int> serial;
}

StressDb::StressDb() : m_name(QStringLiteral("trel_stress_%1").arg(serial.fetchAndAddRelaxed(1))) {}

StressDb::~StressDb() {
    if (m_db.isValid())
        m_db.close();
    m_db = QSqlDatabase();
    if (QSqlDatabase::contains(m_name))
        QSqlDatabase::removeDatabase(m_name);
}

bool StressDb::open(const QString& root, QString* error) {
    if (!m_settings.load(root, error))
        return false;
    m_settings.setRoot(root);
    if (m_settings.isMySQL()) {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), m_name);
        m_db.setHostName(m_settings.getDbHostName());
        m_db.setPort(m_settings.getDbPort());
        m_db.setDatabaseName(m_settings.getDbName());
        m_db.setUserName(m_settings.getDbUsername());
        m_db.setPassword(m_settings.getDbPassword());
        m_db.setConnectOptions(QStringLiteral("MYSQL_OPT_CONNECT_TIMEOUT=5"));
    } else {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        m_db.setDatabaseName(Installation::databasePath(root));
        m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
    }
    if (!m_db.open()) {
        *error = m_db.lastError().text();
        return false;
    }
    return true;
}

bool StressDb::run(QSqlQuery& query, const QString& sql, const QVariantList& binds,
                   QString* error) {
    query = QSqlQuery(m_db);
    bool ok = query.prepare(sql);
    for (int i = 0; ok && i < binds.size(); ++i)
        query.bindValue(i, binds.at(i));
    ok = ok && query.exec();
    if (!ok && error)
        *error = sql + QStringLiteral(": ") + query.lastError().text();
    return ok;
}

QVariant StressDb::scalar(const QString& sql, const QVariantList& binds, QString* error) {
    QSqlQuery query;
    if (!run(query, sql, binds, error) || !query.next())
        return QVariant();
    return query.value(0);
}

int StressDb::init(const QStringList& args) {
    QString error;
    const QString root = args.value(0);
    if (args.size() == 2 && args.at(1) == QLatin1String("sqlite")) {
        if (!Installation::createSqlite(root, &error)) {
            std::fprintf(stderr, "trel_stress init: %s\n", qPrintable(error));
            return 1;
        }
        return 0;
    }
    if (args.size() != 4 || args.at(1) != QLatin1String("mariadb")) {
        std::fprintf(stderr, "usage: trel_stress init ROOT sqlite | init ROOT mariadb ENVFILE "
                             "DATABASE\n");
        return 2;
    }
    QFile envFile(args.at(2));
    if (!envFile.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "trel_stress init: cannot read %s\n", qPrintable(args.at(2)));
        return 1;
    }
    QHash<QString, QString> env;
    for (const QByteArray& line : envFile.readAll().split('\n')) {
        const int eq = line.indexOf('=');
        if (eq > 0)
            env.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
    }
    KolvServerInfo info;
    info.setDbType(QStringLiteral("QMYSQL"));
    info.setDbHostName(env.value(QStringLiteral("TREL_TEST_MYSQL_HOST")));
    info.setDbPort(env.value(QStringLiteral("TREL_TEST_MYSQL_PORT")).toInt());
    info.setDbUsername(env.value(QStringLiteral("TREL_TEST_MYSQL_USER")));
    info.setDbPassword(env.value(QStringLiteral("TREL_TEST_MYSQL_PASSWORD")));
    const QString database = args.at(3);
    {
        QSqlDatabase admin = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"),
                                                       QStringLiteral("trel_stress_admin"));
        admin.setHostName(info.getDbHostName());
        admin.setPort(info.getDbPort());
        admin.setUserName(info.getDbUsername());
        admin.setPassword(info.getDbPassword());
        bool ok = admin.open();
        if (ok) {
            QSqlQuery query(admin);
            ok = query.exec(QStringLiteral("DROP DATABASE IF EXISTS `%1`").arg(database)) &&
                 query.exec(
                     QStringLiteral("CREATE DATABASE `%1` CHARACTER SET utf8mb4").arg(database));
            if (!ok)
                error = query.lastError().text();
        } else {
            error = admin.lastError().text();
        }
        admin.close();
        admin = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("trel_stress_admin"));
        if (!ok) {
            std::fprintf(stderr, "trel_stress init: %s\n", qPrintable(error));
            return 1;
        }
    }
    info.setDbName(database);
    if (!Installation::createMySql(root, info, QString(), &error)) {
        std::fprintf(stderr, "trel_stress init: %s\n", qPrintable(error));
        return 1;
    }
    return 0;
}
