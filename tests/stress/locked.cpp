// locked ROOT ROUNDS MANIFEST [--busy-timeout MS]
// A database that stays locked longer than the writer waits: a connection of this
// program holds the write lock (SQLite: BEGIN IMMEDIATE; MariaDB: a locking read of
// every trel_requests row and the gap after them, with the server's lock wait timeout
// set to 1 second) while the collector writes one request, then lets go and the
// collector writes the next. The held write must fail, roll back and be logged once;
// the next one must be written. The manifest records both for `check`.

#include "collectorsession.h"
#include "logtap.h"
#include "manifest.h"
#include "modes.h"
#include "options.h"
#include "requestplan.h"
#include "stressdb.h"

#include <QSqlQuery>
#include <QVariant>

#include <cstdio>

int runLocked(const QStringList& args) {
    const Options options(args, {});
    const QStringList& p = options.positionals();
    bool okRounds = false;
    const int rounds = p.value(1).toInt(&okRounds);
    const QString tag = stress::tagOf(p.value(2));
    if (!options.ok() || p.size() != 3 || !okRounds || rounds < 1 || !stress::validTag(tag)) {
        std::fprintf(stderr,
                     "usage: trel_stress locked ROOT ROUNDS MANIFEST [--busy-timeout MS]\n");
        return 2;
    }
    const QString root = p.at(0);
    ManifestWriter manifest(p.at(2));
    StressDb locker;
    QString error;
    if (!manifest.isOpen() || !locker.open(root, &error)) {
        std::fprintf(stderr, "trel_stress locked: cannot start: %s\n", qPrintable(error));
        return 1;
    }
    QVariant oldTimeout;
    if (locker.isMySql()) {
        // Set before the collector opens its connections, which take the global value.
        oldTimeout = locker.scalar(QStringLiteral("SELECT @@GLOBAL.innodb_lock_wait_timeout"));
        QSqlQuery set;
        if (!locker.run(set, QStringLiteral("SET GLOBAL innodb_lock_wait_timeout = 1"), {},
                        &error)) {
            std::fprintf(stderr, "trel_stress locked: %s\n", qPrintable(error));
            return 1;
        }
    }
    LogTap tap(KDebug::StreamId(CollectorSession::Stream), 5);
    CollectorSession session;
    if (!session.start(root, options.number(QStringLiteral("busy-timeout"), -1), &error)) {
        std::fprintf(stderr, "trel_stress locked: %s\n", qPrintable(error));
        return 1;
    }
    KTrel* trel = session.trel();
    const QString lockWord =
        locker.isMySql() ? QStringLiteral("Lock wait timeout") : QStringLiteral("locked");

    int violations = 0, heldFailed = 0, nextWritten = 0, retries = 0;
    qint64 heldMs = 0;
    auto writeOne = [&](int index, QList<LogTap::Line>* lines, qint64* ms) {
        const RequestPlan plan(tag, 1, index);
        trel->reset();
        plan.collect(trel);
        manifest.begin(tag, 1, index, plan.counts);
        tap.take();
        const qint64 start = stress::nowMs();
        trel->write();
        *ms = stress::nowMs() - start;
        *lines = tap.take();
        const int writeLines = LogTap::count(*lines, 0, QStringLiteral("KTrel::write:"));
        if (writeLines == 0)
            manifest.written(plan.key, trel->getRequestId(), *ms);
        else
            manifest.failed(plan.key, writeLines, *ms,
                            LogTap::first(*lines, 0, QStringLiteral("KTrel::write:")));
        return writeLines;
    };

    for (int round = 0; round < rounds; ++round) {
        QSqlQuery hold;
        const bool held =
            locker.isMySql()
                ? locker.db().transaction() &&
                      locker.run(hold, QStringLiteral("SELECT id FROM trel_requests FOR UPDATE"),
                                 {}, &error)
                : locker.run(hold, QStringLiteral("BEGIN IMMEDIATE"), {}, &error);
        if (!held) {
            std::fprintf(stderr, "locked: cannot take the lock: %s\n", qPrintable(error));
            return 1;
        }
        QList<LogTap::Line> lines;
        qint64 ms = 0;
        const int writeLines = writeOne(2 * round, &lines, &ms);
        const QString line = LogTap::first(lines, 0, QStringLiteral("KTrel::write:"));
        retries +=
            LogTap::count(lines, 5, QStringLiteral("DB is locked. Performing retry number:"));
        heldMs += ms;
        if (writeLines == 1 && line.contains(lockWord)) {
            ++heldFailed;
        } else {
            ++violations;
            std::fprintf(stderr,
                         "locked: round %d: the write under the lock logged %d "
                         "\"KTrel::write:\" lines (one expected, naming the lock): %s\n",
                         round + 1, writeLines, qPrintable(line));
        }
        hold = QSqlQuery();
        if (locker.isMySql())
            locker.db().rollback();
        else
            locker.run(hold, QStringLiteral("ROLLBACK"));
        hold = QSqlQuery();

        const int nextLines = writeOne(2 * round + 1, &lines, &ms);
        if (nextLines == 0) {
            ++nextWritten;
        } else {
            ++violations;
            std::fprintf(stderr, "locked: round %d: the write after the lock failed: %s\n",
                         round + 1,
                         qPrintable(LogTap::first(lines, 0, QStringLiteral("KTrel::write:"))));
        }
    }
    if (oldTimeout.isValid()) {
        QSqlQuery restore;
        locker.run(restore, QStringLiteral("SET GLOBAL innodb_lock_wait_timeout = %1")
                                .arg(oldTimeout.toLongLong()));
    }
    stress::print(QStringLiteral("locked: %1 rounds; writes under the lock failed, rolled back and "
                                 "logged once: %2, after %3 ms on average with %4 retries; writes "
                                 "after it written: %5\n")
                      .arg(rounds)
                      .arg(heldFailed)
                      .arg(heldMs / rounds)
                      .arg(retries / rounds)
                      .arg(nextWritten));
    return violations == 0 ? 0 : 1;
}
