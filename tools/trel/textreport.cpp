#include "textreport.h"

#include "format.h"

#include <trel/ktrelformat.h>
#include <trel/ktrelstoredrequest.h>

#include <QStringList>

namespace {

QString indent(const QString& text, int spaces) {
    const QString pad(spaces, QLatin1Char(' '));
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString& line : lines)
        line = pad + line;
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

// Serialized data shown on one line: control characters as dots, cut to a width.
QString printable(const QByteArray& data, int width) {
    QString text = QString::fromUtf8(data);
    for (QChar& c : text) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('.');
    }
    return Format::clip(text, width);
}

QString sampleType(const QString& stored) {
    if (stored == QLatin1String("SAMPLE_START"))
        return QStringLiteral("start");
    if (stored == QLatin1String("SAMPLE_END"))
        return QStringLiteral("end");
    return QStringLiteral("other");
}

} // namespace

QString TextReport::write(const KTrelStoredRequest& r) {
    QString text;
    text += QStringLiteral("request %1  %2 %3\n").arg(r.id).arg(r.method, r.url);
    text += QStringLiteral("  status          %1\n").arg(r.status);
    text += QStringLiteral("  started         %1\n").arg(KTrelFormat::localTime(r.startTime));
    text += QStringLiteral("  duration        %1\n").arg(KTrelFormat::duration(r.requestTime));
    text += QStringLiteral("  page id         %1%2\n")
                .arg(r.pageId, r.primaryPage ? QStringLiteral(" (primary page)") : QString());
    text += QStringLiteral("  peak memory     %1\n")
                .arg(KTrelFormat::memoryOfLimit(r.peakMemory, r.memoryLimit));
    text += QStringLiteral("  stored data     %1 KiB\n").arg(r.dataSize);

    text += QStringLiteral("\ntime breakdown\n");
    if (!r.hasBreakdown) {
        text += QStringLiteral("  none stored\n");
    } else {
        const qint64 total = r.breakdownTotal();
        const struct {
            const char* name;
            qint64 value;
        } parts[] = {{"database", r.databaseTime},
                     {"network", r.networkTime},
                     {"local", r.localTime},
                     {"php", r.phpTime}};
        for (const auto& part : parts) {
            const double share = total > 0 ? static_cast<double>(part.value) / total : 0.0;
            text += QStringLiteral("  %1 %2 %3%  %4\n")
                        .arg(QString::fromLatin1(part.name), -9)
                        .arg(KTrelFormat::duration(part.value), 10)
                        .arg(share * 100.0, 5, 'f', 1)
                        .arg(QString(qRound(share * 40), QLatin1Char('#')));
        }
    }

    text += QStringLiteral("\nSQL queries (%1, slowest first%2%3)\n")
                .arg(r.queryCount())
                .arg(r.failedQueries() ? QStringLiteral(", %1 failed").arg(r.failedQueries())
                                       : QString())
                .arg(r.queriesNotKept()
                         ? QStringLiteral(", %1 counted, not kept").arg(r.queriesNotKept())
                         : QString());
    int number = 0;
    for (const KTrelStoredRequest::Query& query : r.queries) {
        QString outcome = query.failed()
                              ? QStringLiteral("FAILED %1: %2").arg(query.status).arg(query.error)
                              : QStringLiteral("ok");
        QStringList head{KTrelFormat::duration(query.time), outcome,
                         QStringLiteral("%1 row%2")
                             .arg(query.rows)
                             .arg(query.rows == 1 ? QString() : QStringLiteral("s"))};
        const QString transaction = r.transactionName(query);
        head << (transaction.isEmpty() ? QStringLiteral("no transaction")
                                       : QStringLiteral("transaction %1").arg(transaction));
        text += QStringLiteral("  %1. %2\n").arg(++number).arg(head.join(QStringLiteral(", ")));
        text += indent(query.statement, 6);
        if (!query.prepared.isEmpty() && query.prepared != query.statement)
            text += QStringLiteral("      prepared: %1\n").arg(query.prepared);
        if (!query.file.isEmpty())
            text += QStringLiteral("      at %1:%2\n").arg(query.file, QString::number(query.line));
        if (!query.backtrace.isEmpty())
            text += indent(query.backtrace, 8);
    }

    text +=
        QStringLiteral("\nerrors and warnings (%1%2)\n")
            .arg(r.errorCount())
            .arg(r.errorsNotKept() ? QStringLiteral(", %1 counted, not kept").arg(r.errorsNotKept())
                                   : QString());
    for (const KTrelStoredRequest::LogEntry& entry : r.entries) {
        text += QStringLiteral("  %1  %2%3\n")
                    .arg(entry.type, entry.message,
                         entry.silenced ? QStringLiteral("  (silenced with @)") : QString());
        text += QStringLiteral("      at %1:%2, %3\n")
                    .arg(entry.file, QString::number(entry.line),
                         KTrelFormat::localTime(entry.time * 1000).left(19));
        if (!entry.backtrace.isEmpty())
            text += indent(entry.backtrace, 8);
    }

    const int shown = qMin(KTrelStoredRequest::TopFunctions, static_cast<int>(r.functions.size()));
    text += QStringLiteral("\nfunctions that took most time (%1 of %2, by own time)\n")
                .arg(shown)
                .arg(r.functions.size());
    if (shown > 0)
        text += QStringLiteral("  %1 %2 %3  %4\n")
                    .arg(QStringLiteral("calls"), 7)
                    .arg(QStringLiteral("own time"), 10)
                    .arg(QStringLiteral("total"), 10)
                    .arg(QStringLiteral("function"));
    for (int i = 0; i < shown; ++i) {
        const KTrelStoredRequest::Function& function = r.functions.at(i);
        text += QStringLiteral("  %1 %2 %3  %4%5\n")
                    .arg(Format::right(QString::number(function.calls), 7),
                         Format::right(KTrelFormat::duration(function.exclusive), 10),
                         Format::right(KTrelFormat::duration(function.inclusive), 10),
                         function.fullName(),
                         function.file.isEmpty()
                             ? QString()
                             : QStringLiteral("  %1:%2").arg(function.file,
                                                             QString::number(function.line)));
    }

    text += QStringLiteral("\nevents (%1)\n").arg(r.events.size());
    for (const QString& event : r.events)
        text += QStringLiteral("  %1\n").arg(event);

    text += QStringLiteral("\nsuperglobal samples (%1)\n").arg(r.samples.size());
    for (const KTrelStoredRequest::Sample& sample : r.samples)
        text += QStringLiteral("  %1 %2 %3\n")
                    .arg(Format::left(sample.name, 9), Format::left(sampleType(sample.type), 5),
                         printable(sample.data, 100));
    return text;
}
