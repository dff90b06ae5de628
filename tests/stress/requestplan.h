#ifndef TREL_STRESS_REQUESTPLAN_H
#define TREL_STRESS_REQUESTPLAN_H

#include <trel/ktrel.h>

#include <QByteArray>
#include <QList>
#include <QString>

// What one stress request holds, derived from nothing but (tag, seed, index), so that the
// checker can rebuild it and compare what the database gives back. Most requests are the
// benchmarks' reference request plus a varying number of extra items in every section;
// one in eight has the extra items only. The extra items carry hostile texts (quotes,
// SQL, placeholders, backslashes, control characters, multi-byte UTF-8), so a text that
// reached the database any other way than as a bound value shows up as a difference.
class RequestPlan {
public:
    struct Counts {
        int queries = 0;
        int errors = 0;
        int functions = 0;
        int events = 0;
        int samples = 0;
        int backtraces = 0;
        bool operator==(const Counts& o) const {
            return queries == o.queries && errors == o.errors && functions == o.functions &&
                   events == o.events && samples == o.samples && backtraces == o.backtraces;
        }
        bool operator!=(const Counts& o) const { return !(*this == o); }
        // "q30 e4 f200 v8 s6 b32"
        QString toString() const;
        static bool parse(const QString& text, Counts* counts);
    };

    struct Query {
        QString prepared; // stored only when hasPrepared
        bool hasPrepared = false;
        QString resolved;
        QString error;
    };
    struct Error {
        int type = 2;
        QByteArray file;
        QByteArray message;
        bool withBacktrace = false;
    };
    struct Function {
        QByteArray name;
        QByteArray scope;
        QByteArray file;
    };
    struct Sample {
        QByteArray name;
        QByteArray data; // may hold zero bytes: it is stored as bytes
        KTrel::SG_SAMPLING_TYPE type = KTrel::SAMPLE_START;
    };

    RequestPlan(const QString& tag, quint64 seed, int index);

    // "<tag>.<index>": unique per run, and the start of the page id.
    static QString makeKey(const QString& tag, int index);
    // The key at the start of a stored page id; empty when it has none.
    static QString keyOfPageId(const QString& pageId);
    // The counts a page id announces, for readers that have no manifest.
    static bool countsOfPageId(const QString& pageId, Counts* counts);

    // Feeds the request into the collector between reset() and write(), as a host does.
    void collect(KTrel* trel) const;

    // The generator every stress process installs: the file, line and backtrace text it
    // gives to every SQL query.
    static IBacktraceGenerator* newBacktraceGenerator();
    static const QString& backtraceText();
    static const QString& generatorFile();

    QString key;
    QString pageId;
    bool reference = true;
    unsigned referenceSeed = 1;
    QString url;    // empty: the reference request's URL
    QString method; // empty: the reference request's method
    QList<Query> queries;
    QList<Error> errors;
    QList<Function> functions;
    QList<QByteArray> events;
    QList<Sample> samples;
    Counts counts;
};

#endif
