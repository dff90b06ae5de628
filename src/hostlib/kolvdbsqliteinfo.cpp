#include <kolv/kolvdbsqliteinfo.h>

#include <QDir>
#include <QFileInfo>
#include <QSqlQuery>
#include <QVariant>

#include <atomic>

namespace {
std::atomic<int> busyTimeoutMs{2000};
}

KolvDbSQliteInfo::KolvDbSQliteInfo(const QString& root) : m_root(root) {}

KolvDbSQliteInfo KolvDbSQliteInfo::get(const QString& root) { return KolvDbSQliteInfo(root); }

void KolvDbSQliteInfo::setBusyTimeout(int milliseconds) {
    busyTimeoutMs = milliseconds < 0 ? 0 : milliseconds;
}

int KolvDbSQliteInfo::busyTimeout() { return busyTimeoutMs; }

QString KolvDbSQliteInfo::databasePath(DAEMON_TYPE type) const {
    if (type != DAEMON_TREL)
        return QString();
    return QDir(m_root).absoluteFilePath(QStringLiteral("data/trel.db"));
}

QSqlDatabase KolvDbSQliteInfo::connection(DAEMON_TYPE type, const QString& name) const {
    const QString path = databasePath(type);
    if (QSqlDatabase::contains(name)) {
        QSqlDatabase existing = QSqlDatabase::database(name, false);
        if (existing.databaseName() == path && existing.isOpen())
            return existing;
        existing = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(path);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs.load()));
    if (path.isEmpty() || !QFileInfo(path).isFile())
        return db;
    if (!db.open())
        return db;
    {
        QSqlQuery mode(db);
        if (mode.exec(QStringLiteral("PRAGMA journal_mode")) && mode.next() &&
            mode.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
            mode.finish();
            mode.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        }
    }
    return db;
}
