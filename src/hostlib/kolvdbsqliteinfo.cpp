#include <kolv/kolvdbsqliteinfo.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSqlQuery>
#include <QVariant>

#include <atomic>
#include <mutex>
#include <vector>

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::atomic<int> busyTimeoutMs{2000};

// What the registry knows of each named connection it served: the Qt connection that
// currently stands for the name, the process that opened it and the file it opened,
// by device and inode, so that a file replaced at the same path (a new installation
// moved in) is told from the one the connection still has open.
struct Served {
    QString qtName;
    pid_t openedBy = 0;
    dev_t device = 0;
    ino_t inode = 0;
    bool identified = false;
    qint64 schemaVersion = -1;
};

std::atomic<quint64> openOrCloseCount{0};

std::mutex servedMutex;
QHash<QString, Served>& served() {
    static QHash<QString, Served> names;
    return names;
}
std::vector<QString>& reopenInParent() {
    static std::vector<QString> names;
    return names;
}

bool statFile(const QString& path, dev_t* device, ino_t* inode) {
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    *device = st.st_dev;
    *inode = st.st_ino;
    return true;
}

// A handle inherited from the process that opened it is never closed here: closing it
// would act on lock state that belongs to the parent. A copy that is never destroyed
// keeps Qt from closing it; the name gets another Qt connection in this process.
void forgetInherited(Served& entry, const QString& name) {
    static auto* const inherited = new std::vector<QSqlDatabase>();
    inherited->push_back(QSqlDatabase::database(entry.qtName, false));
    entry.qtName = QStringLiteral("%1@%2").arg(name).arg(::getpid());
    entry.identified = false;
}

// No SQLite handle may cross a fork: SQLite keeps each file's lock state per process, so
// a child that inherits an open handle believes it holds the parent's locks and takes
// none of its own, and another process may then checkpoint and delete the write-ahead
// log under it; closing the inherited handle in the child would act on that same wrong
// state. So every handle the registry opened is closed just before a fork, in the
// forking process; the child opens its own on first use. Named connections that were
// open are opened again in the parent, so that its copies of them keep working.
// The host forks from the thread that calls the library, outside any library call.
void closeBeforeFork() {
    std::lock_guard<std::mutex> lock(servedMutex);
    reopenInParent().clear();
    for (auto it = served().begin(); it != served().end(); ++it) {
        if (!QSqlDatabase::contains(it->qtName) || it->openedBy != ::getpid())
            continue;
        QSqlDatabase db = QSqlDatabase::database(it->qtName, false);
        if (db.isOpen()) {
            db.close();
            ++openOrCloseCount;
            reopenInParent().push_back(it->qtName);
        }
    }
}

void reopenAfterFork() {
    std::lock_guard<std::mutex> lock(servedMutex);
    for (const QString& name : reopenInParent())
        if (QSqlDatabase::contains(name))
            QSqlDatabase::database(name, true);
    ++openOrCloseCount;
    reopenInParent().clear();
}

// glibc removes the handlers of a shared library when it is unloaded.
void installForkHandlers() {
    static std::once_flag once;
    std::call_once(once, [] { ::pthread_atfork(&closeBeforeFork, &reopenAfterFork, nullptr); });
}

// Opens `db` on `path` and notes the file it opened. The file is looked at before and
// after the open: when both agree, the open found that file.
bool openNoted(QSqlDatabase& db, const QString& path, Served& entry) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        dev_t device = 0, deviceAfter = 0;
        ino_t inode = 0, inodeAfter = 0;
        if (!statFile(path, &device, &inode))
            return false;
        if (db.isOpen())
            db.close();
        ++openOrCloseCount;
        if (!db.open())
            return false;
        if (statFile(path, &deviceAfter, &inodeAfter) && device == deviceAfter &&
            inode == inodeAfter) {
            entry.device = device;
            entry.inode = inode;
            entry.identified = true;
            entry.openedBy = ::getpid();
            return true;
        }
    }
    db.close();
    return false;
}

// The schema's version as the file has it now. SQLite prepares a statement from the
// schema its connection read earlier and prepares it again when it meets a newer one,
// and the column count of a statement that Qt prepared may change under Qt's feet (it
// then reads past its row). So a kept connection is opened again when the schema
// changed, and reads the new one.
qint64 schemaVersion(QSqlDatabase& db) {
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("PRAGMA schema_version")) || !query.next())
        return -1;
    return query.value(0).toLongLong();
}

