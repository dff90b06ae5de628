#include "benchsupport.h"

#include "installation.h"
#include "referencerequest.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

#include <cstdio>

bool shortRun() {
    return qgetenv("TREL_BENCH_SHORT") == "1";
}

FailureCounter::FailureCounter() {
    KDebug::setDebugLevel(1, 0);
    KDebug::setSink([this](int level, KDebug::StreamId, const QString& text) {
        if (level == 0 && text.startsWith(QLatin1String("KTrel::write:")))
            ++failures;
    });
}

FailureCounter::~FailureCounter() {
    KDebug::setSink(KDebug::Sink());
}

SqliteInstall::SqliteInstall() {
    QString error;
    ok = dir.isValid() && Installation::createSqlite(dir.path(), &error) &&
         info.load(dir.path(), &error);
    if (!ok)
        std::fprintf(stderr, "cannot create a SQLite installation: %s\n", qPrintable(error));
}

KolvServerInfo testServerSettings() {
    KolvServerInfo info;
    info.setDbType(QStringLiteral("QMYSQL"));
    info.setDbHostName(qEnvironmentVariable("TREL_TEST_MYSQL_HOST"));
    info.setDbPort(qEnvironmentVariable("TREL_TEST_MYSQL_PORT").toInt());
    info.setDbUsername(qEnvironmentVariable("TREL_TEST_MYSQL_USER"));
    info.setDbPassword(qEnvironmentVariable("TREL_TEST_MYSQL_PASSWORD"));
    return info;
}

MySqlInstall::MySqlInstall(bool socket) {
    if (qEnvironmentVariableIsEmpty("TREL_TEST_MYSQL_PORT")) {
        error = QStringLiteral("no test MariaDB server (TREL_TEST_MYSQL_PORT)");
        return;
    }
    info = testServerSettings();
    if (socket && qEnvironmentVariableIsEmpty("TREL_TEST_MYSQL_SOCKET")) {
        error = QStringLiteral("no socket of the test MariaDB server (TREL_TEST_MYSQL_SOCKET)");
        return;
    }
    database =
        QStringLiteral("trel_bench_%1").arg(QUuid::createUuid().toString(QUuid::Id128).left(12));
    if (!adminExec(QStringLiteral("CREATE DATABASE %1").arg(database)))
        return;
    info.setDbName(database);
    if (socket)
        info.setDbSocket(qEnvironmentVariable("TREL_TEST_MYSQL_SOCKET"));
    ok = Installation::createMySql(dir.path(), info, QString(), &error) &&
         info.load(dir.path(), &error);
}

MySqlInstall::~MySqlInstall() {
    if (!database.isEmpty())
        adminExec(QStringLiteral("DROP DATABASE IF EXISTS %1").arg(database));
}

bool MySqlInstall::adminExec(const QString& sql) {
    const QString name = QStringLiteral("bench_admin");
    bool done = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
        db.setHostName(info.getDbHostName());
        db.setPort(info.getDbPort());
        db.setUserName(info.getDbUsername());
        db.setPassword(info.getDbPassword());
        if (db.open()) {
            QSqlQuery query(db);
            done = query.exec(sql);
            if (!done)
                error = query.lastError().text();
        } else {
            error = db.lastError().text();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return done;
}

KTrel* freshCollector(const KolvServerInfo& info) {
    KDebug::setDebugLevel(1, 0);
    KTrel::release();
    KTrel* trel = KTrel::instance();
    trel->initialize(info, 1);
    return trel;
}

void runWrites(benchmark::State& state, const KolvServerInfo& info) {
    FailureCounter failures;
    KTrel* trel = freshCollector(info);
    ReferenceRequest reference;
    for (auto _ : state) {
        state.PauseTiming();
        trel->reset();
        reference.collect(trel);
        state.ResumeTiming();
        trel->write();
    }
    state.counters["failed"] = failures.failures;
    state.SetItemsProcessed(state.iterations());
    KTrel::release();
}
