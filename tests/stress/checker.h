#ifndef TREL_STRESS_CHECKER_H
#define TREL_STRESS_CHECKER_H

#include "manifest.h"
#include "requestplan.h"
#include "stressdb.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

// Compares a database after a stress run with the workers' manifests (and the cleaners'
// logs), and counts what it finds. A request that a worker counted as written is there
// and complete, or was deleted by a cleanup; one that failed is absent from every
// table; one whose worker was killed in write() is complete or absent; nothing is
// partial, duplicated, unknown or orphaned; the database passes its integrity check;
// the texts of every stored request read back equal to what was collected.
class Checker {
public:
    struct Figures {
        int begun = 0, written = 0, writtenPresent = 0, removedByCleanup = 0, failed = 0,
            unfinished = 0, unfinishedCommitted = 0, unfinishedRolledBack = 0;
        int lost = 0, partial = 0, failedStored = 0, commitLostStored = 0, notLoggedOnce = 0,
            duplicated = 0, unknown = 0, wrongId = 0, textMismatches = 0;
        qint64 orphanRows = 0, danglingBacktraces = 0, orphanBacktraces = 0, sharedBacktraces = 0;
        int cleanups = 0, cleanupsFailed = 0;
        qint64 cleanupDeleted = 0;
        qint64 textsVerified = 0;
        int requestsTextChecked = 0;
        bool integrityOk = false;
        qint64 slowestWriteMs = 0;
    };

    bool loadManifest(const QString& path, QString* error);
    bool loadCleanerLog(const QString& path, QString* error);
    // Reads the database and compares; false only when it cannot be read at all.
    bool run(StressDb& db, QString* error);

    const Figures& figures() const { return m_figures; }
    int violations() const { return m_violations.size(); }
    const QStringList& violationTexts() const { return m_violations; }
    const QList<ManifestEntry>& entries() const { return m_entries; }

private:
    struct StoredRequest {
        qint64 id = 0;
        QString pageId;
        qint64 dataSize = -1;
        QString method;
        QString url;
    };

    void violation(const QString& text);
    bool checkIntegrity(StressDb& db, QString* error);
    bool readTables(StressDb& db, QString* error);
    // The rows a stored request has in every section, and its stored backtraces.
    RequestPlan::Counts storedCounts(qint64 id) const;
    bool isComplete(const StoredRequest& row, const ManifestEntry& entry, QString* why) const;
    void verifyTexts(StressDb& db, const StoredRequest& row, const ManifestEntry& entry);
    void compare(const QString& what, const ManifestEntry& entry, const QVariant& stored,
                 const QVariant& expected);

    QList<ManifestEntry> m_entries;
    QHash<QString, int> m_entryByKey;
    bool m_haveCleaners = false;
    qint64 m_ceiling = 0;

    QHash<QString, QList<StoredRequest>> m_requestsByKey;
    QSet<qint64> m_requestIds;
    QHash<QString, QHash<qint64, int>> m_rowsPerTable;
    QHash<qint64, int> m_backtraceRefs; // references to existing backtraces, per request
    QHash<qint64, int> m_danglingRefs;

    Figures m_figures;
    QStringList m_violations;
};

#endif
