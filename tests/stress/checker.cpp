#include "checker.h"

#include "modes.h"
#include "options.h"

#include <QFile>
#include <QMap>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <cstdio>

namespace {

// The writer's commit failed because the connection went away before the server's
// answer came: the server may have applied it.
bool commitAnswerLost(const QString& message) {
    return message.contains(QLatin1String("commit failed:")) &&
           (message.contains(QLatin1String("Lost connection"), Qt::CaseInsensitive) ||
            message.contains(QLatin1String("gone away"), Qt::CaseInsensitive));
}

const QStringList& sectionTables() {
    static const QStringList tables = {
        QStringLiteral("trel_sql_queries"),       QStringLiteral("trel_log_entries"),
        QStringLiteral("trel_functions_stats"),   QStringLiteral("trel_monitor_events"),
        QStringLiteral("trel_superglobals_data"), QStringLiteral("trel_processing_breakdown")};
    return tables;
}

const QStringList& allTables() {
    static const QStringList tables =
        sectionTables() +
        QStringList{QStringLiteral("trel_requests"),       QStringLiteral("trel_requests_urls"),
                    QStringLiteral("trel_sql_statements"), QStringLiteral("trel_backtrace"),
                    QStringLiteral("trel_tokens"),         QStringLiteral("trel_user_agent")};
    return tables;
}

// What a text looks like in a message: control characters shown, long texts cut.
QString shown(const QVariant& value) {
    QString text = value.typeId() == QMetaType::QByteArray
                       ? QString::fromUtf8(value.toByteArray().toPercentEncoding(" '\";:/"))
                       : value.toString();
    text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    text.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    return text.size() > 120 ? text.left(120) + QStringLiteral("...") : text;
}

} // namespace

void Checker::violation(const QString& text) {
    m_violations << text;
}

bool Checker::loadManifest(const QString& path, QString* error) {
    Manifest manifest;
    if (!manifest.load(path, error))
        return false;
    for (const ManifestEntry& entry : manifest.entries()) {
        if (m_entryByKey.contains(entry.key)) {
            *error = QStringLiteral("%1 appears in two manifests").arg(entry.key);
            return false;
        }
        m_entryByKey.insert(entry.key, m_entries.size());
        m_entries << entry;
    }
    return true;
}

bool Checker::loadCleanerLog(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1").arg(path);
        return false;
    }
    m_haveCleaners = true;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QList<QByteArray> f = raw.split(' ');
        if (raw.startsWith("cleanup deleted ") && f.size() == 5) {
            ++m_figures.cleanups;
            m_figures.cleanupDeleted += f.at(2).toLongLong();
            m_ceiling = qMax(m_ceiling, f.at(4).toLongLong());
        } else if (raw.startsWith("cleanup failed")) {
            ++m_figures.cleanupsFailed;
        } else if (!raw.isEmpty()) {
            *error = QStringLiteral("%1: malformed line: %2").arg(path, QString::fromUtf8(raw));
            return false;
        }
    }
    return true;
}

bool Checker::checkIntegrity(StressDb& db, QString* error) {
    QSqlQuery query;
    if (!db.isMySql()) {
        if (!db.run(query, QStringLiteral("PRAGMA integrity_check"), {}, error))
            return false;
        QStringList problems;
        while (query.next())
            if (query.value(0).toString() != QLatin1String("ok"))
                problems << query.value(0).toString();
        m_figures.integrityOk = problems.isEmpty();
        if (!problems.isEmpty())
            violation(QStringLiteral("integrity_check: ") + problems.join(QStringLiteral("; ")));
        return true;
    }
    m_figures.integrityOk = true;
    for (const QString& table : allTables()) {
        if (!db.run(query, QStringLiteral("CHECK TABLE %1 EXTENDED").arg(table), {}, error))
            return false;
        QString status;
        while (query.next()) {
            const QString type = query.value(2).toString();
            const QString text = query.value(3).toString();
            if (type == QLatin1String("error"))
                status += text + QLatin1Char(' ');
            else if (type == QLatin1String("status") && text != QLatin1String("OK"))
                status += text + QLatin1Char(' ');
        }
        if (!status.isEmpty()) {
            m_figures.integrityOk = false;
            violation(QStringLiteral("CHECK TABLE %1: %2").arg(table, status));
        }
    }
    return true;
}

