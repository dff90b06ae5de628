#ifndef KOLV_KDBCONNECTION_H
#define KOLV_KDBCONNECTION_H

#include <kolv/kolv_export.h>

#include <QSqlDatabase>
#include <QString>

// One pooled database connection. Reached through a KDbConnectionPtr; it returns to
// its pool when the last pointer to it goes.
class KOLV_EXPORT KDbConnection {
public:
    KDbConnection(const QSqlDatabase& database, const QString& name);
    ~KDbConnection();
    KDbConnection(const KDbConnection&) = delete;
    KDbConnection& operator=(const KDbConnection&) = delete;

    // The open handle, valid while a KDbConnectionPtr to this connection is held.
    QSqlDatabase& databaseRef() { return m_database; }
    QSqlDatabase getDatabase() const { return m_database; }
    const QString& name() const { return m_name; }

private:
    QSqlDatabase m_database;
    QString m_name;
};

#endif
