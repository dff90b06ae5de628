#include <kolv/kdbconnection.h>

KDbConnection::KDbConnection(const QSqlDatabase& database, const QString& name)
    : m_database(database), m_name(name) {}

KDbConnection::~KDbConnection() = default;