bool Checker::readTables(StressDb& db, QString* error) {
    QSqlQuery query;
    if (!db.run(query,
                QStringLiteral("SELECT r.id, r.page_id, r.data_size, r.method, u.url FROM "
                               "trel_requests r LEFT JOIN trel_requests_urls u ON u.id = r.url_id"),
                {}, error))
        return false;
    while (query.next()) {
        StoredRequest row;
        row.id = query.value(0).toLongLong();
        row.pageId = query.value(1).toString();
        row.dataSize = query.value(2).toLongLong();
        row.method = query.value(3).toString();
        row.url = query.value(4).toString();
        m_requestIds.insert(row.id);
        const QString key = RequestPlan::keyOfPageId(row.pageId);
        if (key.isEmpty() || !m_entryByKey.contains(key)) {
            ++m_figures.unknown;
            violation(QStringLiteral("request %1 is of no manifest: page id %2")
                          .arg(row.id)
                          .arg(shown(row.pageId)));
            continue;
        }
        m_requestsByKey[key] << row;
    }

    for (const QString& table : sectionTables()) {
        if (!db.run(query,
                    QStringLiteral("SELECT request_id, COUNT(*) FROM %1 GROUP BY request_id")
                        .arg(table),
                    {}, error))
            return false;
        QHash<qint64, int>& rows = m_rowsPerTable[table];
        while (query.next()) {
            const qint64 id = query.value(0).toLongLong();
            const int n = query.value(1).toInt();
            rows.insert(id, n);
            if (!m_requestIds.contains(id)) {
                m_figures.orphanRows += n;
                violation(QStringLiteral("%1 rows of %2 belong to no request (request_id %3)")
                              .arg(n)
                              .arg(table)
                              .arg(id));
            }
        }
    }

    QSet<qint64> backtraces;
    if (!db.run(query, QStringLiteral("SELECT id FROM trel_backtrace"), {}, error))
        return false;
    while (query.next())
        backtraces.insert(query.value(0).toLongLong());
    QHash<qint64, int> referenced;
    for (const char* table : {"trel_sql_queries", "trel_log_entries"}) {
        if (!db.run(
                query,
                QStringLiteral("SELECT request_id, backtrace_id FROM %1 WHERE backtrace_id <> -1")
                    .arg(QLatin1String(table)),
                {}, error))
            return false;
        while (query.next()) {
            const qint64 request = query.value(0).toLongLong();
            const qint64 backtrace = query.value(1).toLongLong();
            ++referenced[backtrace];
            if (backtraces.contains(backtrace)) {
                ++m_backtraceRefs[request];
            } else {
                ++m_danglingRefs[request];
                ++m_figures.danglingBacktraces;
            }
        }
    }
    if (m_figures.danglingBacktraces)
        violation(QStringLiteral("%1 rows refer to a backtrace that is not stored")
                      .arg(m_figures.danglingBacktraces));
    for (qint64 id : qAsConst(backtraces)) {
        const int refs = referenced.value(id);
        if (refs == 0)
            ++m_figures.orphanBacktraces;
        else if (refs > 1)
            ++m_figures.sharedBacktraces;
    }
    if (m_figures.orphanBacktraces)
        violation(QStringLiteral("%1 backtraces belong to no row").arg(m_figures.orphanBacktraces));
    if (m_figures.sharedBacktraces)
        violation(QStringLiteral("%1 backtraces are referred to by more than one row")
                      .arg(m_figures.sharedBacktraces));
    return true;
}

RequestPlan::Counts Checker::storedCounts(qint64 id) const {
    RequestPlan::Counts c;
    c.queries = m_rowsPerTable.value(QStringLiteral("trel_sql_queries")).value(id);
    c.errors = m_rowsPerTable.value(QStringLiteral("trel_log_entries")).value(id);
    c.functions = m_rowsPerTable.value(QStringLiteral("trel_functions_stats")).value(id);
    c.events = m_rowsPerTable.value(QStringLiteral("trel_monitor_events")).value(id);
    c.samples = m_rowsPerTable.value(QStringLiteral("trel_superglobals_data")).value(id);
    c.backtraces = m_backtraceRefs.value(id);
    return c;
}

