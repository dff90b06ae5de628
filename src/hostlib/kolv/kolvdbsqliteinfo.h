#ifndef KOLV_KOLVDBSQLITEINFO_H
#define KOLV_KOLVDBSQLITEINFO_H

#include <kolv/kolv_export.h>

#include <QSqlDatabase>
#include <QString>

// The SQLite registry of an installation: which file each daemon's database lives
// in, and named Qt connections opened on them. The diagnostics database (daemon type
// 8) is <root>/data/trel.db.
//
// Connections are opened with a busy timeout (QSQLITE_BUSY_TIMEOUT) and the file is
// kept in WAL journal mode, so that readers never block a writer's commit. A file
// that does not exist is not created: its handle is returned unopened and its first
// statement fails.
//
// No handle of the registry crosses a fork: each one it opened is closed just before
// the process forks (named connections are opened again in the parent), and the child
// opens its own on first use. A handle copied from a named connection is therefore
// closed in the child until connection() is called there again.
class KOLV_EXPORT KolvDbSQliteInfo {
public:
    enum DAEMON_TYPE { DAEMON_TREL = 8 };

    static KolvDbSQliteInfo get(const QString& root);

    // The database file that a daemon type uses; empty for an unknown type.
    QString databasePath(DAEMON_TYPE type) const;

    // An open handle for the Qt connection `name` on the daemon's database. An existing
    // connection of that name on the same file is reused (opened again if it was
    // closed); one on another file is replaced. The caller removes the connection
    // (QSqlDatabase::removeDatabase).
    QSqlDatabase connection(DAEMON_TYPE type, const QString& name) const;

    // Busy timeout, in milliseconds, of connections opened from now on (default 2000).
    static void setBusyTimeout(int milliseconds);
    static int busyTimeout();

    const QString& root() const { return m_root; }

private:
    explicit KolvDbSQliteInfo(const QString& root);
    QString m_root;
};

#endif
