#ifndef TREL_KSQLBINARY_H
#define TREL_KSQLBINARY_H

#include <QByteArray>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QString>
#include <QVariant>

// Binary values (digests, sample bytes) in statements. With real prepared statements
// they are bound as bytes. When Qt's MySQL driver emulates prepares (the server or a
// proxy refused "SELECT ?" when the connection opened), it writes bound bytes into the
// statement text through a UTF-8 conversion that replaces every invalid sequence: a
// 20-byte digest grows past its BINARY(20) column ("Data too long") or changes. Then the
// value is bound as hexadecimal text that the statement turns back into bytes.
namespace KSqlBinary {

inline bool emulated(const QSqlDatabase& database) {
    return database.driverName() == QLatin1String("QMYSQL") &&
           !database.driver()->hasFeature(QSqlDriver::PreparedQueries);
}

// The placeholder `name` (":x") as the statement text must write it.
inline QString placeholder(const QSqlDatabase& database, const QString& name) {
    return emulated(database) ? QStringLiteral("UNHEX(%1)").arg(name) : name;
}

inline QVariant value(const QSqlDatabase& database, const QByteArray& bytes) {
    return emulated(database) ? QVariant(QString::fromLatin1(bytes.toHex())) : QVariant(bytes);
}

} // namespace KSqlBinary

#endif