bool Checker::isComplete(const StoredRequest& row, const ManifestEntry& entry, QString* why) const {
    const int breakdown =
        m_rowsPerTable.value(QStringLiteral("trel_processing_breakdown")).value(row.id);
    const RequestPlan::Counts stored = storedCounts(row.id);
    QStringList problems;
    if (row.dataSize < 0)
        problems << QStringLiteral("data size %1").arg(row.dataSize);
    if (breakdown != 1)
        problems << QStringLiteral("%1 breakdown rows").arg(breakdown);
    if (stored != entry.counts)
        problems << QStringLiteral("rows %1 where %2 were collected")
                        .arg(stored.toString(), entry.counts.toString());
    if (m_danglingRefs.value(row.id))
        problems << QStringLiteral("%1 missing backtraces").arg(m_danglingRefs.value(row.id));
    *why = problems.join(QStringLiteral(", "));
    return problems.isEmpty();
}

void Checker::compare(const QString& what, const ManifestEntry& entry, const QVariant& stored,
                      const QVariant& expected) {
    ++m_figures.textsVerified;
    const bool equal = expected.typeId() == QMetaType::QByteArray
                           ? stored.toByteArray() == expected.toByteArray()
                           : stored.toString() == expected.toString();
    if (!equal) {
        ++m_figures.textMismatches;
        violation(QStringLiteral("%1: %2 reads back as '%3', was '%4'")
                      .arg(entry.key, what, shown(stored), shown(expected)));
    }
}

void Checker::verifyTexts(StressDb& db, const StoredRequest& row, const ManifestEntry& entry) {
    const RequestPlan plan(entry.tag, entry.seed, entry.index);
    ++m_figures.requestsTextChecked;
    compare(QStringLiteral("page_id"), entry, row.pageId, plan.pageId);
    compare(QStringLiteral("method"), entry, row.method,
            plan.method.isEmpty() ? QStringLiteral("GET") : plan.method);
    if (!plan.url.isEmpty())
        compare(QStringLiteral("url"), entry, row.url, plan.url);

    const QVariantList bind{QVariant(row.id)};
    const QByteArray backtrace = RequestPlan::backtraceText().toLocal8Bit();
    QSqlQuery query;
    QString error;
    if (!db.run(query,
                QStringLiteral("SELECT q.resolved_statement, q.error_message, q.file_name, "
                               "q.prepared_statement_id, s.prepared_statement, b.backtrace FROM "
                               "trel_sql_queries q LEFT JOIN trel_sql_statements s ON s.id = "
                               "q.prepared_statement_id LEFT JOIN trel_backtrace b ON b.id = "
                               "q.backtrace_id WHERE q.request_id = ?"),
                bind, &error)) {
        violation(error);
        return;
    }
    QHash<QString, QVariantList> queries;
    while (query.next()) {
        QVariantList values;
        for (int i = 0; i < 6; ++i)
            values << query.value(i);
        // Every query of every stress request has the generator's file and backtrace.
        compare(QStringLiteral("query file_name"), entry, values.at(2),
                RequestPlan::generatorFile());
        compare(QStringLiteral("query backtrace"), entry, values.at(5), backtrace);
        queries.insert(values.at(0).toString(), values);
    }
    for (const RequestPlan::Query& q : plan.queries) {
        const QVariantList values = queries.value(q.resolved);
        if (values.isEmpty()) {
            compare(QStringLiteral("resolved_statement"), entry, QVariant(), q.resolved);
            continue;
        }
        ++m_figures.textsVerified; // the resolved statement, found by its text
        compare(QStringLiteral("error_message"), entry, values.at(1), q.error);
        if (q.hasPrepared)
            compare(QStringLiteral("prepared_statement"), entry, values.at(4), q.prepared);
        else
            compare(QStringLiteral("prepared_statement_id"), entry, values.at(3).toString(),
                    QStringLiteral("-1"));
    }

    if (!db.run(query,
                QStringLiteral("SELECT e.message, e.filename, e.backtrace_id, b.backtrace FROM "
                               "trel_log_entries e LEFT JOIN trel_backtrace b ON b.id = "
                               "e.backtrace_id WHERE e.request_id = ?"),
                bind, &error)) {
        violation(error);
        return;
    }
    QHash<QString, QVariantList> entries;
    while (query.next())
        entries.insert(query.value(0).toString(), {query.value(1), query.value(2), query.value(3)});
    for (const RequestPlan::Error& e : plan.errors) {
        const QString message = QString::fromUtf8(e.message);
        const QVariantList values = entries.value(message);
        if (values.isEmpty()) {
            compare(QStringLiteral("log entry message"), entry, QVariant(), message);
            continue;
        }
        ++m_figures.textsVerified;
        compare(QStringLiteral("log entry filename"), entry, values.at(0),
                QString::fromUtf8(e.file));
        if (e.withBacktrace)
            compare(QStringLiteral("log entry backtrace"), entry, values.at(2), backtrace);
        else
            compare(QStringLiteral("log entry backtrace_id"), entry, values.at(1).toString(),
                    QStringLiteral("-1"));
    }

    if (!db.run(query,
                QStringLiteral("SELECT function_name, function_scope, filename FROM "
                               "trel_functions_stats WHERE request_id = ?"),
                bind, &error)) {
        violation(error);
        return;
    }
    QHash<QString, QString> scopes, files;
    while (query.next()) {
        scopes.insert(query.value(0).toString(), query.value(1).toString());
        files.insert(query.value(0).toString(), query.value(2).toString());
    }
    for (const RequestPlan::Function& f : plan.functions) {
        const QString name = QString::fromUtf8(f.name);
        compare(QStringLiteral("function_name"), entry, scopes.contains(name) ? name : QString(),
                name);
        compare(QStringLiteral("function_scope"), entry, scopes.value(name),
                QString::fromUtf8(f.scope));
        compare(QStringLiteral("function filename"), entry, files.value(name),
                QString::fromUtf8(f.file));
    }

    if (!db.run(query,
                QStringLiteral("SELECT agg_key FROM trel_monitor_events WHERE request_id = ?"),
                bind, &error)) {
        violation(error);
        return;
    }
    QSet<QString> keys;
    while (query.next())
        keys.insert(query.value(0).toString());
    for (const QByteArray& key : plan.events) {
        const QString text = QString::fromUtf8(key);
        compare(QStringLiteral("agg_key"), entry, keys.contains(text) ? text : QString(), text);
    }

    if (!db.run(
            query,
            QStringLiteral("SELECT sg_name, data, sample_type FROM trel_superglobals_data WHERE "
                           "request_id = ?"),
            bind, &error)) {
        violation(error);
        return;
    }
    QHash<QString, QVariantList> samples;
    while (query.next())
        samples.insert(query.value(0).toString(), {query.value(1), query.value(2)});
    for (const RequestPlan::Sample& s : plan.samples) {
        const QString name = QString::fromUtf8(s.name);
        const QVariantList values = samples.value(name);
        compare(QStringLiteral("sg_name"), entry, values.isEmpty() ? QString() : name, name);
        if (values.isEmpty())
            continue;
        compare(QStringLiteral("sample data"), entry, values.at(0), s.data);
        compare(QStringLiteral("sample_type"), entry, values.at(1),
                s.type == KTrel::SAMPLE_END ? QStringLiteral("SAMPLE_END")
                                            : QStringLiteral("SAMPLE_START"));
    }
}

