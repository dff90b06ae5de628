// Fuzzes a whole request: every add operation of the collector, fed from the input
// (invalid UTF-8, zero bytes, texts of up to a megabyte, negative and overflowing
// numbers, backtrace ids that name nothing, unknown error and sample types), then
// write() to a SQLite installation made once per process. Formats given to
// addPhpErrorWithArgs are fixed ones of this file, never taken from the input.
//
// What must hold besides not crashing, after every write: no row of any request table
// (nor a backtrace) belongs to a request that trel_requests does not hold; no request
// keeps data_size -1; a write that logs "KTrel::write:" stores no request, and fails only
// because an entry names a backtrace the request does not have; any other write stores
// exactly one request whose row, URL, sections, texts, numbers and data size are the ones
// that were added. Every few inputs cleanupDb trims the database to its newest requests.

#include "fuzzsupport.h"

#include <trel/ibacktracegenerator.h>
#include <trel/ktrel.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <QDateTime>
#include <QList>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <set>
#include <string>

namespace {

// The longest text an input makes, and the total of its long texts.
const int MaxText = 1 << 20;
const int MaxLongTexts = 4 << 20;
const int MaxOperations = 48;
const int CleanupEvery = 64;
const quint32 KeepRequests = 8;

class Input {
public:
    Input(const uint8_t* data, size_t size) : in(data, size) {}

    bool done() { return in.remaining_bytes() == 0; }
    bool flag() { return in.ConsumeBool(); }
    int pick(int count) { return in.ConsumeIntegralInRange<int>(0, count - 1); }

    template <typename T> T number() {
        switch (pick(4)) {
        case 0: {
            const T edges[] = {T(0),
                               T(1),
                               T(-1),
                               std::numeric_limits<T>::min(),
                               std::numeric_limits<T>::max(),
                               T(std::numeric_limits<T>::min() + 1),
                               T(std::numeric_limits<T>::max() - 1)};
            return edges[pick(7)];
        }
        case 1:
            return static_cast<T>(in.ConsumeIntegralInRange<int>(-1000, 1000));
        default:
            return in.ConsumeIntegral<T>();
        }
    }

    // Bytes as a host may pass them: anything, zero bytes included; now and then a
    // piece repeated to a long text.
    QByteArray bytes() {
        switch (pick(24)) {
        case 0:
            return QByteArray();
        case 1: {
            const std::string piece = in.ConsumeRandomLengthString(64);
            int length = in.ConsumeIntegralInRange<int>(1, MaxText);
            length = qMin(length, longTextsLeft);
            longTextsLeft -= length;
            QByteArray text;
            if (length <= 0)
                return text;
            text.reserve(length);
            const QByteArray unit =
                piece.empty() ? QByteArray("x") : QByteArray::fromStdString(piece);
            while (text.size() < length)
                text.append(unit);
            text.truncate(length);
            return text;
        }
        default: {
            const std::string text = in.ConsumeRandomLengthString(2048);
            return QByteArray(text.data(), static_cast<int>(text.size()));
        }
        }
    }

    QString text() { return QString::fromUtf8(bytes()); }

private:
    FuzzedDataProvider in;
    int longTextsLeft = MaxLongTexts;
};

// The host's backtrace generator; what it returns is set by the input.
class Generator : public IBacktraceGenerator {
public:
    QString generateBacktrace() override { return backtrace; }
    void getFileAndLine(QString& fileName, int& line) override {
        fileName = file;
        line = lineNumber;
    }

    QString backtrace;
    QString file;
    int lineNumber = 0;
};

Generator* generator = nullptr;

// What the request should store, kept apart from the collector.
struct Expected {
    struct Error {
        QString message;
        QString filename;
        int line;
        int backtraceId;
        qint64 size;
    };
    struct Sample {
        QByteArray name;
        QByteArray data;
        int type;
    };

    QList<QString> backtraces;
    QList<Error> errors;
    QList<KTrel::SqlQuery> queries;
    QList<Sample> samples;