// WAL, so that readers never block a writer's commit; checked once per opened handle.
void ensureWal(QSqlDatabase& db) {
    QSqlQuery mode(db);
    if (mode.exec(QStringLiteral("PRAGMA journal_mode")) && mode.next() &&
        mode.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        mode.finish();
        mode.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    }
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

quint64 KolvDbSQliteInfo::opensAndCloses() {
    return openOrCloseCount;
}

QString KolvDbSQliteInfo::databasePath(DAEMON_TYPE type) const {
    if (type != DAEMON_TREL)
        return QString();
    return QDir(m_root).absoluteFilePath(QStringLiteral("data/trel.db"));
}

QSqlDatabase KolvDbSQliteInfo::connection(DAEMON_TYPE type, const QString& name,
                                          bool* opened) const {
    installForkHandlers();
    if (opened)
        *opened = false;
    const QString path = databasePath(type);
    std::lock_guard<std::mutex> lock(servedMutex);
    Served& entry = served()[name];
    if (entry.qtName.isEmpty())
        entry.qtName = name;
    QSqlDatabase db;
    if (QSqlDatabase::contains(entry.qtName)) {
        db = QSqlDatabase::database(entry.qtName, false);
        if (db.isOpen() && entry.openedBy != ::getpid()) {
            forgetInherited(entry, name);
            db = QSqlDatabase();
        } else if (db.databaseName() == path && db.isOpen()) {
            dev_t device = 0;
            ino_t inode = 0;
            if (entry.identified && statFile(path, &device, &inode) && device == entry.device &&
                inode == entry.inode && schemaVersion(db) == entry.schemaVersion)
                return db;
            // The file was removed or replaced (what this handle would write goes to a
            // file nobody reads any more), or its schema changed. It is this process's
            // own handle, and closed.
            db.close();
            entry.identified = false;
        } else if (db.databaseName() != path) {
            // One on the same file that was closed (by its user, or before a fork) is
            // opened again in place: copies of its handle that others hold stay valid.
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(entry.qtName);
        }
    }
    if (!db.isValid()) {
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), entry.qtName);
        db.setDatabaseName(path);
    }
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs.load()));
    // A file that does not exist is not created: the handle stays closed.
    if (path.isEmpty() || !QFileInfo(path).isFile() || !openNoted(db, path, entry))
        return db;
    ensureWal(db);
    entry.schemaVersion = schemaVersion(db);
    if (opened)
        *opened = true;
    return db;
}

bool KolvDbSQliteInfo::isReplaced(const QSqlDatabase& db) {
    std::lock_guard<std::mutex> lock(servedMutex);
    for (const Served& entry : qAsConst(served())) {
        if (entry.qtName != db.connectionName())
            continue;
        dev_t device = 0;
        ino_t inode = 0;
        return !entry.identified || !statFile(db.databaseName(), &device, &inode) ||
               device != entry.device || inode != entry.inode;
    }
    return false;
}

QString KolvDbSQliteInfo::fileIdentity(const QSqlDatabase& db) {
    std::lock_guard<std::mutex> lock(servedMutex);
    for (const Served& entry : qAsConst(served()))
        if (entry.qtName == db.connectionName() && entry.identified)
            return QStringLiteral("%1:%2")
                .arg(static_cast<qulonglong>(entry.device))
                .arg(static_cast<qulonglong>(entry.inode));
    return QString();
}

void KolvDbSQliteInfo::release(const QString& name) {
    std::lock_guard<std::mutex> lock(servedMutex);
    auto it = served().find(name);
    if (it == served().end())
        return;
    Served entry = *it;
    served().erase(it);
    if (!QSqlDatabase::contains(entry.qtName))
        return;
    if (entry.openedBy != ::getpid() && QSqlDatabase::database(entry.qtName, false).isOpen()) {
        forgetInherited(entry, name);
        return;
    }
    QSqlDatabase::database(entry.qtName, false).close();
    ++openOrCloseCount;
    QSqlDatabase::removeDatabase(entry.qtName);
}