bool Checker::run(StressDb& db, QString* error) {
    if (!checkIntegrity(db, error) || !readTables(db, error))
        return false;

    qint64 commitsOfUnknownFate = 0;
    for (const ManifestEntry& entry : qAsConst(m_entries)) {
        ++m_figures.begun;
        m_figures.slowestWriteMs = qMax(m_figures.slowestWriteMs, entry.ms);
        const QList<StoredRequest> rows = m_requestsByKey.value(entry.key);
        if (rows.size() > 1) {
            ++m_figures.duplicated;
            violation(QStringLiteral("%1 is stored %2 times").arg(entry.key).arg(rows.size()));
        }
        QString why;
        const bool present = !rows.isEmpty();
        const bool complete = present && isComplete(rows.first(), entry, &why);
        switch (entry.state) {
        case ManifestEntry::Written:
            ++m_figures.written;
            if (present) {
                ++m_figures.writtenPresent;
                if (!complete) {
                    ++m_figures.partial;
                    violation(QStringLiteral("%1 (written) is partial: %2").arg(entry.key, why));
                }
                if (rows.first().id != entry.requestId) {
                    ++m_figures.wrongId;
                    violation(QStringLiteral("%1 was written as request %2 but is stored as %3")
                                  .arg(entry.key)
                                  .arg(entry.requestId)
                                  .arg(rows.first().id));
                }
            } else if (m_haveCleaners && entry.requestId <= m_ceiling) {
                ++m_figures.removedByCleanup;
            } else {
                ++m_figures.lost;
                violation(QStringLiteral("%1 (written as request %2) is lost")
                              .arg(entry.key)
                              .arg(entry.requestId));
            }
            break;
        case ManifestEntry::Failed:
            ++m_figures.failed;
            if (commitAnswerLost(entry.message))
                ++commitsOfUnknownFate;
            if (present && commitAnswerLost(entry.message)) {
                // The server may apply a commit whose answer the connection lost: the
                // outcome is unknown to the writer, and a stored request must be whole.
                ++m_figures.commitLostStored;
                if (!complete) {
                    ++m_figures.partial;
                    violation(QStringLiteral("%1 (commit's answer lost) is partial: %2")
                                  .arg(entry.key, why));
                }
            } else if (present) {
                ++m_figures.failedStored;
                violation(QStringLiteral("%1 failed (%2) but is stored%3")
                              .arg(entry.key, entry.message,
                                   complete ? QString() : QStringLiteral(", partial: ") + why));
            }
            if (entry.writeLines != 1) {
                ++m_figures.notLoggedOnce;
                violation(QStringLiteral("%1 failed with %2 \"KTrel::write:\" lines")
                              .arg(entry.key)
                              .arg(entry.writeLines));
            }
            break;
        case ManifestEntry::Unfinished:
            ++m_figures.unfinished;
            if (!present) {
                ++m_figures.unfinishedRolledBack;
            } else if (complete) {
                ++m_figures.unfinishedCommitted;
            } else {
                ++m_figures.partial;
                violation(
                    QStringLiteral("%1 (killed in write()) is partial: %2").arg(entry.key, why));
            }
            break;
        }
        if (complete)
            verifyTexts(db, rows.first(), entry);
    }

    // Every committed request that is gone was deleted by a cleanup: without requests of
    // unknown fate, the cleanups' counts must add up exactly.
    if (m_haveCleaners) {
        const qint64 gone = m_figures.removedByCleanup;
        // A commit whose answer was lost may have been stored and then deleted.
        if (m_figures.unfinished == 0 && commitsOfUnknownFate == 0
                ? m_figures.cleanupDeleted != gone
                : m_figures.cleanupDeleted < gone)
            violation(QStringLiteral("the cleanups deleted %1 requests, but %2 written requests "
                                     "are gone")
                          .arg(m_figures.cleanupDeleted)
                          .arg(gone));
    }
    return true;
}

