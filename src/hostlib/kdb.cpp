#include <kolv/kdb.h>

#include <QAtomicInteger>
#include <QSqlDatabase>

#include <mutex>
#include <vector>

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
    std::vector<QString> idle; // names of open connections waiting to be reused

    QString newName() {
        return QStringLiteral("kolv_pool_%1_%2").arg(serial).arg(next++);
    }
};

namespace {

void closeConnection(const QString& name) {
    {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

} // namespace

KDb::KDb() : m_pool(std::make_shared<Pool>()) {
    m_pool->serial = poolSerial.fetchAndAddRelaxed(1);
}

KDb::~KDb() {
    std::lock_guard<std::mutex> lock(m_pool->mutex);
    for (const QString& name : m_pool->idle)
        closeConnection(name);
    m_pool->idle.clear();
    m_pool->initialized = false;
}

bool KDb::initMySQL(const QString& hostName, const QString& userName, const QString& password,
                    const QString& databaseName, unsigned int port, const QString& options) {
    std::lock_guard<std::mutex> lock(m_pool->mutex);
    for (const QString& name : m_pool->idle)
        closeConnection(name);
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
    return static_cast<int>(m_pool->idle.size());
}

KDbConnectionPtr KDb::getTemporaryConnection() {
    QString name;
    QSqlDatabase db;
    {
        std::lock_guard<std::mutex> lock(m_pool->mutex);
        if (!m_pool->initialized)
            return KDbConnectionPtr();
        if (!m_pool->idle.empty()) {
            name = m_pool->idle.back();
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
        new KDbConnection(db, name), [weakPool](KDbConnection* c) {
            const QString connectionName = c->name();
            const bool reusable = c->databaseRef().isOpen();
            delete c;
            std::shared_ptr<Pool> pool = weakPool.lock();
            if (pool) {
                std::lock_guard<std::mutex> lock(pool->mutex);
                if (pool->initialized && reusable &&
                    static_cast<int>(pool->idle.size()) < KDb::MaxIdle) {
                    pool->idle.push_back(connectionName);
                    return;
                }
            }
            closeConnection(connectionName);
        });
    return KDbConnectionPtr(connection);
}
