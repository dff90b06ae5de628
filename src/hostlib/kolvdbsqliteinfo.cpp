#include <kolv/kolvdbsqliteinfo.h>

#include <QDir>
#include <QFileInfo>
#include <QSqlQuery>
#include <QVariant>

#include <atomic>
#include <mutex>

namespace {
std::atomic<int> busyTimeoutMs{2000};

// The registry keeps each database file it served open with a connection of its own
// that it never hands out: the connections it does hand out, opened and removed for
// every operation, then open fast, and the journal mode is checked once per file.
// A few files at most are kept; the least recently used is closed first.
const int MaxKeptFiles = 4;

struct Keeper {
    QString path;
    QString name;
};

std::mutex keepersMutex;
QList<Keeper>& keepers() {
    static QList<Keeper> kept;
    return kept;
}
int keeperSerial = 0;

void dropKeeper(const Keeper& keeper) {
    {
        QSqlDatabase db = QSqlDatabase::database(keeper.name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(keeper.name);
}

// Opens the keeper of `path` if there is none; it puts the file in WAL mode when it
// is not. Returns false when the file cannot be opened.
bool keepOpen(const QString& path) {
    std::lock_guard<std::mutex> lock(keepersMutex);
    QList<Keeper>& kept = keepers();
    for (int i = 0; i < kept.size(); ++i) {
        if (kept[i].path == path) {
            if (QSqlDatabase::database(kept[i].name, false).isOpen()) {
                kept.move(i, kept.size() - 1);
                return true;
            }
            dropKeeper(kept.takeAt(i));
            break;
        }
    }
    Keeper keeper{path, QStringLiteral("kolv_sqlite_keeper_%1").arg(++keeperSerial)};
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), keeper.name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs.load()));
        ok = db.open();
        if (ok) {
            QSqlQuery mode(db);
            if (mode.exec(QStringLiteral("PRAGMA journal_mode")) && mode.next() &&
                mode.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
                mode.finish();
                mode.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
            }
        }
    }
    if (!ok) {
        QSqlDatabase::removeDatabase(keeper.name);
        return false;
    }
    kept.append(keeper);
    while (kept.size() > MaxKeptFiles)
        dropKeeper(kept.takeFirst());
    return true;
}
} // namespace

KolvDbSQliteInfo::KolvDbSQliteInfo(const QString& root) : m_root(root) {}

KolvDbSQliteInfo KolvDbSQliteInfo::get(const QString& root) {
    return KolvDbSQliteInfo(root);
}

void KolvDbSQliteInfo::setBusyTimeout(int milliseconds) {
    busyTimeoutMs = milliseconds < 0 ? 0 : milliseconds;
}

int KolvDbSQliteInfo::busyTimeout() {
    return busyTimeoutMs;
}

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
    keepOpen(path);
    db.open();
    return db;
}
