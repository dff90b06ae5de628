// crash ROOT ROUNDS WORKERS SEED DIR [--min-ms MS] [--max-ms MS] [--busy-timeout MS]
// Starts WORKERS workers (this program in its worker role) on ROOT, and kills each with
// SIGKILL at the first moment it is found in write() after its own random moment between
// --min-ms and --max-ms after the start (or a second later); ROUNDS times, the next round on the
// database the last one left. The workers' manifests are DIR/crash-rR-wW.manifest. A kill whose
// worker's manifest ends with a "begin" line came during write().

#include "manifest.h"
#include "modes.h"
#include "options.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Starts this program again with `arguments`; the child dies with its parent, so that
// no worker outlives an interrupted run.
pid_t spawnSelf(const QStringList& arguments) {
    QList<QByteArray> bytes;
    bytes << QFile::symLinkTarget(QStringLiteral("/proc/self/exe")).toLocal8Bit();
    for (const QString& a : arguments)
        bytes << a.toLocal8Bit();
    std::vector<char*> argv;
    for (QByteArray& b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(1);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// Whether the manifest's last whole line is a "begin": the worker is in write() or about to
// enter it. Reads the file's tail only; the manifest grows by the request.
bool inWrite(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    file.seek(qMax<qint64>(0, file.size() - 512));
    QByteArray tail = file.readAll();
    const int end = tail.lastIndexOf('\n');
    if (end < 0)
        return false;
    tail.truncate(end);
    return tail.mid(tail.lastIndexOf('\n') + 1).startsWith("begin ");
}

} // namespace

int runCrash(const QStringList& args) {
    const Options options(args, {});
    const QStringList& p = options.positionals();
    bool ok1 = false, ok2 = false, ok3 = false;
    const int rounds = p.value(1).toInt(&ok1);
    const int workers = p.value(2).toInt(&ok2);
    const quint64 seed = p.value(3).toULongLong(&ok3);
    const int minMs = options.number(QStringLiteral("min-ms"), 300);
    const int maxMs = options.number(QStringLiteral("max-ms"), 2000);
    if (!options.ok() || p.size() != 5 || !ok1 || !ok2 || !ok3 || rounds < 1 || workers < 1 ||
        minMs < 0 || maxMs < minMs) {
        std::fprintf(stderr, "usage: trel_stress crash ROOT ROUNDS WORKERS SEED DIR [--min-ms MS] "
                             "[--max-ms MS] [--busy-timeout MS]\n");
        return 2;
    }
    const QString root = p.at(0);
    const QDir dir(p.at(4));
    QRandomGenerator random(static_cast<quint32>(seed));

    int kills = 0, inFlight = 0, finishedEarly = 0, failedWorkers = 0;
    for (int round = 1; round <= rounds; ++round) {
        struct Worker {
            pid_t pid;
            QString manifest;
            qint64 killAt;
            bool killed;
        };
        std::vector<Worker> started;
        const qint64 start = stress::nowMs();
        for (int w = 1; w <= workers; ++w) {
            const QString manifest =
                dir.filePath(QStringLiteral("crash-r%1-w%2.manifest").arg(round).arg(w));
            QStringList arguments{QStringLiteral("worker"),
                                  root,
                                  QStringLiteral("100000"),
                                  QString::number(seed * 100 + round * 10 + w),
                                  manifest,
                                  QStringLiteral("--max-seconds"),
                                  QStringLiteral("120")};
            if (options.has(QStringLiteral("busy-timeout")))
                arguments << QStringLiteral("--busy-timeout")
                          << options.value(QStringLiteral("busy-timeout"));
            const pid_t pid = spawnSelf(arguments);
            if (pid <= 0) {
                std::fprintf(stderr, "crash: cannot start a worker\n");
                return 1;
            }
            started.push_back(
                Worker{pid, manifest, start + minMs + random.bounded(maxMs - minMs + 1), false});
        }
        std::sort(started.begin(), started.end(),
                  [](const Worker& a, const Worker& b) { return a.killAt < b.killAt; });
        for (Worker& worker : started) {
            while (stress::nowMs() < worker.killAt)
                stress::sleepMs(1);
            // From its moment on, the kill waits (up to a second) for the worker to be in
            // write(): a fast write is a small part of a worker's time, and a kill that
            // always lands between writes would test nothing.
            const qint64 giveUp = stress::nowMs() + 1000;
            while (!inWrite(worker.manifest) && stress::nowMs() < giveUp)
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            worker.killed = ::kill(worker.pid, SIGKILL) == 0;
        }
        for (Worker& worker : started) {
            int status = 0;
            ::waitpid(worker.pid, &status, 0);
            if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) {
                ++kills;
                Manifest manifest;
                QString error;
                if (!manifest.load(worker.manifest, &error)) {
                    std::fprintf(stderr, "crash: %s\n", qPrintable(error));
                    return 1;
                }
                if (!manifest.entries().isEmpty() &&
                    manifest.entries().last().state == ManifestEntry::Unfinished)
                    ++inFlight;
            } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
                ++finishedEarly;
            } else {
                ++failedWorkers;
                std::fprintf(stderr, "crash: worker of %s ended with status %d\n",
                             qPrintable(worker.manifest), status);
            }
        }
    }
    stress::print(QStringLiteral("crash: %1 rounds, %2 workers killed with SIGKILL, %3 of them "
                                 "inside write(), %4 finished before their kill\n")
                      .arg(rounds)
                      .arg(kills)
                      .arg(inFlight)
                      .arg(finishedEarly));
    return failedWorkers == 0 ? 0 : 1;
}