int runCheck(const QStringList& args) {
    const QStringList flags{QStringLiteral("expect-failures"), QStringLiteral("expect-recovery"),
                            QStringLiteral("expect-unfinished")};
    const Options options(args, flags);
    const QStringList& p = options.positionals();
    if (!options.ok() || p.size() < 2) {
        std::fprintf(stderr,
                     "usage: trel_stress check ROOT MANIFEST... [--cleaner LOG]... [--label TEXT]\n"
                     "       [--expect-failures] [--expect-recovery] [--expect-unfinished]\n");
        return 2;
    }
    Checker checker;
    QString error;
    for (const QString& path : p.mid(1))
        if (!checker.loadManifest(path, &error)) {
            std::fprintf(stderr, "trel_stress check: %s\n", qPrintable(error));
            return 1;
        }
    for (const QString& path : options.values(QStringLiteral("cleaner")))
        if (!checker.loadCleanerLog(path, &error)) {
            std::fprintf(stderr, "trel_stress check: %s\n", qPrintable(error));
            return 1;
        }
    StressDb db;
    if (!db.open(p.at(0), &error) || !checker.run(db, &error)) {
        std::fprintf(stderr, "trel_stress check: %s\n", qPrintable(error));
        return 1;
    }

    QStringList extra;
    const Checker::Figures& f = checker.figures();
    if (options.has(QStringLiteral("expect-failures")) && f.failed == 0)
        extra << QStringLiteral("no write failed, though the scenario must make some fail");
    if (options.has(QStringLiteral("expect-unfinished")) && f.unfinished == 0)
        extra << QStringLiteral("no worker was killed inside write()");
    if (options.has(QStringLiteral("expect-recovery"))) {
        // The writes after the fault succeed: the last request of every worker that was
        // not killed in write() was written.
        QHash<QString, const ManifestEntry*> last;
        for (const ManifestEntry& entry : checker.entries())
            last[entry.file] = &entry;
        for (auto it = last.constBegin(); it != last.constEnd(); ++it)
            if (it.value()->state == ManifestEntry::Failed)
                extra << QStringLiteral("the last request of %1 failed").arg(it.key());
    }

    const QString label = options.value(QStringLiteral("label"), QStringLiteral("check"));
    const int violations = checker.violations() + extra.size();
    for (const QString& text : checker.violationTexts().mid(0, 30) + extra)
        std::fprintf(stderr, "VIOLATION %s: %s\n", qPrintable(label), qPrintable(text));
    if (checker.violations() > 30)
        std::fprintf(stderr, "VIOLATION %s: ... and %d more\n", qPrintable(label),
                     checker.violations() - 30);

    stress::print(
        QStringLiteral("%1: %2 requests begun: %3 written (%4 present and complete, %5 deleted "
                       "by cleanups), %6 failed (all absent, each logged once), %7 in flight at a "
                       "kill (%8 committed whole, %9 rolled back)\n")
            .arg(label)
            .arg(f.begun)
            .arg(f.written)
            .arg(f.writtenPresent - f.partial)
            .arg(f.removedByCleanup)
            .arg(f.failed)
            .arg(f.unfinished)
            .arg(f.unfinishedCommitted)
            .arg(f.unfinishedRolledBack));
    stress::print(
        QStringLiteral("%1: lost %2, partial %3, failed-but-stored %4 (+%19 whose commit's answer "
                       "was lost), duplicated %5, unknown "
                       "%6, orphan rows %7, orphan/dangling/shared backtraces %8/%9/%10; "
                       "cleanups %11 (%12 requests deleted, %13 failed); texts verified %14 in "
                       "%15 requests, mismatches %16; integrity %17; slowest write %18 ms\n")
            .arg(label)
            .arg(f.lost)
            .arg(f.partial)
            .arg(f.failedStored)
            .arg(f.duplicated)
            .arg(f.unknown)
            .arg(f.orphanRows)
            .arg(f.orphanBacktraces)
            .arg(f.danglingBacktraces)
            .arg(f.sharedBacktraces)
            .arg(f.cleanups)
            .arg(f.cleanupDeleted)
            .arg(f.cleanupsFailed)
            .arg(f.textsVerified)
            .arg(f.requestsTextChecked)
            .arg(f.textMismatches)
            .arg(f.integrityOk ? QStringLiteral("ok") : QStringLiteral("FAILED"))
            .arg(f.slowestWriteMs)
            .arg(f.commitLostStored));
    // One line for scripts to gather.
    stress::print(QStringLiteral("FIGURES %1 begun=%2 written=%3 failed=%4 inflight=%5 "
                                 "committed=%6 rolledback=%7 cleaned=%8 lost=%9 partial=%10 "
                                 "violations=%11\n")
                      .arg(label)
                      .arg(f.begun)
                      .arg(f.written)
                      .arg(f.failed)
                      .arg(f.unfinished)
                      .arg(f.unfinishedCommitted)
                      .arg(f.unfinishedRolledBack)
                      .arg(f.removedByCleanup)
                      .arg(f.lost)
                      .arg(f.partial)
                      .arg(violations));
    // Why the failed writes failed: the driver's text of each "KTrel::write:" line.
    QMap<QString, int> reasons;
    for (const ManifestEntry& entry : checker.entries()) {
        if (entry.state != ManifestEntry::Failed)
            continue;
        // "KTrel::write: QSafeSqlQuery::exec -> error in query: STATEMENT. [ERROR]", or
        // "KTrel::write: REASON" for what failed outside a statement.
        QString reason = entry.message;
        const int open = reason.lastIndexOf(QStringLiteral(". ["));
        if (open >= 0 && reason.endsWith(QLatin1Char(']')))
            reason = reason.mid(open + 3).chopped(1);
        else if (reason.startsWith(QLatin1String("KTrel::write:")))
            reason = reason.mid(13);
        ++reasons[reason.simplified().left(160)];
    }
    for (auto it = reasons.constBegin(); it != reasons.constEnd(); ++it)
        stress::print(
            QStringLiteral("%1: failed %2 x: %3\n").arg(label).arg(it.value()).arg(it.key()));
    std::fprintf(stderr, "%s: %s\n", qPrintable(label), violations == 0 ? "PASS" : "FAIL");
    return violations == 0 ? 0 : 1;
}
