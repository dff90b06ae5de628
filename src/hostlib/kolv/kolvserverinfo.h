#ifndef KOLV_KOLVSERVERINFO_H
#define KOLV_KOLVSERVERINFO_H

#include <kolv/kolv_export.h>

#include <QString>

// The installation's settings: its root folder and the database it uses. A host
// loads them from <root>/etc/trel.ini:
//
//   [database]
//   type=SQLITE            ; or QMYSQL (also DRIZZLE, MYSQL)
//   host=127.0.0.1
//   port=3306
//   socket=/run/mysqld/mysqld.sock ; instead of host and port: a local server's socket
//   name=trel
//   user=trel
//   password=...           ; or password_file=<path>, relative to the root
//
// Values follow QSettings' INI rules: quote a value that holds ';' or blanks at its ends,
// and write '\' and '"' as "\\" and "\"" (QSettings writes them so). An unquoted value
// with commas keeps them, though not the blanks around them.
class KOLV_EXPORT KolvServerInfo {
public:
    KolvServerInfo();

    // Reads <root>/etc/trel.ini. Returns false, with a one-line reason in *error,
    // when the file is missing or unreadable or a value is malformed; *this is then
    // unchanged.
    bool load(const QString& root, QString* error = nullptr);
    static QString settingsPath(const QString& root);

    const QString& getRoot() const { return m_root; }
    QString getDbType() const { return m_dbType; }
    QString getDbHostName() const { return m_dbHostName; }
    int getDbPort() const { return m_dbPort; }
    QString getDbName() const { return m_dbName; }
    QString getDbUsername() const { return m_dbUsername; }
    QString getDbPassword() const { return m_dbPassword; }
    // The server's unix socket; empty for TCP to host and port.
    QString getDbSocket() const { return m_dbSocket; }

    void setRoot(const QString& root) { m_root = root; }
    void setDbType(const QString& type) { m_dbType = type; }
    void setDbHostName(const QString& host) { m_dbHostName = host; }
    void setDbPort(int port) { m_dbPort = port; }
    void setDbName(const QString& name) { m_dbName = name; }
    void setDbUsername(const QString& user) { m_dbUsername = user; }
    void setDbPassword(const QString& password) { m_dbPassword = password; }
    void setDbSocket(const QString& socket) { m_dbSocket = socket; }

    // True when the type names the MySQL pool, as the collector decides it.
    bool isMySQL() const;

private:
    QString m_root;
    QString m_dbType;
    QString m_dbHostName;
    int m_dbPort = 0;
    QString m_dbName;
    QString m_dbUsername;
    QString m_dbPassword;
    QString m_dbSocket;
};

#endif
