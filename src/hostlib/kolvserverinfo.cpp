#include <kolv/kolvserverinfo.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

KolvServerInfo::KolvServerInfo() : m_dbType(QStringLiteral("SQLITE")) {}

QString KolvServerInfo::settingsPath(const QString& root) {
    return QDir(root).filePath(QStringLiteral("etc/trel.ini"));
}

bool KolvServerInfo::isMySQL() const {
    return m_dbType == QLatin1String("QMYSQL") || m_dbType == QLatin1String("DRIZZLE") ||
           m_dbType == QLatin1String("MYSQL");
}

namespace {

// A setting as text. QSettings reads an unquoted value with commas as a list, whose
// toString() is empty: a hand-written "password=a,b" must not become no password.
QString textValue(const QSettings& settings, const QString& key,
                  const QVariant& fallback = QVariant()) {
    const QVariant value = settings.value(key, fallback);
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

} // namespace

bool KolvServerInfo::load(const QString& root, QString* error) {
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    const QString path = settingsPath(root);
    QFileInfo info(path);
    if (!info.exists())
        return fail(QStringLiteral("no settings file %1").arg(path));
    if (!info.isReadable())
        return fail(QStringLiteral("settings file %1 is not readable").arg(path));

    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError)
        return fail(QStringLiteral("settings file %1 is not a valid INI file").arg(path));

    KolvServerInfo loaded;
    loaded.m_root = root;
    settings.beginGroup(QStringLiteral("database"));
    if (!settings.contains(QStringLiteral("type")))
        return fail(
            QStringLiteral("settings file %1 names no database type ([database] type=)").arg(path));
    loaded.m_dbType = textValue(settings, QStringLiteral("type")).trimmed();
    if (loaded.m_dbType.isEmpty())
        return fail(QStringLiteral("settings file %1 has an empty database type").arg(path));
    loaded.m_dbHostName = textValue(settings, QStringLiteral("host"));
    const QString port = textValue(settings, QStringLiteral("port"), QStringLiteral("0"));
    bool ok = false;
    loaded.m_dbPort = port.toInt(&ok);
    if (!ok || loaded.m_dbPort < 0 || loaded.m_dbPort > 65535)
        return fail(QStringLiteral("settings file %1 has an invalid port '%2'").arg(path, port));
    loaded.m_dbSocket = textValue(settings, QStringLiteral("socket"));
    // Qt's connect options are separated by ';'.
    if (loaded.m_dbSocket.contains(QLatin1Char(';')))
        return fail(
            QStringLiteral("settings file %1 names a socket with ';' in its path").arg(path));
    loaded.m_dbName = textValue(settings, QStringLiteral("name"));
    loaded.m_dbUsername = textValue(settings, QStringLiteral("user"));
    loaded.m_dbPassword = textValue(settings, QStringLiteral("password"));
    const QString passwordFile = textValue(settings, QStringLiteral("password_file"));
    if (!passwordFile.isEmpty()) {
        QFile file(QDir(root).absoluteFilePath(passwordFile));
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read the password file %1: %2")
                            .arg(file.fileName(), file.errorString()));
        loaded.m_dbPassword = QString::fromUtf8(file.readAll()).trimmed();
    }
    settings.endGroup();
    // QSettings parses a group when it is first read: a malformed line shows only now.
    if (settings.status() != QSettings::NoError)
        return fail(QStringLiteral("settings file %1 is not a valid INI file").arg(path));
    *this = loaded;
    return true;
}
