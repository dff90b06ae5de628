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
        return fail(QStringLiteral("settings file %1 names no database type ([database] type=)")
                        .arg(path));
    loaded.m_dbType = settings.value(QStringLiteral("type")).toString().trimmed();
    if (loaded.m_dbType.isEmpty())
        return fail(QStringLiteral("settings file %1 has an empty database type").arg(path));
    loaded.m_dbHostName = settings.value(QStringLiteral("host")).toString();
    const QString port = settings.value(QStringLiteral("port"), QStringLiteral("0")).toString();
    bool ok = false;
    loaded.m_dbPort = port.toInt(&ok);
    if (!ok || loaded.m_dbPort < 0 || loaded.m_dbPort > 65535)
        return fail(QStringLiteral("settings file %1 has an invalid port '%2'").arg(path, port));
    loaded.m_dbName = settings.value(QStringLiteral("name")).toString();
    loaded.m_dbUsername = settings.value(QStringLiteral("user")).toString();
    loaded.m_dbPassword = settings.value(QStringLiteral("password")).toString();
    const QString passwordFile = settings.value(QStringLiteral("password_file")).toString();
    if (!passwordFile.isEmpty()) {
        QFile file(QDir(root).absoluteFilePath(passwordFile));
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read the password file %1: %2")
                            .arg(file.fileName(), file.errorString()));
        loaded.m_dbPassword = QString::fromUtf8(file.readAll()).trimmed();
    }
    settings.endGroup();
    *this = loaded;
    return true;
}