    bool namesMissingBacktrace(int id) const {
        return id != -1 && (id < 0 || id >= backtraces.size());
    }
};

void addFormatted(KTrel* trel, int type, const char* filename, unsigned int line, int backtraceId,
                  const char* format, ...) {
    va_list args;
    va_start(args, format);
    trel->addPhpErrorWithArgs(type, filename, line, format, backtraceId, args);
    va_end(args);
}

int backtraceId(Input& in, const Expected& expected) {
    switch (in.pick(4)) {
    case 0:
        return -1;
    case 1:
    case 2:
        if (!expected.backtraces.isEmpty())
            return in.pick(static_cast<int>(expected.backtraces.size()));
        return -1;
    default:
        return in.number<int>();
    }
}

void addPhpError(KTrel* trel, Input& in, Expected& expected) {
    const int type = in.number<int>();
    const QByteArray file = in.bytes();
    // A host may have no file to name.
    const char* fileName = in.flag() ? file.constData() : nullptr;
    const unsigned int line = in.number<unsigned int>();
    const int backtrace = backtraceId(in, expected);
    Expected::Error error;
    error.filename = QString::fromUtf8(fileName);
    if (in.flag()) {
        const QByteArray message = in.bytes();
        trel->addPhpError(type, fileName, line, message.constData(), backtrace);
        error.message = QString::fromUtf8(message.constData());
    } else {
        const QByteArray argument = in.bytes();
        const int value = in.number<int>();
        switch (in.pick(3)) {
        case 0:
            addFormatted(trel, type, fileName, line, backtrace, "%s %d", argument.constData(),
                         value);
            error.message = QString::asprintf("%s %d", argument.constData(), value);
            break;
        case 1:
            addFormatted(trel, type, fileName, line, backtrace, "%d%% of %s", value,
                         argument.constData());
            error.message = QString::asprintf("%d%% of %s", value, argument.constData());
            break;
        default:
            addFormatted(trel, type, fileName, line, backtrace, "%u:%x", value, value);
            error.message = QString::asprintf("%u:%x", value, value);
            break;
        }
    }
    // A message past the bound is kept cut, with its full length.
    if (error.message.size() > KTrel::MaxErrorMessageChars) {
        const int size = error.message.size();
        error.message.truncate(KTrel::MaxErrorMessageChars);
        error.message += QStringLiteral(" [cut, %1 characters in all]").arg(size);
    }
    const KTrel::PhpError& added = trel->getLastPHPError();
    if (added.message != error.message || added.filename != error.filename)
        fuzz::violation("a PHP error is kept unlike given", added.message.left(200));
    error.line = static_cast<int>(line);
    error.backtraceId = backtrace;
    error.size = 16 + added.type.length() + error.message.length() + error.filename.length();
    expected.errors << error;
}

void addSqlQuery(KTrel* trel, Input& in, Expected& expected) {
    KTrel::SqlQuery query;
    query.preparedStatement = in.text();
    query.resolvedStatement = in.text();
    query.status = in.number<int>();
    query.extraText = in.text();
    query.rowsAffected = in.number<int>();
    query.hasPreparedStatement = in.flag();
    query.queryTime = in.number<qint64>();
    query.errorMessage = in.text();
    query.transactionId = in.number<qint64>();
    query.backtraceId = backtraceId(in, expected);
    query.lineNumber = in.number<int>();
    query.fileName = in.text();
    const bool generated = in.flag();
    if (generated) {
        generator->backtrace = in.text();
        generator->file = in.text();
        generator->lineNumber = in.number<int>();
        trel->setBacktraceGenerator(generator);
    }
    trel->addRequestSqlQuery(query);
    trel->setBacktraceGenerator(nullptr);
    if (generated) {
        if (query.backtraceId != expected.backtraces.size() || query.fileName != generator->file ||
            query.lineNumber != generator->lineNumber)
            fuzz::violation("a generated backtrace is not attached to its query");
        expected.backtraces << generator->backtrace;
    }
    expected.queries << query;
}

void addFunctionStats(KTrel* trel, Input& in) {
    KFunctionStats& stats = trel->getFunctionsStats()[in.bytes()];
    stats.setFunctionName(in.bytes());
    stats.setFunctionScope(in.bytes());
    stats.setFilename(in.bytes());
    stats.setLine(in.number<int>());
    switch (in.pick(3)) {
    case 0:
        stats.setCalls(in.number<int>());
        break;
    case 1:
        stats.incrementCalls();
        break;
    default:
        stats.aggregate(stats);
        break;
    }
    stats.updateTimers(in.number<qint64>(), in.number<qint64>());
}

timeval duration(Input& in) {
    timeval value;
    value.tv_sec = in.number<decltype(value.tv_sec)>();
    value.tv_usec = in.number<decltype(value.tv_usec)>();
    return value;
}

void setRequestFacts(KTrel* trel, Input& in) {
    KTrel::Request& request = trel->getRequest();
    switch (in.pick(12)) {
    case 0:
        trel->setRequest(in.text());
        break;
    case 1:
        trel->setRequestMethod(in.text());
        break;
    case 2:
        trel->setPageId(in.text());
        break;
    case 3:
        trel->setRequestStatus(in.number<int>());
        break;
    case 4:
        trel->setRequestStartTime(QDateTime::fromMSecsSinceEpoch(in.number<qint64>(), Qt::UTC));
        break;
    case 5:
        trel->setRequestTime(in.number<qint64>());
        break;
    case 6:
        request.setPeakMemoryUsage(in.number<qint64>());
        break;
    case 7:
        request.setMemoryLimit(in.number<qint64>());
        break;
    case 8:
        request.setBreakdownFrozen(in.flag());
        break;
    case 9:
        request.setErrorsSilenced(in.flag());
        break;
    case 10:
        trel->setIsPrimaryPage(in.flag());
        break;
    default:
        trel->setCollectionEnabled(in.pick(16) != 0);
        break;
    }
}

// Checks what one successful write stored for the request `id`.
void checkStored(KTrel* trel, qint64 id, const Expected& expected) {
    const KTrel::Request& request = trel->getRequest();
    const QVariantList key = {id};
    QSqlQuery row = fuzz::run(
        QStringLiteral(
            "SELECT r.page_id, r.method, r.status_code, r.start_time, r.request_time, "
            "r.is_primary_page, r.peak_memory_usage, r.memory_limit, r.data_size, "
            "u.url FROM trel_requests r LEFT JOIN trel_requests_urls u ON u.id = r.url_id "
            "WHERE r.id = ?"),
        key);
    if (!row.next())
        fuzz::violation("the written request is not in trel_requests", QString::number(id));
    if (row.value(0).toString() != trel->getPageId() ||
        row.value(1).toString() != request.getMethod())
        fuzz::violation("page id or method stored unlike given");
    if (row.value(2).toInt() != request.getStatus() ||
        row.value(3).toLongLong() != request.getStartTime().toMSecsSinceEpoch() ||
        row.value(4).toLongLong() != request.getRequestTime() ||
        row.value(5).toInt() != (trel->getIsPrimaryPage() ? 1 : 0) ||
        row.value(6).toLongLong() != request.getPeakMemoryUsage() ||
        row.value(7).toLongLong() != request.getMemoryLimit())
        fuzz::violation("a number of the request row is stored unlike given");
    if (row.value(9).isNull() || row.value(9).toString() != request.getUrl())
        fuzz::violation("the request's URL is stored unlike given", row.value(9).toString());

    qint64 size = 36 + trel->getPageId().length() + request.getMethod().length() + 20;

    QSqlQuery queries = fuzz::run(
        QStringLiteral(
            "SELECT q.resolved_statement, q.status, q.rows_affected, q.query_time, "
            "q.error_message, q.file_name, q.line_number, q.transaction_id, "
            "q.prepared_statement_id, s.prepared_statement, q.backtrace_id, b.backtrace, b.id "
            "FROM trel_sql_queries q "
            "LEFT JOIN trel_sql_statements s ON s.id = q.prepared_statement_id "
            "LEFT JOIN trel_backtrace b ON b.id = q.backtrace_id "
            "WHERE q.request_id = ? ORDER BY q.id"),
        key);
    for (const KTrel::SqlQuery& query : expected.queries) {
        if (!queries.next())
            fuzz::violation("an SQL query is not stored");
        if (queries.value(0).toString() != query.resolvedStatement ||
            queries.value(4).toString() != query.errorMessage ||
            queries.value(5).toString() != query.fileName)
            fuzz::violation("an SQL query's text is stored unlike given");
        if (queries.value(1).toInt() != query.status ||
            queries.value(2).toInt() != query.rowsAffected ||
            queries.value(3).toLongLong() != query.queryTime ||
            queries.value(6).toInt() != query.lineNumber)
            fuzz::violation("an SQL query's number is stored unlike given");
        // The request id and the host's transaction id written one after the other.
        qint64 transaction = -1;
        if (query.transactionId > 0) {
            bool fits = false;
            transaction = QStringLiteral("%1%2").arg(id).arg(query.transactionId).toLongLong(&fits);
            transaction = fits ? transaction : 0;
        }
        if (queries.value(7).toLongLong() != transaction)
            fuzz::violation("an SQL query's transaction is stored unlike given");
        if (query.hasPreparedStatement) {
            if (queries.value(9).isNull() || queries.value(9).toString() != query.preparedStatement)
                fuzz::violation("an SQL query names the wrong prepared statement",
                                queries.value(9).toString().left(200) + " for " +
                                    query.preparedStatement.left(200));
        } else if (queries.value(8).toLongLong() != -1) {
            fuzz::violation("an SQL query without a prepared statement names one");
        }
        if (query.backtraceId == -1) {
            if (queries.value(10).toLongLong() != -1)
                fuzz::violation("an SQL query without a backtrace names one");
        } else if (queries.value(12).isNull() ||
                   queries.value(11).toByteArray() !=
                       expected.backtraces.at(query.backtraceId).toLocal8Bit()) {
            fuzz::violation("an SQL query's backtrace is stored unlike given");
        }
        size += 28 + query.errorMessage.length() + query.resolvedStatement.length();
    }
    if (queries.next())
        fuzz::violation("more SQL queries stored than added");

    QSqlQuery errors =
        fuzz::run(QStringLiteral(
                      "SELECT e.message, e.filename, e.line, e.backtrace_id, b.backtrace, b.id "
                      "FROM trel_log_entries e LEFT JOIN trel_backtrace b ON b.id = e.backtrace_id "
                      "WHERE e.request_id = ? ORDER BY e.id"),
                  key);
    for (const Expected::Error& error : expected.errors) {
        if (!errors.next())
            fuzz::violation("a PHP error is not stored");
        if (errors.value(0).toString() != error.message ||
            errors.value(1).toString() != error.filename || errors.value(2).toInt() != error.line)
            fuzz::violation("a PHP error is stored unlike given", error.message.left(200));
        size += error.size;
        if (error.backtraceId == -1) {
            if (errors.value(3).toLongLong() != -1)
                fuzz::violation("a PHP error without a backtrace names one");
        } else {
            const QString& text = expected.backtraces.at(error.backtraceId);
            // An empty backtrace may be stored as NULL: both read as no bytes.
            if (errors.value(5).isNull() || errors.value(4).toByteArray() != text.toLocal8Bit())
                fuzz::violation("a PHP error's backtrace is stored unlike given");
            size += 4 + text.length();
        }
    }
    if (errors.next())
        fuzz::violation("more PHP errors stored than added");

    const QHash<QByteArray, KFunctionStats>& functions = trel->getFunctionsStats();
    if (fuzz::count(QStringLiteral("trel_functions_stats"),
                    QStringLiteral("request_id = %1").arg(id)) != functions.size())
        fuzz::violation("function statistics stored unlike added");
    for (const KFunctionStats& stats : functions)
        size += 24 + stats.getFunctionName().size() + stats.getFunctionScope().size() +
                stats.getFilename().size();

    const std::set<QByteArray>& keys = trel->getEventAggKeys();
    if (fuzz::count(QStringLiteral("trel_monitor_events"),
                    QStringLiteral("request_id = %1").arg(id)) != qint64(keys.size()))
        fuzz::violation("monitor events stored unlike added");
    for (const QByteArray& key : keys) {
        if (key.isEmpty())
            fuzz::violation("an empty event key is kept");
        size += 8 + key.size();
    }

    QSqlQuery breakdown =
        fuzz::run(QStringLiteral("SELECT database_time, network_time, local_time, php_time FROM "
                                 "trel_processing_breakdown WHERE request_id = ?"),
                  key);
    if (!breakdown.next())
        fuzz::violation("no processing breakdown stored");
    if (breakdown.value(0).toLongLong() != request.getDatabaseTime() ||
        breakdown.value(1).toLongLong() != request.getNetworkTime() ||
        breakdown.value(2).toLongLong() != request.getLocalTime() ||
        breakdown.value(3).toLongLong() < 0)
        fuzz::violation("the processing breakdown is stored unlike given");
    if (breakdown.next())
        fuzz::violation("more than one processing breakdown stored");

    QSqlQuery samples =
        fuzz::run(QStringLiteral("SELECT sg_name, data, sample_type FROM trel_superglobals_data "
                                 "WHERE request_id = ? ORDER BY rowid"),
                  key);
    for (const Expected::Sample& sample : expected.samples) {
        if (!samples.next())
            fuzz::violation("a superglobal sample is not stored");
        const QString type = sample.type == 0   ? QStringLiteral("SAMPLE_START")
                             : sample.type == 1 ? QStringLiteral("SAMPLE_END")
                                                : QString();
        if (samples.value(0).toString() != QString::fromUtf8(sample.name.constData()) ||
            samples.value(1).toByteArray() != sample.data || samples.value(2).toString() != type)
            fuzz::violation("a superglobal sample is stored unlike given");
        size += 12 + sample.name.size() + sample.data.size();
    }
    if (samples.next())
        fuzz::violation("more superglobal samples stored than added");

    if (row.value(8).toLongLong() != size / 1024)
        fuzz::violation("the data size is not the request's",
                        QStringLiteral("%1 stored, %2 expected")
                            .arg(row.value(8).toLongLong())
                            .arg(size / 1024));
}

// Rows that belong to no stored request, and backtraces no row refers to.
qint64 orphanRows() {
    qint64 orphans = 0;
    for (const char* table :
         {"trel_sql_queries", "trel_log_entries", "trel_functions_stats", "trel_monitor_events",
          "trel_processing_breakdown", "trel_superglobals_data"})
        orphans += fuzz::count(QString::fromLatin1(table),
                               QStringLiteral("request_id NOT IN (SELECT id FROM trel_requests)"));
    orphans +=
        fuzz::count(QStringLiteral("trel_backtrace"),
                    QStringLiteral("id NOT IN (SELECT backtrace_id FROM trel_sql_queries) "
                                   "AND id NOT IN (SELECT backtrace_id FROM trel_log_entries)"));
    return orphans;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::captureLog(3);
    KTrel* trel = KTrel::instance();
    trel->initialize(fuzz::installation(), fuzz::Stream);
    generator = new Generator;
    // Installed only around the queries that use it. The collector deletes the generator
    // installed when it is destroyed, so this one stays this file's.
    fuzz::checkDb();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static quint64 runs = 0;
    KTrel* trel = KTrel::instance();
    Input in(data, size);
    Expected expected;

    trel->reset();
    trel->setEnableDatabaseWrite(true);
    for (int op = 0; op < MaxOperations && !in.done(); ++op) {
        switch (in.pick(10)) {
        case 0:
            addPhpError(trel, in, expected);
            break;
        case 1: {
            const QString text = in.text();
            if (trel->addBacktrace(text) != expected.backtraces.size())
                fuzz::violation("addBacktrace returns the wrong id");
            expected.backtraces << text;
            break;
        }
        case 2:
            addSqlQuery(trel, in, expected);
            break;
        case 3:
            addFunctionStats(trel, in);
            break;
        case 4:
            trel->addEventAggKey(in.bytes());
            break;
        case 5: {
            Expected::Sample sample{in.bytes(), in.bytes(), in.number<int>()};
            trel->addSerializedSuperGlobal(sample.name, sample.data,
                                           static_cast<KTrel::SG_SAMPLING_TYPE>(sample.type));
            expected.samples << sample;
            break;
        }
        case 6:
            trel->addProcessingBreakdownData(duration(in), duration(in), duration(in),
                                             duration(in));
            break;
        case 7:
            if (in.pick(8) == 0)
                trel->setEnableDatabaseWrite(false);
            break;
        default:
            setRequestFacts(trel, in);
            break;
        }
    }

    bool missingBacktrace = false;
    for (const Expected::Error& error : expected.errors)
        missingBacktrace = missingBacktrace || expected.namesMissingBacktrace(error.backtraceId);
    for (const KTrel::SqlQuery& query : expected.queries)
        missingBacktrace = missingBacktrace || expected.namesMissingBacktrace(query.backtraceId);

    const qint64 before = fuzz::count(QStringLiteral("trel_requests"));
    fuzz::logLines().clear();
    trel->write();
    const qint64 after = fuzz::count(QStringLiteral("trel_requests"));
    QString failure;
    for (const fuzz::LogLine& line : fuzz::logLines())
        if (line.level == 0)
            failure += line.text.left(500) + QLatin1Char('\n');
    const bool writes = trel->isEnableDatabaseWrite() && trel->isCollectionEnabled();

    if (fuzz::countLines(QStringLiteral("KTrel::write:"), 0) > 0 && after != before)
        fuzz::violation("a failed write stored a request", failure);
    if (!writes) {
        if (after != before || !failure.isEmpty())
            fuzz::violation("a write that should not run changed something", failure);
    } else if (missingBacktrace) {
        if (fuzz::countLines(QStringLiteral("KTrel::write:"), 0) != 1 ||
            !failure.contains(QLatin1String("Could not find backtrace. ID out of bounds")))
            fuzz::violation("a request naming a missing backtrace is not refused", failure);
    } else {
        if (!failure.isEmpty())
            fuzz::violation("a valid request fails to write", failure);
        if (after != before + 1)
            fuzz::violation("a successful write did not store one request");
        checkStored(trel, trel->getRequestId(), expected);
    }

    if (fuzz::count(QStringLiteral("trel_requests"), QStringLiteral("data_size = -1")) != 0)
        fuzz::violation("a request keeps data_size -1");
    if (const qint64 orphans = orphanRows())
        fuzz::violation("rows belong to no stored request", QString::number(orphans));

    if (++runs % CleanupEvery == 0) {
        fuzz::logLines().clear();
        try {
            trel->cleanupDb(KeepRequests);
        } catch (const std::exception& e) {
            fuzz::violation("cleanupDb fails", QString::fromUtf8(e.what()));
        }
        if (fuzz::count(QStringLiteral("trel_requests")) > KeepRequests)
            fuzz::violation("cleanupDb keeps too many requests");
        if (const qint64 orphans = orphanRows())
            fuzz::violation("cleanupDb leaves rows of deleted requests", QString::number(orphans));
    }
    return 0;
}
