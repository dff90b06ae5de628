#ifndef TREL_STRESS_MANIFEST_H
#define TREL_STRESS_MANIFEST_H

#include "requestplan.h"

#include <QList>
#include <QString>

// A worker's account of its requests, one line per event, each written with a single
// write(2) as soon as it happens, so that a worker killed at any moment leaves an honest
// record: a "begin" line before write() is called, then "written" or "failed" after it
// returned. A request with a "begin" line only was in flight when its worker died.
//
//   begin TAG SEED INDEX q30 e4 f200 v8 s6 b32
//   written KEY REQUEST_ID MILLISECONDS
//   failed KEY WRITE_LINES MILLISECONDS FIRST_LOG_LINE
class ManifestWriter {
public:
    explicit ManifestWriter(const QString& path);
    ~ManifestWriter();
    ManifestWriter(const ManifestWriter&) = delete;
    ManifestWriter& operator=(const ManifestWriter&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    void begin(const QString& tag, quint64 seed, int index, const RequestPlan::Counts& counts);
    void written(const QString& key, qint64 requestId, qint64 ms);
    void failed(const QString& key, int writeLines, qint64 ms, const QString& firstLine);

private:
    void line(const QString& text);
    int m_fd = -1;
};

struct ManifestEntry {
    enum State { Unfinished, Written, Failed };
    QString key;
    QString tag;
    quint64 seed = 0;
    int index = 0;
    RequestPlan::Counts counts;
    State state = Unfinished;
    qint64 requestId = -1;
    int writeLines = 0; // "KTrel::write:" lines logged for a failed request
    qint64 ms = 0;
    QString message;
    QString file;
};

// Reads manifests; a last line without its newline (cut by a kill) is ignored.
class Manifest {
public:
    bool load(const QString& path, QString* error);
    const QList<ManifestEntry>& entries() const { return m_entries; }

private:
    QList<ManifestEntry> m_entries;
};

#endif
