#include <kolv/kdb.h>

#include <QAtomicInteger>
#include <QSqlDatabase>

#include <mutex>
#include <vector>

#include <unistd.h>

namespace {
QAtomicInteger<quint64> poolSerial;
}

struct KDb::Pool {
    std::mutex mutex;
    bool initialized = false;
    QString driver;
    QString hostName, userName, password, databaseName, options;
    unsigned int port = 0;
    quint64 serial = 0;
    int next = 0;
    // Open connections waiting to be reused, with the process that opened each.
    struct Idle {
        QString name;
        pid_t pid;
    };
    std::vector<Idle> idle;

    QString newName() { return QStringLiteral("kolv_pool_%1_%2").arg(serial).arg(next++); }
};

namespace {

void closeConnection(const QString& name) {
    {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

// A connection that a forked process inherited shares its server session with the
// process that opened it: using it would interleave both processes' packets on one
// socket, and closing it would send the client's quit on that socket and end the
// other process's session. It is forgotten deliberately instead: a copy of the handle
// that is never destroyed keeps Qt from closing it (Qt closes a connection when its
// last handle goes, also at exit), and the name is never removed. The cost is one
// descriptor and the client's buffers per inherited connection, once per process.
// Closing just the descriptor would need the client library's own handle type.
void forgetInherited(const QString& name) {
    static auto* const inherited = new std::vector<QSqlDatabase>();
    inherited->push_back(QSqlDatabase::database(name, false));
}

// Releases a connection this process does not use any more: closed when this process
// opened it, forgotten when it was inherited.
void dropConnection(const QString& name, pid_t openedBy) {
    if (openedBy == ::getpid())
        closeConnection(name);
    else
        forgetInherited(name);
}

} // namespace

KDb::KDb() : m_pool(std::make_shared<Pool>()) {
    m_pool->serial = poolSerial.fetchAndAddRelaxed(1);
}

KDb::~KDb() {
    std::lock_guard<std::mutex> lock(m_pool->mutex);
    for (const Pool::Idle& idle : m_pool->idle)
        dropConnection(idle.name, idle.pid);
    m_pool->idle.clear();
    m_pool->initialized = false;
}

bool KDb::initMySQL(const QString& hostName, const QString& userName, const QString& password,
                    const QString& databaseName, unsigned int port, const QString& options) {
    std::lock_guard<std::mutex> lock(m_pool->mutex);
    for (const Pool::Idle& idle : m_pool->idle)
        dropConnection(idle.name, idle.pid);
    m_pool->idle.clear();
    m_pool->driver = QStringLiteral("QMYSQL");
    m_pool->hostName = hostName;
    m_pool->userName = userName;
    m_pool->password = password;
    m_pool->databaseName = databaseName;
    m_pool->port = port;
    m_pool->options = options;
    m_pool->initialized = true;
    return QSqlDatabase::isDriverAvailable(m_pool->driver);
}

bool KDb::isInitialized() const {
    std::lock_guard<std::mutex> lock(m_pool->mutex);
    return m_pool->initialized;
}

bool KDb::isSqlite() const {
    std::lock_guard<std::mutex> lock(m_pool->mutex);
    return m_pool->initialized && m_pool->driver == QLatin1String("QSQLITE");
}

int KDb::idleCount() const {
    std::lock_guard<std::mutex> lock(m_pool->mutex);
    const pid_t self = ::getpid();
    int count = 0;
    for (const Pool::Idle& idle : m_pool->idle)
        count += idle.pid == self ? 1 : 0;
    return count;
}

KDbConnectionPtr KDb::getTemporaryConnection() {
    QString name;
    QSqlDatabase db;
    const pid_t self = ::getpid();
    {
        std::lock_guard<std::mutex> lock(m_pool->mutex);
        if (!m_pool->initialized)
            return KDbConnectionPtr();
        // A forked process finds its parent's idle connections here: it never uses them.
        for (auto it = m_pool->idle.begin(); it != m_pool->idle.end();) {
            if (it->pid == self) {
                ++it;
                continue;
            }
            forgetInherited(it->name);
            it = m_pool->idle.erase(it);
        }
        if (!m_pool->idle.empty()) {
            name = m_pool->idle.back().name;
            m_pool->idle.pop_back();
            db = QSqlDatabase::database(name, false);
        } else {
            name = m_pool->newName();
            db = QSqlDatabase::addDatabase(m_pool->driver, name);
            db.setHostName(m_pool->hostName);
            db.setUserName(m_pool->userName);
            db.setPassword(m_pool->password);
            db.setDatabaseName(m_pool->databaseName);
            if (m_pool->port)
                db.setPort(static_cast<int>(m_pool->port));
            db.setConnectOptions(m_pool->options);
        }
    }
    // A connection whose open failed or that was closed is opened again here; one whose
    // server went away unnoticed is reopened by the statement executor.
    if (!db.isOpen())
        db.open();

    std::weak_ptr<Pool> weakPool = m_pool;
    auto connection = std::shared_ptr<KDbConnection>(
        new KDbConnection(db, name), [weakPool, self](KDbConnection* c) {
            const QString connectionName = c->name();
            const bool reusable = c->databaseRef().isOpen();
            delete c;
            // A handle held across a fork and released in the child: the connection
            // belongs to the parent.
            if (self != ::getpid()) {
                forgetInherited(connectionName);
                return;
            }
            std::shared_ptr<Pool> pool = weakPool.lock();
            if (pool) {
                std::lock_guard<std::mutex> lock(pool->mutex);
                if (pool->initialized && reusable &&
                    static_cast<int>(pool->idle.size()) < KDb::MaxIdle) {
                    pool->idle.push_back(Pool::Idle{connectionName, self});
                    return;
                }
            }
            closeConnection(connectionName);
        });
    return KDbConnectionPtr(connection);
}
