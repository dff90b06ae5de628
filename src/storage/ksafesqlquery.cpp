#include "storage/ksafesqlquery.h"

#include "core/ktrellog.h"

#include <kolv/kexception.h>

#include <QDebug>
#include <QSqlError>
#include <QVariant>

#include <chrono>
#include <thread>

namespace {

KSafeSqlQuery::Pause& pauseFunction() {
    static KSafeSqlQuery::Pause pause;
    return pause;
}

void doPause(int milliseconds) {
    const KSafeSqlQuery::Pause& pause = pauseFunction();
    if (pause)
        pause(milliseconds);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

} // namespace

KSafeSqlQuery::KSafeSqlQuery(QSqlDatabase db)
    : QSqlQuery(db), database(db), traceEnabled(qgetenv("KV_SQL_DEBUG") == "1") {}

KSafeSqlQuery::~KSafeSqlQuery() { database = QSqlDatabase(); }

void KSafeSqlQuery::setPause(Pause pause) { pauseFunction() = std::move(pause); }

bool KSafeSqlQuery::isConnectionLost() const {
    const QSqlError error = lastError();
    const QString text = error.text().toLower();
    // MariaDB's client library says "Server has gone away" where MySQL's says "MySQL
    // server has gone away"; 2006 and 2013 are the client's codes for both losses.
    if (text.contains(QLatin1String("mysql server has gone away"), Qt::CaseInsensitive) ||
        text.contains(QLatin1String("lost connection to server"), Qt::CaseInsensitive) ||
        text.contains(QLatin1String("server has gone away"), Qt::CaseInsensitive))
        return true;
    const QString code = error.nativeErrorCode();
    return code == QLatin1String("2006") || code == QLatin1String("2013");
}

bool KSafeSqlQuery::reexecuteOnNewConnection() {
    // A statement prepared on the lost connection belongs to it: prepare it again on the
    // reopened one and bind the same values.
    const QString statement = lastQuery();
    const QVariantList values = boundValues();
    database.open();
    if (!prepare(statement))
        return false;
    for (int i = 0; i < values.size(); ++i)
        bindValue(i, values.at(i));
    return QSqlQuery::exec();
}

void KSafeSqlQuery::attempt() {
    bool ok = QSqlQuery::exec();
    if (!ok && isConnectionLost())
        ok = reexecuteOnNewConnection();
    trace();
    if (!ok)
        throw KException(QStringLiteral("QSafeSqlQuery::exec -> error in query: %1. [%2]")
                             .arg(executedQuery(), lastError().text()));
}

void KSafeSqlQuery::trace() {
    if (traceEnabled)
        qDebug().noquote() << QStringLiteral("KSafeSqlQuery: %1").arg(executedQuery());
}

bool KSafeSqlQuery::exec(KDebug::StreamId stream, int maxRetries) {
    int retries = 0;
    for (;;) {
        try {
            attempt();
            trace();
            return true;
        } catch (const KException& e) {
            if (!QByteArray(e.what()).contains("locked") || retries >= maxRetries)
                throw;
            ++retries;
            trelLog(stream, 5) << "DB is locked. Performing retry number:" << retries << kflush;
            doPause(RetryPauseMs);
        }
    }
}
