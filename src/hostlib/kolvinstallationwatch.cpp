#include <kolv/kolvinstallationwatch.h>

#include <kolv/kolvdbsqliteinfo.h>
#include <kolv/kolvserverinfo.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <sys/stat.h>

namespace {

qint64 nanoseconds(const timespec& time) {
    return static_cast<qint64>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// `byContent`: the times and size count too; otherwise only which file is there.
KolvInstallationWatch::FileState look(const QByteArray& path, bool byContent) {
    KolvInstallationWatch::FileState state;
    struct stat st;
    if (path.isEmpty() || ::stat(path.constData(), &st) != 0)
        return state;
    state.exists = true;
    state.device = static_cast<quint64>(st.st_dev);
    state.inode = static_cast<quint64>(st.st_ino);
    if (byContent) {
        state.size = static_cast<qint64>(st.st_size);
        state.modifiedNs = nanoseconds(st.st_mtim);
        state.changedNs = nanoseconds(st.st_ctim);
    }
    return state;
}

} // namespace

bool KolvInstallationWatch::FileState::operator==(const FileState& other) const {
    return exists == other.exists && device == other.device && inode == other.inode &&
           size == other.size && modifiedNs == other.modifiedNs && changedNs == other.changedNs;
}

KolvInstallationWatch::KolvInstallationWatch(const QString& root) {
    if (root.isEmpty())
        return;
    m_paths[Settings] = QFile::encodeName(KolvServerInfo::settingsPath(root));
    m_paths[Stamp] = QFile::encodeName(stampPath(root));
    m_paths[Database] =
        QFile::encodeName(KolvDbSQliteInfo::get(root).databasePath(KolvDbSQliteInfo::DAEMON_TREL));
}

bool KolvInstallationWatch::changed() {
    bool differs = false;
    for (int i = 0; i < Files; ++i) {
        const FileState now = look(m_paths[i], i != Database);
        differs = differs || !(now == m_seen[i]);
        m_seen[i] = now;
    }
    const bool first = !m_looked;
    m_looked = true;
    return differs && !first;
}

QString KolvInstallationWatch::stampPath(const QString& root) {
    return QDir(root).filePath(QStringLiteral("data/trel.stamp"));
}

bool KolvInstallationWatch::markChanged(const QString& root, const QString& what, QString* error) {
    // A new file each time: its inode differs from the one it replaces, also where the
    // file system's times are coarse.
    QSaveFile file(stampPath(root));
    const QByteArray text =
        QStringLiteral("%1 at %2\n")
            .arg(what, QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs))
            .toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
        return false;
    }
    return true;
}
