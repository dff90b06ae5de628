#ifndef TREL_STRESS_MODES_H
#define TREL_STRESS_MODES_H

#include <QString>
#include <QStringList>

// The modes of trel_stress; each returns the process's exit status (0 passed, 1 a
// violation or failure, 2 bad arguments).
int runWorker(const QStringList& args);
int runReader(const QStringList& args);
int runCleaner(const QStringList& args);
int runCrash(const QStringList& args);
int runLocked(const QStringList& args);
int runCheck(const QStringList& args);

// Helpers shared by the modes.
namespace stress {
// The manifest's base name, which tags the requests a worker writes.
QString tagOf(const QString& manifestPath);
bool validTag(const QString& tag);
// Milliseconds since an arbitrary start, monotonic.
qint64 nowMs();
void sleepMs(int ms);
void print(const QString& text);
} // namespace stress

#endif
