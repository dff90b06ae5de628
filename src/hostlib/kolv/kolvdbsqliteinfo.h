#ifndef KOLV_KOLVDBSQLITEINFO_H
#define KOLV_KOLVDBSQLITEINFO_H

#include <kolv/kolv_export.h>

#include <QSqlDatabase>
#include <QString>

// The SQLite registry of an installation: which file each daemon's database lives
// in, and named Qt connections opened on them. The diagnostics database (daemon type
// 8) is <root>/data/trel.db.
//
// A named connection stays open between calls: connection() hands out the same open
// handle until the process forks, or the file at the path is no longer the one it
// opened (removed, or replaced by another file: another device or inode), or the
// file's schema changed since (SQLite's schema_version), and then opens it anew. Connections are
// opened with a busy timeout (QSQLITE_BUSY_TIMEOUT) and the file is kept in WAL journal mode, so
// that readers never block a writer's commit. A file that does not exist is not created: its handle
// is returned unopened and its first statement fails.
//
// No handle of the registry crosses a fork: each one it opened is closed just before
// the process forks (named connections are opened again in the parent), and the child
// opens its own on first use. A handle copied from a named connection is therefore
// closed in the child until connection() is called there again. Should a process still
// find a handle open that another process opened, it leaves it untouched and opens one
// of its own.
class KOLV_EXPORT KolvDbSQliteInfo {
public:
    enum DAEMON_TYPE { DAEMON_TREL = 8 };

    static KolvDbSQliteInfo get(const QString& root);

    // The database file that a daemon type uses; empty for an unknown type.
    QString databasePath(DAEMON_TYPE type) const;

    // An open handle for the connection `name` on the daemon's database, opened once
    // and kept (see above); `opened` tells whether this call opened it. The handle's
    // Qt connection name is `name`, unless an inherited handle had to be left alone.
    // The connection stays until release().
    QSqlDatabase connection(DAEMON_TYPE type, const QString& name, bool* opened = nullptr) const;
    // True when the file that `db` (a handle of connection()) has open is no longer the
    // file at its path: whatever is written through it from then on is lost.
    static bool isReplaced(const QSqlDatabase& db);
    // The file that `db` opened ("device:inode"); empty when it is not open.
    static QString fileIdentity(const QSqlDatabase& db);
    // Closes and removes the connection `name` (an inherited one is only forgotten).
    static void release(const QString& name);
    // Counts the registry's opens and closes of its connections in this process: what
    // was prepared on a connection is valid only while the count stays the same.
    static quint64 opensAndCloses();

    // Busy timeout, in milliseconds, of connections opened from now on (default 2000).
    static void setBusyTimeout(int milliseconds);
    static int busyTimeout();

    const QString& root() const { return m_root; }

private:
    explicit KolvDbSQliteInfo(const QString& root);
    QString m_root;
};

#endif
