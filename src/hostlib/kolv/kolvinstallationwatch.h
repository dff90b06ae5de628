#ifndef KOLV_KOLVINSTALLATIONWATCH_H
#define KOLV_KOLVINSTALLATIONWATCH_H

#include <kolv/kolv_export.h>

#include <QByteArray>
#include <QSqlDatabase>
#include <QString>

#include <array>
#include <memory>

class KDb;

// Tells a long-lived process that its installation changed since it read it: the
// settings (<root>/etc/trel.ini), the change stamp (<root>/data/trel.stamp) or the
// SQLite database (<root>/data/trel.db). What a process reads once, such as the
// user-agent patterns, lives in the database, where a change shows in no file; so every
// program that changes such a thing writes the stamp afresh with markChanged(), and
// `touch <root>/data/trel.stamp` does the same by hand. The settings and the stamp count
// as changed when their identity (device and inode), size or times changed, or when one
// appeared or went; the database only when it was removed or replaced (every write
// changes its times). A replaced folder (`trel init --force` moves a new one in) gives
// new files throughout.
//
// An installation on a MariaDB/MySQL server may be shared by several web servers, each
// with its own root: a change made with the tool on one of them shows in no file of the
// others. Such a database holds the installation's generation (the one row of
// trel_generation), which the tool raises in the transaction of its change; a look also
// reads it (one primary-key read on a connection of the watch's own) and a generation
// other than the one seen before counts as a change, as does one that can be read again
// after it could not (the database was down, or lacked the table). A SQLite installation
// is one server's own and is followed by its files alone.
//
// A look at a SQLite installation is three stat() calls and touches nothing else. A
// database that does not answer is given one second (and as much again for a new
// connection when the one kept from the look before fails); after a failure the generation is
// not asked for again for RetryAfterFailureMs, so that requests are not held up by it,
// and the failure is logged once (at level 0, and at level 1 when it answers again).
class KOLV_EXPORT KolvInstallationWatch {
public:
    KolvInstallationWatch() = default;
    explicit KolvInstallationWatch(const QString& root);

    // Looks at the files and keeps what it saw. True when that differs from the look
    // before; the first look after construction only records.
    bool changed();

    static QString stampPath(const QString& root);
    // Writes the stamp afresh (a new file moved in place), with `what` changed and when
    // in it for whoever reads it. False, with the reason in *error, when it cannot be
    // written.
    static bool markChanged(const QString& root, const QString& what, QString* error);
    // Raises the generation of the installation in the MariaDB/MySQL database open on
    // `db`, inside the caller's transaction when one is open, so that the change it
    // belongs to and the raise are seen together. False with the server's error in *error
    // (*missingTable true when the database has no trel_generation yet).
    static bool raiseGeneration(QSqlDatabase& db, QString* error, bool* missingTable);
    // The generation in the database open on `db`; -1 with the error in *error when it
    // cannot be read.
    static qint64 generation(QSqlDatabase& db, QString* error, bool* missingTable);

    static constexpr qint64 RetryAfterFailureMs = 30000;

    struct FileState {
        bool exists = false;
        quint64 device = 0;
        quint64 inode = 0;
        qint64 size = 0;
        qint64 modifiedNs = 0;
        qint64 changedNs = 0;
        bool operator==(const FileState& other) const;
    };

private:
    enum class Generation { Unread, Known, Missing, Unavailable };
    // Reads the generation unless a failure a short while ago says to wait; true when it
    // differs from the one seen before.
    bool generationChanged();

    enum { Settings, Stamp, Database, Files };
    std::array<QByteArray, Files> m_paths;
    std::array<FileState, Files> m_seen;
    bool m_looked = false;

    QString m_root;
    // The connection to a MariaDB/MySQL installation's server; null for SQLite.
    std::shared_ptr<KDb> m_server;
    Generation m_state = Generation::Unread;
    qint64 m_generation = -1;
    qint64 m_retryAtMs = 0;
};

#endif
