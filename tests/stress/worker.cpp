// worker ROOT N SEED MANIFEST [--interval MS] [--busy-timeout MS] [--stop-file FILE]
//                             [--max-seconds S] [--require-written]
// Writes N requests through the collector, as one PHP worker process of a web server
// does, and keeps the manifest of what it began, wrote and saw fail. N is an upper
// bound when the stop file appears or the seconds run out first. With
// --require-written, a failed write makes the exit status 1.

#include "collectorsession.h"
#include "logtap.h"
#include "manifest.h"
#include "modes.h"
#include "options.h"
#include "requestplan.h"

#include <QFileInfo>

#include <cstdio>

int runWorker(const QStringList& args) {
    const Options options(args, {QStringLiteral("require-written")});
    const QStringList& p = options.positionals();
    bool okN = false, okSeed = false;
    const int count = p.value(1).toInt(&okN);
    const quint64 seed = p.value(2).toULongLong(&okSeed);
    if (!options.ok() || p.size() != 4 || !okN || !okSeed ||
        !stress::validTag(stress::tagOf(p.at(3)))) {
        std::fprintf(stderr, "usage: trel_stress worker ROOT N SEED MANIFEST [--interval MS] "
                             "[--busy-timeout MS] [--stop-file FILE]\n"
                             "       [--max-seconds S] [--require-written]\n"
                             "  MANIFEST's base name (letters, digits, '-', '_') tags the "
                             "requests\n");
        return 2;
    }
    const QString tag = stress::tagOf(p.at(3));
    const int interval = options.number(QStringLiteral("interval"), 0);
    const QString stopFile = options.value(QStringLiteral("stop-file"));
    const int maxSeconds = options.number(QStringLiteral("max-seconds"), 0);

    ManifestWriter manifest(p.at(3));
    if (!manifest.isOpen()) {
        std::fprintf(stderr, "trel_stress worker: cannot write %s\n", qPrintable(p.at(3)));
        return 1;
    }
    LogTap tap(KDebug::StreamId(CollectorSession::Stream), 3);
    CollectorSession session;
    QString error;
    if (!session.start(p.at(0), options.number(QStringLiteral("busy-timeout"), -1), &error)) {
        std::fprintf(stderr, "trel_stress worker: %s\n", qPrintable(error));
        return 1;
    }
    KTrel* trel = session.trel();
    tap.take();

    const qint64 end = stress::nowMs() + maxSeconds * 1000LL;
    int written = 0, failed = 0, otherErrors = 0, loggedTwice = 0;
    // Requests the writer wrote again after the server ended their transaction, and the
    // most attempts one request took.
    int rewrites = 0, mostAttempts = 1;
    qint64 slowest = 0;
    for (int index = 0; index < count; ++index) {
        if ((!stopFile.isEmpty() && QFileInfo::exists(stopFile)) ||
            (maxSeconds > 0 && stress::nowMs() >= end))
            break;
        const RequestPlan plan(tag, seed, index);
        trel->reset();
        plan.collect(trel);
        manifest.begin(tag, seed, index, plan.counts);

        const qint64 start = stress::nowMs();
        trel->write();
        const qint64 ms = stress::nowMs() - start;
        slowest = qMax(slowest, ms);

        const QList<LogTap::Line> lines = tap.take();
        const int writeLines = LogTap::count(lines, 0, QStringLiteral("KTrel::write:"));
        const int again = LogTap::count(
            lines, 3, QStringLiteral("Trel: the server ended the request's transaction"));
        rewrites += again;
        mostAttempts = qMax(mostAttempts, again + 1);
        otherErrors += LogTap::count(lines, 0, QString()) - writeLines;
        if (writeLines == 0) {
            manifest.written(plan.key, trel->getRequestId(), ms);
            ++written;
        } else {
            manifest.failed(plan.key, writeLines, ms,
                            LogTap::first(lines, 0, QStringLiteral("KTrel::write:")));
            ++failed;
            loggedTwice += writeLines > 1 ? 1 : 0;
        }
        if (interval > 0)
            stress::sleepMs(interval);
    }
    stress::print(QStringLiteral("worker %1: written %2, failed %3, other level-0 lines %4, "
                                 "slowest write %5 ms, rewrites %6, most attempts %7\n")
                      .arg(tag)
                      .arg(written)
                      .arg(failed)
                      .arg(otherErrors)
                      .arg(slowest)
                      .arg(rewrites)
                      .arg(mostAttempts));
    if (options.has(QStringLiteral("require-written")) && failed > 0)
        return 1;
    return loggedTwice == 0 ? 0 : 1;
}
