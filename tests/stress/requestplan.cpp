#include "requestplan.h"

#include "referencerequest.h"

#include <QRegularExpression>
#include <QStringList>

#include <random>

namespace {

// Texts that break any statement they are pasted into. None holds a zero byte: the
// collector takes several of them as C strings.
const QStringList& hostileTexts() {
    static const QStringList texts = {
        QStringLiteral("'); DROP TABLE trel_requests;--"),
        QStringLiteral("Robert'); DELETE FROM trel_backtrace; --"),
        QStringLiteral("O'Reilly \"quoted\" `back` ''doubled'' \"\""),
        QStringLiteral("\\' OR '1'='1' -- \\\" OR \"1\"=\"1"),
        QStringLiteral("x' UNION SELECT token_id, ttl FROM trel_tokens WHERE ''='"),
        QStringLiteral(":request_id :page_id :data_size ? ?? $1 %s %1 %% {0}"),
        QStringLiteral("/* open comment -- dash # hash"),
        QStringLiteral("back\\slash \\n \\0 \\x00 at the end\\"),
        QStringLiteral("tab\there\nnew line\r\ncarriage\x01\x1b[0m\x7f"),
        QString::fromUtf8(
            "Z\xc3\xbcrich \xe2\x80\x94 \xe6\x9d\xb1\xe4\xba\xac \xf0\x9f\x9a\x80 "
            "\xce\xa9\xce\xbc\xce\xad\xce\xb3\xce\xb1 \xd8\xb9\xd8\xb1\xd8\xa8\xd9\x8a"),
        QStringLiteral("  leading and trailing blanks  "),
        QStringLiteral("<script>alert('x')</script>&amp;%_%' LIKE '%"),
        QStringLiteral("); COMMIT; BEGIN; INSERT INTO trel_requests (page_id) VALUES ('forged');"),
    };
    return texts;
}

class Draw {
public:
    explicit Draw(quint64 seed) : m_random(seed) {}
    int upTo(int max) { return static_cast<int>(m_random() % static_cast<quint64>(max + 1)); }
    const QString& hostile() { return hostileTexts().at(upTo(hostileTexts().size() - 1)); }
    quint64 next() { return m_random(); }

private:
    std::mt19937_64 m_random;
};

class StressGenerator : public IBacktraceGenerator {
public:
    QString generateBacktrace() override { return RequestPlan::backtraceText(); }
    void getFileAndLine(QString& fileName, int& line) override {
        fileName = RequestPlan::generatorFile();
        line = 4711;
    }
};

} // namespace

QString RequestPlan::Counts::toString() const {
    return QStringLiteral("q%1 e%2 f%3 v%4 s%5 b%6")
        .arg(queries)
        .arg(errors)
        .arg(functions)
        .arg(events)
        .arg(samples)
        .arg(backtraces);
}

