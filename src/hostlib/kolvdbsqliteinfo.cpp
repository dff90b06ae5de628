#include <kolv/kolvdbsqliteinfo.h>

#include <QDir>
#include <QFileInfo>
#include <QSqlQuery>
#include <QVariant>

#include <atomic>
#include <mutex>
#include <set>
#include <vector>

#include <pthread.h>

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

// No SQLite handle may cross a fork: SQLite keeps each file's lock state per process, so
// a child that inherits an open handle believes it holds the parent's locks and takes
// none of its own, and another process may then checkpoint and delete the write-ahead
// log under it; closing the inherited handle in the child would act on that same wrong
// state. So every handle the registry opened is closed just before a fork, in the
// forking process; the child opens its own on first use. Named connections that were
// open are opened again in the parent, so that its copies of them keep working.
// The host forks from the thread that calls the library, outside any library call.
std::set<QString>& servedNames() {
    static std::set<QString> names;
    return names;
}
std::vector<QString>& reopenInParent() {
    static std::vector<QString> names;
    return names;
}

void closeBeforeFork() {
    std::lock_guard<std::mutex> lock(keepersMutex);
    QList<Keeper>& kept = keepers();
    for (const Keeper& keeper : kept)
        dropKeeper(keeper);
    kept.clear();
    reopenInParent().clear();
    std::set<QString>& names = servedNames();
    for (auto it = names.begin(); it != names.end();) {
        if (!QSqlDatabase::contains(*it)) {
            it = names.erase(it);
            continue;
        }
        QSqlDatabase db = QSqlDatabase::database(*it, false);
        if (db.isOpen()) {
            db.close();
            reopenInParent().push_back(*it);
        }
        ++it;
    }
}

void reopenAfterFork() {
    std::lock_guard<std::mutex> lock(keepersMutex);
    for (const QString& name : reopenInParent())
        if (QSqlDatabase::contains(name))
            QSqlDatabase::database(name, true);
    reopenInParent().clear();
}

// glibc removes the handlers of a shared library when it is unloaded.
void installForkHandlers() {
    static std::once_flag once;
    std::call_once(once, [] { ::pthread_atfork(&closeBeforeFork, &reopenAfterFork, nullptr); });
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
    installForkHandlers();
    const QString path = databasePath(type);
    QSqlDatabase db;
    if (QSqlDatabase::contains(name)) {
        db = QSqlDatabase::database(name, false);
        if (db.databaseName() == path && db.isOpen())
            return db;
        // One on the same file that was closed (by its user, or before a fork) is opened
        // again in place: copies of its handle that others hold stay valid.
        if (db.databaseName() != path) {
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(name);
        }
    }
    if (!db.isValid()) {
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
    }
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs.load()));
    if (path.isEmpty() || !QFileInfo(path).isFile())
        return db;
    keepOpen(path);
    {
        std::lock_guard<std::mutex> lock(keepersMutex);
        servedNames().insert(name);
    }
    db.open();
    return db;
}
