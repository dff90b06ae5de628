#ifndef KOLV_KOLVINSTALLATIONWATCH_H
#define KOLV_KOLVINSTALLATIONWATCH_H

#include <kolv/kolv_export.h>

#include <QByteArray>
#include <QString>

#include <array>

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
// A look is three stat() calls and touches nothing else.
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
    enum { Settings, Stamp, Database, Files };
    std::array<QByteArray, Files> m_paths;
    std::array<FileState, Files> m_seen;
    bool m_looked = false;
};

#endif
