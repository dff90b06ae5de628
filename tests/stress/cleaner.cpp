// cleaner ROOT SECONDS KEEP LOG [--stop-file FILE] [--busy-timeout MS] [--pause MS]
// Trims the database now and then through cleanupDb, as a host's maintenance does while
// workers write. Every cleanup is recorded in LOG: how many requests it deleted, and the
// highest request id right after it (no request it deleted can have a higher id), or
// its failure (it then rolled back and deleted nothing).
//
//   cleanup deleted N ceiling ID
//   cleanup failed MESSAGE

#include "collectorsession.h"
#include "logtap.h"
#include "manifest.h"
#include "modes.h"
#include "options.h"
#include "stressdb.h"

#include <kolv/kexception.h>

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QVariant>

#include <cstdio>

int runCleaner(const QStringList& args) {
    const Options options(args, {});
    const QStringList& p = options.positionals();
    bool okSeconds = false, okKeep = false;
    const int seconds = p.value(1).toInt(&okSeconds);
    const int keep = p.value(2).toInt(&okKeep);
    if (!options.ok() || p.size() != 4 || !okSeconds || !okKeep || keep < 0) {
        std::fprintf(stderr, "usage: trel_stress cleaner ROOT SECONDS KEEP LOG [--stop-file FILE] "
                             "[--busy-timeout MS] [--pause MS]\n");
        return 2;
    }
    const QString stopFile = options.value(QStringLiteral("stop-file"));
    const int pause = options.number(QStringLiteral("pause"), 1000);
    QFile log(p.at(3));
    if (!log.open(QIODevice::Append | QIODevice::Unbuffered)) {
        std::fprintf(stderr, "trel_stress cleaner: cannot write %s\n", qPrintable(p.at(3)));
        return 1;
    }
    LogTap tap(KDebug::StreamId(CollectorSession::Stream), 3);
    CollectorSession session;
    StressDb db;
    QString error;
    if (!session.start(p.at(0), options.number(QStringLiteral("busy-timeout"), -1), &error) ||
        !db.open(p.at(0), &error)) {
        std::fprintf(stderr, "trel_stress cleaner: %s\n", qPrintable(error));
        return 1;
    }

    int done = 0, failed = 0, missingLine = 0;
    qint64 deletedTotal = 0;
    const qint64 end = stress::nowMs() + seconds * 1000LL;
    for (;;) {
        // Now and then: between half and one and a half times the pause.
        const qint64 wake =
            stress::nowMs() + pause / 2 + QRandomGenerator::global()->bounded(pause + 1);
        while (stress::nowMs() < wake && stress::nowMs() < end &&
               (stopFile.isEmpty() || !QFileInfo::exists(stopFile)))
            stress::sleepMs(20);
        if (stress::nowMs() >= end || (!stopFile.isEmpty() && QFileInfo::exists(stopFile)))
            break;
        tap.take();
        try {
            session.trel()->cleanupDb(static_cast<quint32>(keep));
            const QString line = LogTap::first(tap.take(), 3, QStringLiteral("Deleted requests:"));
            if (line.isEmpty()) {
                ++missingLine;
                std::fprintf(stderr, "cleaner: a cleanup logged no \"Deleted requests:\" line\n");
                continue;
            }
            const qint64 deleted =
                line.mid(line.indexOf(QLatin1Char(':')) + 1).trimmed().toLongLong();
            const qint64 ceiling =
                db.scalar(QStringLiteral("SELECT MAX(id) FROM trel_requests")).toLongLong();
            log.write(QStringLiteral("cleanup deleted %1 ceiling %2\n")
                          .arg(deleted)
                          .arg(ceiling)
                          .toUtf8());
            deletedTotal += deleted;
            ++done;
        } catch (const KException& e) {
            QByteArray message(e.what());
            message.replace('\n', ' ');
            log.write("cleanup failed " + message + "\n");
            ++failed;
        }
    }
    stress::print(QStringLiteral("cleaner: %1 cleanups (%2 requests deleted), %3 failed and "
                                 "rolled back\n")
                      .arg(done)
                      .arg(deletedTotal)
                      .arg(failed));
    return missingLine == 0 ? 0 : 1;
}