bool RequestPlan::Counts::parse(const QString& text, Counts* counts) {
    static const QRegularExpression pattern(
        QStringLiteral("^q(\\d+) e(\\d+) f(\\d+) v(\\d+) s(\\d+) b(\\d+)$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return false;
    counts->queries = match.captured(1).toInt();
    counts->errors = match.captured(2).toInt();
    counts->functions = match.captured(3).toInt();
    counts->events = match.captured(4).toInt();
    counts->samples = match.captured(5).toInt();
    counts->backtraces = match.captured(6).toInt();
    return true;
}

QString RequestPlan::makeKey(const QString& tag, int index) {
    return QStringLiteral("%1.%2").arg(tag).arg(index);
}

QString RequestPlan::keyOfPageId(const QString& pageId) {
    const int end = pageId.indexOf(QLatin1Char(';'));
    return end > 0 ? pageId.left(end) : QString();
}

bool RequestPlan::countsOfPageId(const QString& pageId, Counts* counts) {
    const QStringList parts = pageId.split(QLatin1Char(';'));
    return parts.size() >= 3 && Counts::parse(parts.at(1), counts);
}

const QString& RequestPlan::backtraceText() {
    static const QString text = [] {
        QString t;
        for (int i = 0; t.size() < 1200; ++i)
            t += QStringLiteral("#%1 /var/www/app/src/Db.php(%2): Db->query('SELECT * FROM x "
                                "WHERE a = ''%3'' AND b = \"\\\\\"')\n")
                     .arg(i)
                     .arg(10 + i)
                     .arg(hostileTexts().at(i % hostileTexts().size()));
        return t;
    }();
    return text;
}

const QString& RequestPlan::generatorFile() {
    static const QString file =
        QString::fromUtf8("/var/www/app/src/Caf\xc3\xa9'; DROP TABLE trel_sql_queries;--.php");
    return file;
}

IBacktraceGenerator* RequestPlan::newBacktraceGenerator() {
    return new StressGenerator;
}

RequestPlan::RequestPlan(const QString& tag, quint64 seed, int index) : key(makeKey(tag, index)) {
    // Hostile texts are joined with +, never through QString::arg: arg() would read the
    // "%1" inside them as a place for the next argument.
    Draw draw(seed * 1000003u + static_cast<quint64>(index) * 7919u + 17u);
    reference = draw.upTo(7) != 0;
    referenceSeed = static_cast<unsigned>(draw.next() & 0x7fffffff);
    if (!reference || draw.upTo(3) == 0) {
        const QString text = draw.hostile();
        url = QStringLiteral("https://shop.example.com/search?n=") + QString::number(index % 17) +
              QStringLiteral("&q=") + text;
    }
    if (!reference || draw.upTo(4) == 0)
        method = draw.upTo(1) ? QStringLiteral("GET'--") : QStringLiteral("P\"OST");

    const int extraQueries = draw.upTo(4);
    for (int i = 0; i < extraQueries; ++i) {
        Query q;
        q.hasPrepared = draw.upTo(1) == 1;
        // Few distinct prepared texts, so that statements are shared between requests.
        q.prepared = QStringLiteral("SELECT * FROM t WHERE name = ? /* ") +
                     hostileTexts().at(draw.upTo(3)) + QStringLiteral(" */");
        const QString text = draw.hostile();
        q.resolved = QStringLiteral("SELECT * FROM t WHERE name = '") + text +
                     QStringLiteral("' /* ") + key + QStringLiteral(" #") + QString::number(i) +
                     QStringLiteral(" */");
        if (draw.upTo(2) != 0)
            q.error = draw.hostile();
        queries << q;
    }
    const int extraErrors = draw.upTo(3);
    for (int i = 0; i < extraErrors; ++i) {
        Error e;
        static const int types[] = {2, 8, 512, 1024, 8192};
        e.type = types[draw.upTo(4)];
        const QString file = draw.hostile();
        const QString message = draw.hostile();
        e.file = (QStringLiteral("/var/www/") + file + QStringLiteral(".php")).toUtf8();
        e.message = (message + QStringLiteral(" [") + key + QStringLiteral(" #") +
                     QString::number(i) + QStringLiteral("]"))
                        .toUtf8();
        e.withBacktrace = draw.upTo(1) == 1;
        errors << e;
    }
    const int extraFunctions = draw.upTo(6);
    for (int i = 0; i < extraFunctions; ++i) {
        Function f;
        const QString name = draw.hostile();
        const QString scope = draw.hostile();
        const QString file = draw.hostile();
        f.name = (QStringLiteral("fn_") + QString::number(i) + QLatin1Char('_') + name).toUtf8();
        f.scope = (QStringLiteral("Scope\\") + scope).toUtf8();
        f.file = (QStringLiteral("/src/") + file + QStringLiteral(".php")).toUtf8();
        functions << f;
    }
    const int extraEvents = draw.upTo(3);
    for (int i = 0; i < extraEvents; ++i) {
        const QString text = draw.hostile();
        events
            << (QStringLiteral("event.") + QString::number(i) + QLatin1Char('.') + text).toUtf8();
    }
    const int extraSamples = draw.upTo(3);
    for (int i = 0; i < extraSamples; ++i) {
        Sample s;
        const QString name = draw.hostile();
        const QString data = draw.hostile();
        s.name = (QStringLiteral("_POST") + QString::number(i) + QLatin1Char(' ') + name).toUtf8();
        s.data = (QStringLiteral("a:1:{s:1:\"") + data + QStringLiteral("\";}")).toUtf8();
        // Serialized data is bytes: zero bytes and invalid UTF-8 are stored as they are.
        static const char tail[] = "\0\xff\xfe binary \0 tail";
        s.data.append(tail, static_cast<int>(sizeof(tail) - 1));
        s.type = draw.upTo(1) ? KTrel::SAMPLE_END : KTrel::SAMPLE_START;
        samples << s;
    }

    int errorBacktraces = 0;
    for (const Error& e : qAsConst(errors))
        errorBacktraces += e.withBacktrace ? 1 : 0;
    counts.queries = queries.size() + (reference ? ReferenceRequest::Queries : 0);
    counts.errors = errors.size() + (reference ? ReferenceRequest::Errors : 0);
    counts.functions = functions.size() + (reference ? ReferenceRequest::Functions : 0);
    counts.events = events.size() + (reference ? ReferenceRequest::Events : 0);
    counts.samples = samples.size() + (reference ? ReferenceRequest::Samples : 0);
    // Every SQL query gets the generator's backtrace; the reference request gives two of
    // its errors one.
    counts.backtraces = counts.queries + errorBacktraces + (reference ? 2 : 0);

    const QString text = draw.hostile();
    pageId = key + QLatin1Char(';') + counts.toString() + QLatin1Char(';') + text;
}

void RequestPlan::collect(KTrel* trel) const {
    if (!trel->getBacktraceGenerator())
        trel->setBacktraceGenerator(newBacktraceGenerator());
    if (reference) {
        ReferenceRequest request(referenceSeed);
        request.collect(trel);
    } else {
        trel->setRequest(QStringLiteral("https://shop.example.com/"));
        trel->setRequestMethod(QStringLiteral("GET"));
        trel->setRequestStatus(500);
        trel->setRequestStartTime(QDateTime::currentDateTime());
        trel->setRequestTime(1000);
    }
    trel->setPageId(pageId);
    if (!url.isEmpty())
        trel->setRequest(url);
    if (!method.isEmpty())
        trel->setRequestMethod(method);

    for (const Query& q : queries) {
        KTrel::SqlQuery query;
        query.preparedStatement = q.prepared;
        query.hasPreparedStatement = q.hasPrepared;
        query.resolvedStatement = q.resolved;
        query.errorMessage = q.error;
        query.status = q.error.isEmpty() ? 0 : 1064;
        query.queryTime = 321;
        query.transactionId = 0;
        trel->addRequestSqlQuery(query);
    }
    for (const Error& e : errors) {
        const int bt = e.withBacktrace ? trel->addBacktrace(backtraceText()) : -1;
        trel->addPhpError(e.type, e.file.constData(), 99, e.message.constData(), bt);
    }
    QHash<QByteArray, KFunctionStats>& stats = trel->getFunctionsStats();
    for (const Function& f : functions) {
        KFunctionStats& entry = stats[f.scope + "::" + f.name];
        entry.setFunctionName(f.name);
        entry.setFunctionScope(f.scope);
        entry.setFilename(f.file);
        entry.setLine(7);
        entry.incrementCalls();
        entry.updateTimers(11, 22);
    }
    for (const QByteArray& key : events)
        trel->addEventAggKey(key);
    for (const Sample& s : samples)
        trel->addSerializedSuperGlobal(s.name, s.data, s.type);
}
