#ifndef KOLV_KDB_H
#define KOLV_KDB_H

#include <kolv/kdbconnectionptr.h>
#include <kolv/kolv_export.h>

#include <QString>

#include <memory>

// A MySQL connection pool on Qt's QMYSQL driver. Unconfigured until initMySQL();
// getTemporaryConnection() then hands out an open connection, reusing idle ones.
// A connection that could not be opened is handed out all the same: its first
// statement fails with the driver's error text.
//
// Connections belong to the process that opened them. A process forked from one that
// used the pool opens its own; the connections it inherited are neither used nor
// closed there (closing would end the parent's server session), only forgotten.
class KOLV_EXPORT KDb {
public:
    KDb();
    ~KDb();
    KDb(const KDb&) = delete;
    KDb& operator=(const KDb&) = delete;

    // Keeps the settings for the connections opened from now on. The last argument
    // holds the driver's connect options (QSqlDatabase::setConnectOptions), may be
    // empty. Returns false when Qt has no QMYSQL driver.
    bool initMySQL(const QString& hostName, const QString& userName, const QString& password,
                   const QString& databaseName, unsigned int port, const QString& options);
    bool isInitialized() const;
    bool isSqlite() const;

    // An open connection of the pool; an empty handle when the pool is not configured.
    KDbConnectionPtr getTemporaryConnection();

    // Idle connections the pool keeps at most; more are closed when handed back.
    static constexpr int MaxIdle = 4;
    // Idle connections that this process opened.
    int idleCount() const;

private:
    struct Pool;
    std::shared_ptr<Pool> m_pool;
};

#endif
