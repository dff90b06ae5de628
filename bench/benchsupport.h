#ifndef TREL_BENCH_BENCHSUPPORT_H
#define TREL_BENCH_BENCHSUPPORT_H

// What the benchmarks share: installations to measure on, the count of given-up writes,
// and the timed write loop.

#include <trel/trel.h>

#include <benchmark/benchmark.h>

#include <QString>
#include <QTemporaryDir>

// True in the test command's short run (TREL_BENCH_SHORT=1).
bool shortRun();

// Counts the requests that write() gave up on: each logs one "KTrel::write:" line.
// Owns the log sink while it lives.
struct FailureCounter {
    int failures = 0;
    FailureCounter();
    ~FailureCounter();
    FailureCounter(const FailureCounter&) = delete;
    FailureCounter& operator=(const FailureCounter&) = delete;
};

// A SQLite installation in a temporary folder; `ok` false (and a line on stderr) when it
// could not be made.
struct SqliteInstall {
    QTemporaryDir dir;
    KolvServerInfo info;
    bool ok = false;
    SqliteInstall();
};

// The test MariaDB server's settings (TREL_TEST_MYSQL_*), without a database name.
KolvServerInfo testServerSettings();

// A database of its own on the test MariaDB server, dropped at the end; the installation
// reaches the server over TCP or through its unix socket.
struct MySqlInstall {
    QTemporaryDir dir;
    KolvServerInfo info;
    QString database;
    QString error;
    bool ok = false;
    explicit MySqlInstall(bool socket = false);
    ~MySqlInstall();
    bool adminExec(const QString& sql);
};

// The collector released and created again, initialized on `info`, logging level 0 only.
KTrel* freshCollector(const KolvServerInfo& info);

// Writes one reference request per iteration on a fresh collector; only write() is timed.
// Sets the "failed" counter and the items processed; the collector is released after.
void runWrites(benchmark::State& state, const KolvServerInfo& info);

#endif
