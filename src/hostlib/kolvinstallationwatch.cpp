#include <kolv/kolvinstallationwatch.h>

#include <kolv/kdb.h>
#include <kolv/kdebug.h>
#include <kolv/kolvdbsqliteinfo.h>
#include <kolv/kolvserverinfo.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <sys/stat.h>
#include <time.h>

namespace {

// A server that does not answer holds the request that looks for at most a second (two
// when the kept connection fails and a new one is tried).
const char* const GenerationTimeouts =
    "MYSQL_OPT_CONNECT_TIMEOUT=1;MYSQL_OPT_READ_TIMEOUT=1;MYSQL_OPT_WRITE_TIMEOUT=1";

qint64 coarseMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<qint64>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool isMissingTable(const QSqlError& error) {
    return error.nativeErrorCode() == QLatin1String("1146");
}

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

KolvInstallationWatch::KolvInstallationWatch(const QString& root) : m_root(root) {
    if (root.isEmpty())
        return;
    m_paths[Settings] = QFile::encodeName(KolvServerInfo::settingsPath(root));
    m_paths[Stamp] = QFile::encodeName(stampPath(root));
    m_paths[Database] =
        QFile::encodeName(KolvDbSQliteInfo::get(root).databasePath(KolvDbSQliteInfo::DAEMON_TREL));
    KolvServerInfo info;
    if (!info.load(root) || !info.isMySQL())
        return;
    QString options = QLatin1String(GenerationTimeouts);
    if (!info.getDbSocket().isEmpty())
        options += QStringLiteral(";UNIX_SOCKET=") + info.getDbSocket();
    m_server = std::make_shared<KDb>();
    // The client takes the socket only for the host "localhost".
    m_server->initMySQL(info.getDbSocket().isEmpty() ? info.getDbHostName()
                                                     : QStringLiteral("localhost"),
                        info.getDbUsername(), info.getDbPassword(), info.getDbName(),
                        static_cast<unsigned int>(qMax(0, info.getDbPort())), options);
}

bool KolvInstallationWatch::changed() {
    bool differs = false;
    for (int i = 0; i < Files; ++i) {
        const FileState now = look(m_paths[i], i != Database);
        differs = differs || !(now == m_seen[i]);
        m_seen[i] = now;
    }
    if (m_server && generationChanged())
        differs = true;
    const bool first = !m_looked;
    m_looked = true;
    return differs && !first;
}

bool KolvInstallationWatch::generationChanged() {
    const qint64 now = coarseMs();
    if (m_state == Generation::Unavailable && now < m_retryAtMs)
        return false;
    QString error;
    bool missing = false;
    qint64 value = -1;
    // The connection kept from the look before may have been dropped by the server
    // meanwhile (a restart): then one new connection is tried at once.
    for (int attempt = 0; attempt < 2 && value < 0 && !missing; ++attempt) {
        const bool kept = m_server->idleCount() > 0;
        KDbConnectionPtr connection = m_server->getTemporaryConnection();
        if (!connection) {
            error = QStringLiteral("the QMYSQL driver is not available");
            break;
        }
        if (!connection->databaseRef().isOpen()) {
            error = connection->databaseRef().lastError().text().simplified();
            break;
        }
        value = generation(connection->databaseRef(), &error, &missing);
        if (value < 0 && !missing)
            connection->databaseRef().close();
        if (!kept)
            break;
    }
    const Generation state = value >= 0 ? Generation::Known
                             : missing  ? Generation::Missing
                                        : Generation::Unavailable;
    if (state == Generation::Unavailable) {
        m_retryAtMs = now + RetryAfterFailureMs;
        if (m_state != Generation::Unavailable)
            KDebug::create(KDebug::StreamId(), 0)
                << "trel: cannot read the generation of the installation at"
                << m_root + QLatin1Char(':') << error
                << "- a change made on another web server is noticed once the database"
                << "answers; asked again every" << RetryAfterFailureMs / 1000 << "s" << kflush;
    } else if (state == Generation::Missing && m_state != Generation::Missing) {
        KDebug::create(KDebug::StreamId(), 0)
            << "trel: the database of the installation at" << m_root
            << "lacks trel_generation: a change made with trel on another web server is noticed "
               "only after a restart; `trel init"
            << m_root + QStringLiteral("` adds it") << kflush;
    } else if (state == Generation::Known && m_state == Generation::Unavailable &&
               KDebug::getDebugLevel(KDebug::StreamId()) >= 1) {
        KDebug::create(KDebug::StreamId(), 1)
            << "trel: the generation of the installation at" << m_root << "is read again" << kflush;
    }
    // What changed while it could not be read is not known: it is read again.
    const bool changed =
        state == Generation::Known &&
        (m_state == Generation::Known ? value != m_generation : m_state != Generation::Unread);
    m_state = state;
    if (state == Generation::Known)
        m_generation = value;
    return changed;
}

bool KolvInstallationWatch::raiseGeneration(QSqlDatabase& db, QString* error, bool* missingTable) {
    QSqlQuery query(db);
    // The row is made by the first raise where the schema did not make it.
    if (query.exec(QStringLiteral("INSERT INTO trel_generation (id, generation) VALUES (1, 1) "
                                  "ON DUPLICATE KEY UPDATE generation = generation + 1"))) {
        if (missingTable)
            *missingTable = false;
        return true;
    }
    if (error)
        *error = query.lastError().text().simplified();
    if (missingTable)
        *missingTable = isMissingTable(query.lastError());
    return false;
}

qint64 KolvInstallationWatch::generation(QSqlDatabase& db, QString* error, bool* missingTable) {
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (missingTable)
        *missingTable = false;
    if (query.exec(QStringLiteral("SELECT generation FROM trel_generation WHERE id = 1")))
        return query.next() ? query.value(0).toLongLong() : 0;
    if (error)
        *error = query.lastError().text().simplified();
    if (missingTable)
        *missingTable = isMissingTable(query.lastError());
    return -1;
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
