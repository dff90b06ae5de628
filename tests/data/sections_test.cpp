#include "datatesthelpers.h"
#include "support/logcapture.h"
#include "support/testinstallation.h"

#include <trel/trel.h>

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDateTime>

#include <climits>
#include <cstdarg>

namespace {

using datatest::rawExec;
using datatest::refuseInserts;
using datatest::setNextRequestId;

timeval tv(long seconds, long microseconds) {
    timeval value;
    value.tv_sec = seconds;
    value.tv_usec = microseconds;
    return value;
}

void addFormatted(KTrel* trel, int type, const char* filename, unsigned int line, int backtraceId,
                  const char* format, ...) {
    va_list args;
    va_start(args, format);
    trel->addPhpErrorWithArgs(type, filename, line, format, backtraceId, args);
    va_end(args);
}

QByteArray sha1(const QString& text) {
    return QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha1);
}

// Where a write is made to fail.
enum class Failure {
    None,
    SqlBacktraceMissing,   // the second query names a backtrace that does not exist
    ErrorBacktraceMissing, // the last PHP error does
    SqlQueryRow,           // the third query row is refused
    BacktraceRow,          // the first backtrace of the PHP errors is refused
    LogEntryRow,           // the second PHP error row
    FunctionRow,
    EventRow, // the second event key
    BreakdownRow,
    SuperGlobalRow, // the third sample
};

struct Refusal {
    const char* table;
    const char* condition;
};

Refusal refusalOf(Failure failure) {
    switch (failure) {
    case Failure::SqlQueryRow:
        return {"trel_sql_queries", "NEW.line_number = 30"};
    case Failure::BacktraceRow:
        return {"trel_backtrace", "LENGTH(NEW.backtrace) < 20"};
    case Failure::LogEntryRow:
        return {"trel_log_entries", "NEW.line = 22"};
    case Failure::FunctionRow:
        return {"trel_functions_stats", "1 = 1"};
    case Failure::EventRow:
        return {"trel_monitor_events", "NEW.agg_key = 'db.slow'"};
    case Failure::BreakdownRow:
        return {"trel_processing_breakdown", "1 = 1"};
    case Failure::SuperGlobalRow:
        return {"trel_superglobals_data", "NEW.sample_type = ''"};
    default:
        return {nullptr, nullptr};
    }
}

const QString url = QStringLiteral("http://shop.example/cart?id=1");
const QString pageId = QStringLiteral("page-0001");
const QString method = QStringLiteral("POST");
const QString statementA = QStringLiteral("SELECT * FROM items WHERE id = ?");
const QString statementB = QStringLiteral("UPDATE carts SET total = ? WHERE id = ?");

// A long stack with a non-Latin-1 character, stored in the local 8-bit encoding.
QString longStack() {
    QString text;
    for (int i = 0; i < 60; ++i)
        text += QStringLiteral("#%1 Cart->load() /srv/cart.php:%2\n").arg(i).arg(i + 10);
    return text + QString::fromUtf8("#60 \u00e9t\u00e9() \u20ac");
}

QByteArray binarySample() {
    QByteArray data;
    for (int i = 0; i < 3000; ++i)
        data.append(static_cast<char>(i % 256));
    return data;
}

QString longResolvedStatement() {
    return QStringLiteral("UPDATE carts SET total = '%1' WHERE id = 4").arg(QString(1500, 'z'));
}

// Fills the collector with every kind of data; returns the data size that the request
// accounts for.
qint64 fillRequest(KTrel* trel, Failure failure = Failure::None) {
    trel->reset();
    trel->setPageId(pageId);
    trel->setRequest(url);
    trel->setRequestMethod(method);
    trel->setRequestStatus(201);
    trel->setRequestStartTime(QDateTime::fromMSecsSinceEpoch(1700000000123LL));
    trel->setRequestTime(9000000);
    trel->setIsPrimaryPage(true);
    trel->getRequest().setPeakMemoryUsage(12884901888LL);
    trel->getRequest().setMemoryLimit(8589934592LL);
    qint64 size = 36 + pageId.length() + method.length();

    const QString stack = longStack();
    const int bt0 = trel->addBacktrace(stack);
    const int bt1 = trel->addBacktrace(QStringLiteral("#0 {main}"));

    KTrel::SqlQuery q0;
    q0.preparedStatement = statementA;
    q0.resolvedStatement = QStringLiteral("SELECT * FROM items WHERE id = 5");
    q0.status = 0;
    q0.rowsAffected = 1;
    q0.hasPreparedStatement = true;
    q0.queryTime = 5000000000LL;
    q0.errorMessage = QStringLiteral("");
    q0.transactionId = 3;
    q0.backtraceId = bt0;
    q0.lineNumber = 17;
    q0.fileName = QStringLiteral("/srv/cart.php");
    trel->addRequestSqlQuery(q0);
    size += 28 + 0 + q0.resolvedStatement.length();

    KTrel::SqlQuery q1 = q0;
    q1.resolvedStatement = QStringLiteral("SELECT * FROM items WHERE id = 6");
    q1.status = 1146;
    q1.rowsAffected = -1;
    q1.queryTime = 12;
    q1.errorMessage = QStringLiteral("Table 'shop.items' doesn't exist");
    q1.transactionId = 0;
    q1.backtraceId = failure == Failure::SqlBacktraceMissing ? 99 : -1;
    q1.lineNumber = 18;
    trel->addRequestSqlQuery(q1);
    size += 28 + q1.errorMessage.length() + q1.resolvedStatement.length();

    KTrel::SqlQuery q2 = q0;
    q2.preparedStatement = statementB;
    q2.resolvedStatement = longResolvedStatement();
    q2.rowsAffected = 2;
    q2.transactionId = -5;
    q2.backtraceId = bt0; // the same text as q0's: stored again
    q2.lineNumber = 30;
    trel->addRequestSqlQuery(q2);
    size += 28 + q2.resolvedStatement.length();

    KTrel::SqlQuery q3 = q0;
    q3.hasPreparedStatement = false;
    q3.preparedStatement = QStringLiteral("NOT LOOKED UP");
    q3.resolvedStatement = QStringLiteral("COMMIT");
    q3.transactionId = 45;
    q3.backtraceId = -1;
    q3.lineNumber = 40;
    trel->addRequestSqlQuery(q3);
    size += 28 + q3.resolvedStatement.length();

    trel->addPhpError(2, "/srv/cart.php", 21, "Undefined variable: total", bt1);
    size += 4 + 9 + 16 + 13 + 25 + 9;
    trel->getRequest().setErrorsSilenced(true);
    addFormatted(trel, 2048, "/srv/cart.php", 22, -1, "%s is deprecated since %d", "each()", 7);
    trel->getRequest().setErrorsSilenced(false);
    size += 16 + 13 + QStringLiteral("each() is deprecated since 7").length() + 9;
    trel->addPhpError(3, "/srv/lib.php", 4294967295u, "odd type", bt0);
    size += 4 + stack.length() + 16 + 12 + 8 + 11;
    // Two equal errors give two rows, each with its own copy of the backtrace.
    trel->addPhpError(2, "/srv/cart.php", 21, "Undefined variable: total",
                      failure == Failure::ErrorBacktraceMissing ? 2 : bt1);
    size += 4 + 9 + 16 + 13 + 25 + 9;

    KFunctionStats render;
    render.setFunctionScope("View");
    render.setFunctionName("render");
    render.setFilename("/srv/view.php");
    render.setLine(12);
    render.setCalls(3);
    render.setExclusiveElapsed(4294967296LL + 5);
    render.setInclusiveElapsed(2147483648LL);
    trel->getFunctionsStats().insert(render.getFullName(), render);
    size += 24 + 13 + 6 + 4;
    KFunctionStats main;
    main.setFunctionName("main");
    main.setFilename("/srv/index.php");
    main.setLine(1);
    main.setCalls(1);
    main.setExclusiveElapsed(100);
    main.setInclusiveElapsed(9000);
    trel->getFunctionsStats().insert(main.getFullName(), main);
    size += 24 + 14 + 4 + 0;

    trel->addEventAggKey("db.slow");
    trel->addEventAggKey("cache.miss");
    trel->addEventAggKey("db.slow");
    trel->addEventAggKey("");
    size += 8 + 7 + 8 + 10;

    trel->addProcessingBreakdownData(tv(1, 500000), tv(0, 250000), tv(9, 0), tv(0, 100000));
    trel->addProcessingBreakdownData(tv(2, 0), tv(0, 250000), tv(1, 0), tv(0, 50000));
    size += 20;

    const QByteArray binary = binarySample();
    trel->addSerializedSuperGlobal("_GET", binary, KTrel::SAMPLE_START);
    size += 12 + 4 + binary.size();
    trel->addSerializedSuperGlobal("_POST", "a:1:{s:1:\"q\";i:2;}", KTrel::SAMPLE_END);
    size += 12 + 5 + 18;
    trel->addSerializedSuperGlobal(QByteArray("_ENV\0hidden", 11), "x",
                                   static_cast<KTrel::SG_SAMPLING_TYPE>(7));
    size += 12 + 11 + 1;
    return size;
}

class Sections : public ::testing::TestWithParam<Backend> {
protected:
    void TearDown() override { KTrel::release(); }

    KTrel* start(TestInstallation& inst) {
        KTrel* trel = KTrel::instance();
        trel->initialize(inst.serverInfo(), 1);
        return trel;
    }
};

TEST_P(Sections, EveryColumnHoldsTheCollectedRequest) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    ASSERT_TRUE(setNextRequestId(inst, 12));
    KTrel* trel = start(inst);
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    const qint64 size = fillRequest(trel);
    const qint64 after = QDateTime::currentSecsSinceEpoch();
    ASSERT_GT(size, 4 * 1024);

    LogCapture log;
    trel->write();
    ASSERT_EQ(log.count(QStringLiteral("KTrel::"), 0), 0) << log.texts().join('\n').toStdString();
    ASSERT_EQ(trel->getRequestId(), 12);

    // The request and its URL.
    const qint64 urlId =
        inst.scalar(QStringLiteral("SELECT id FROM trel_requests_urls WHERE url = ?"), {url})
            .toLongLong();
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests_urls")), 1);
    EXPECT_EQ(inst.scalar(QStringLiteral("SELECT url_hash FROM trel_requests_urls")).toByteArray(),
              sha1(url));
    const QList<QVariantList> requests = inst.rows(QStringLiteral(
        "SELECT id, page_id, url_id, status_code, method, start_time, request_time, "
        "is_primary_page, peak_memory_usage, data_size, memory_limit FROM trel_requests"));
    ASSERT_EQ(requests.size(), 1);
    EXPECT_EQ(requests[0][0].toLongLong(), 12);
    EXPECT_EQ(requests[0][1].toString(), pageId);
    EXPECT_EQ(requests[0][2].toLongLong(), urlId);
    EXPECT_EQ(requests[0][3].toLongLong(), 201);
    EXPECT_EQ(requests[0][4].toString(), method);
    EXPECT_EQ(requests[0][5].toLongLong(), 1700000000123LL);
    EXPECT_EQ(requests[0][6].toLongLong(), 9000000);
    EXPECT_EQ(requests[0][7].toLongLong(), 1);
    EXPECT_EQ(requests[0][8].toLongLong(), 12884901888LL);
    EXPECT_EQ(requests[0][9].toLongLong(), size / 1024);
    EXPECT_EQ(requests[0][10].toLongLong(), 8589934592LL);

    // Statements: each text once, looked up only for queries that have one.
    const QList<QVariantList> statements = inst.rows(
        QStringLiteral("SELECT id, statement_hash, prepared_statement, statement_explain FROM "
                       "trel_sql_statements ORDER BY id"));
    ASSERT_EQ(statements.size(), 2);
    EXPECT_EQ(statements[0][1].toByteArray(), sha1(statementA));
    EXPECT_EQ(statements[0][2].toString(), statementA);
    EXPECT_EQ(statements[1][1].toByteArray(), sha1(statementB));
    EXPECT_EQ(statements[1][2].toString(), statementB);
    for (const QVariantList& row : statements) {
        EXPECT_FALSE(row[3].isNull());
        EXPECT_EQ(row[3].toString(), QString());
    }
    const qint64 idA = statements[0][0].toLongLong();
    const qint64 idB = statements[1][0].toLongLong();

    const QByteArray stackBytes = longStack().toLocal8Bit();
    auto backtraceText = [&](qint64 id) {
        return inst
            .scalar(QStringLiteral("SELECT backtrace FROM trel_backtrace WHERE id = ?"), {id})
            .toByteArray();
    };

    const QList<QVariantList> queries = inst.rows(QStringLiteral(
        "SELECT request_id, prepared_statement_id, resolved_statement, status, rows_affected, "
        "query_time, error_message, transaction_id, file_name, line_number, backtrace_id FROM "
        "trel_sql_queries ORDER BY id"));
    ASSERT_EQ(queries.size(), 4);
    const QVariantList expectedQueries[4] = {
        {12, idA, QStringLiteral("SELECT * FROM items WHERE id = 5"), 0, 1, 5000000000LL, QString(),
         123, QStringLiteral("/srv/cart.php"), 17},
        {12, idA, QStringLiteral("SELECT * FROM items WHERE id = 6"), 1146, -1, 12,
         QStringLiteral("Table 'shop.items' doesn't exist"), -1, QStringLiteral("/srv/cart.php"),
         18},
        {12, idB, longResolvedStatement(), 0, 2, 5000000000LL, QString(), -1,
         QStringLiteral("/srv/cart.php"), 30},
        {12, -1, QStringLiteral("COMMIT"), 0, 1, 5000000000LL, QString(), 1245,
         QStringLiteral("/srv/cart.php"), 40},
    };
    for (int i = 0; i < 4; ++i) {
        const QVariantList& row = queries[i];
        const QVariantList& expected = expectedQueries[i];
        for (int column : {0, 1, 3, 4, 5, 7, 9})
            EXPECT_EQ(row[column].toLongLong(), expected[column].toLongLong())
                << "query " << i << " column " << column;
        for (int column : {2, 6, 8})
            EXPECT_EQ(row[column].toString(), expected[column].toString())
                << "query " << i << " column " << column;
    }
    EXPECT_FALSE(queries[0][6].isNull()); // an empty error text is stored as such
    const qint64 q0Backtrace = queries[0][10].toLongLong();
    const qint64 q2Backtrace = queries[2][10].toLongLong();
    EXPECT_EQ(queries[1][10].toLongLong(), -1);
    EXPECT_EQ(queries[3][10].toLongLong(), -1);
    EXPECT_NE(q0Backtrace, q2Backtrace);
    EXPECT_EQ(backtraceText(q0Backtrace), stackBytes);
    EXPECT_EQ(backtraceText(q2Backtrace), stackBytes);

    const QList<QVariantList> errors = inst.rows(QStringLiteral(
        "SELECT entry_time, request_id, type, message, filename, line, silenced, backtrace_id "
        "FROM trel_log_entries ORDER BY id"));
    ASSERT_EQ(errors.size(), 4);
    for (const QVariantList& row : errors) {
        EXPECT_GE(row[0].toLongLong(), before);
        EXPECT_LE(row[0].toLongLong(), after);
        EXPECT_EQ(row[1].toLongLong(), 12);
    }
    const QStringList types{QStringLiteral("E_WARNING"), QStringLiteral("E_STRICT "),
                            QStringLiteral("[unknown 3]"), QStringLiteral("E_WARNING")};
    const QStringList messages{
        QStringLiteral("Undefined variable: total"), QStringLiteral("each() is deprecated since 7"),
        QStringLiteral("odd type"), QStringLiteral("Undefined variable: total")};
    const QStringList files{QStringLiteral("/srv/cart.php"), QStringLiteral("/srv/cart.php"),
                            QStringLiteral("/srv/lib.php"), QStringLiteral("/srv/cart.php")};
    const int lines[] = {21, 22, -1, 21};
    const int silenced[] = {0, 1, 0, 0};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(errors[i][2].toString(), types[i]) << i;
        EXPECT_EQ(errors[i][3].toString(), messages[i]) << i;
        EXPECT_EQ(errors[i][4].toString(), files[i]) << i;
        EXPECT_EQ(errors[i][5].toLongLong(), lines[i]) << i;
        EXPECT_EQ(errors[i][6].toLongLong(), silenced[i]) << i;
    }
    EXPECT_EQ(errors[1][7].toLongLong(), -1);
    EXPECT_EQ(backtraceText(errors[0][7].toLongLong()), QByteArray("#0 {main}"));
    EXPECT_EQ(backtraceText(errors[2][7].toLongLong()), stackBytes);
    EXPECT_EQ(backtraceText(errors[3][7].toLongLong()), QByteArray("#0 {main}"));
    EXPECT_NE(errors[0][7].toLongLong(), errors[3][7].toLongLong());
    // Every stored backtrace is referred to by exactly one row.
    EXPECT_EQ(inst.count(QStringLiteral("trel_backtrace")), 5);
    EXPECT_EQ(inst.orphanRows(), 0);

    const QList<QVariantList> functions = inst.rows(QStringLiteral(
        "SELECT request_id, function_name, function_scope, times_called, time_exclusive, "
        "time_inclusive, filename, line FROM trel_functions_stats ORDER BY function_name"));
    ASSERT_EQ(functions.size(), 2);
    EXPECT_EQ(functions[0][0].toLongLong(), 12);
    EXPECT_EQ(functions[0][1].toString(), QStringLiteral("main"));
    EXPECT_EQ(functions[0][2].toString(), QString());
    EXPECT_FALSE(functions[0][2].isNull()); // no scope is an empty text, not NULL
    EXPECT_EQ(functions[0][3].toLongLong(), 1);
    EXPECT_EQ(functions[0][4].toLongLong(), 100);
    EXPECT_EQ(functions[0][5].toLongLong(), 9000);
    EXPECT_EQ(functions[0][6].toString(), QStringLiteral("/srv/index.php"));
    EXPECT_EQ(functions[0][7].toLongLong(), 1);
    EXPECT_EQ(functions[1][0].toLongLong(), 12);
    EXPECT_EQ(functions[1][1].toString(), QStringLiteral("render"));
    EXPECT_EQ(functions[1][2].toString(), QStringLiteral("View"));
    EXPECT_EQ(functions[1][3].toLongLong(), 3);
    EXPECT_EQ(functions[1][4].toLongLong(), 5);
    EXPECT_EQ(functions[1][5].toLongLong(), INT_MIN);
    EXPECT_EQ(functions[1][6].toString(), QStringLiteral("/srv/view.php"));
    EXPECT_EQ(functions[1][7].toLongLong(), 12);

    const QList<QVariantList> events = inst.rows(
        QStringLiteral("SELECT request_id, agg_key FROM trel_monitor_events ORDER BY id"));
    ASSERT_EQ(events.size(), 2);
    EXPECT_EQ(events[0][0].toLongLong(), 12);
    EXPECT_EQ(events[0][1].toString(), QStringLiteral("cache.miss"));
    EXPECT_EQ(events[1][0].toLongLong(), 12);
    EXPECT_EQ(events[1][1].toString(), QStringLiteral("db.slow"));

    const QList<QVariantList> breakdown = inst.rows(
        QStringLiteral("SELECT request_id, database_time, network_time, local_time, php_time "
                       "FROM trel_processing_breakdown"));
    ASSERT_EQ(breakdown.size(), 1);
    EXPECT_EQ(breakdown[0][0].toLongLong(), 12);
    EXPECT_EQ(breakdown[0][1].toLongLong(), 2000000);
    EXPECT_EQ(breakdown[0][2].toLongLong(), 500000);
    EXPECT_EQ(breakdown[0][3].toLongLong(), 150000);
    EXPECT_EQ(breakdown[0][4].toLongLong(), 9000000 - 2000000 - 500000 - 150000);

    const QList<QVariantList> samples = inst.rows(QStringLiteral(
        "SELECT request_id, sg_name, data, sample_type FROM trel_superglobals_data ORDER BY "
        "sg_name"));
    ASSERT_EQ(samples.size(), 3);
    for (const QVariantList& row : samples) {
        EXPECT_EQ(row[0].toLongLong(), 12);
        EXPECT_FALSE(row[3].isNull());
    }
    EXPECT_EQ(samples[0][1].toString(), QStringLiteral("_ENV"));
    EXPECT_EQ(samples[0][2].toByteArray(), QByteArray("x"));
    EXPECT_EQ(samples[0][3].toString(), QString());
    EXPECT_EQ(samples[1][1].toString(), QStringLiteral("_GET"));
    EXPECT_EQ(samples[1][2].toByteArray(), binarySample());
    EXPECT_EQ(samples[1][3].toString(), QStringLiteral("SAMPLE_START"));
    EXPECT_EQ(samples[2][1].toString(), QStringLiteral("_POST"));
    EXPECT_EQ(samples[2][2].toByteArray(), QByteArray("a:1:{s:1:\"q\";i:2;}"));
    EXPECT_EQ(samples[2][3].toString(), QStringLiteral("SAMPLE_END"));
}

TEST_P(Sections, LogLinesComeInSectionOrderWithTheirCounts) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    KTrel* trel = start(inst);
    fillRequest(trel);
    LogCapture log;
    trel->write();

    const QStringList expected{
        QStringLiteral("Trel: writing request data of http://shop.example/cart?id=1 to the db"),
        QStringLiteral("Writing 4 sql queries information to the db"),
        QStringLiteral("Writing 4 PHP errors information to the db"),
        QStringLiteral("Writing 2 functions information to the db"),
        QStringLiteral("Writing events information ( 2 events )"),
        QStringLiteral("Writing processing breakdown information"),
        QStringLiteral("Writing 3 super global samples"),
    };
    EXPECT_EQ(log.texts(4), expected);
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
    for (const LogCapture::Line& line : log.lines())
        EXPECT_EQ(line.stream, 1u);
}

TEST_P(Sections, EmptyCollectionsStillLogAndWriteTheBreakdown) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    KTrel* trel = start(inst);
    trel->reset();
    trel->setPageId(QStringLiteral("abc"));
    trel->setRequest(QStringLiteral("http://shop.example/"));
    trel->setRequestMethod(QStringLiteral("GET"));
    LogCapture log;
    trel->write();

    const QStringList expected{
        QStringLiteral("Trel: writing request data of http://shop.example/ to the db"),
        QStringLiteral("Writing 0 sql queries information to the db"),
        QStringLiteral("Writing 0 PHP errors information to the db"),
        QStringLiteral("Writing 0 functions information to the db"),
        QStringLiteral("Writing events information ( 0 events )"),
        QStringLiteral("Writing processing breakdown information"),
        QStringLiteral("Writing 0 super global samples"),
    };
    EXPECT_EQ(log.texts(4), expected);
    const QList<QVariantList> breakdown = inst.rows(
        QStringLiteral("SELECT request_id, database_time, network_time, local_time, php_time "
                       "FROM trel_processing_breakdown"));
    ASSERT_EQ(breakdown.size(), 1);
    EXPECT_EQ(breakdown[0][0].toLongLong(), trel->getRequestId());
    for (int column = 1; column < 5; ++column)
        EXPECT_EQ(breakdown[0][column].toLongLong(), 0) << column;
    for (const QString& table : TestInstallation::requestTables()) {
        if (table != QLatin1String("trel_processing_breakdown")) {
            EXPECT_EQ(inst.count(table), 0) << table.toStdString();
        }
    }
    EXPECT_EQ(inst.count(QStringLiteral("trel_backtrace")), 0);
}

TEST_P(Sections, TransactionValueJoinsRequestAndTransactionDigits) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    KTrel* trel = start(inst);

    // Per request id: the transaction ids of its queries and the values stored for them.
    struct Case {
        qint64 requestId;
        QList<QPair<qint64, qint64>> transactions;
    };
    const Case cases[] = {
        {7, {{45, 745}}},
        {12, {{3, 123}, {0, -1}, {-1, -1}, {LLONG_MIN, -1}}},
        {5000,
         {{123456, 5000123456LL},
          {1, 50001},
          {999999999999999LL, 5000999999999999999LL}, // 19 digits still fit
          {1000000000000000LL, 0},                    // 20 digits do not
          {LLONG_MAX, 0}}},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(setNextRequestId(inst, c.requestId));
        trel->reset();
        trel->setPageId(QStringLiteral("p"));
        trel->setRequest(QStringLiteral("http://shop.example/tx"));
        trel->setRequestMethod(QStringLiteral("GET"));
        for (const auto& transaction : c.transactions) {
            KTrel::SqlQuery query;
            query.resolvedStatement = QStringLiteral("COMMIT");
            query.transactionId = transaction.first;
            trel->addRequestSqlQuery(query);
        }
        LogCapture log;
        trel->write();
        ASSERT_EQ(log.count(QStringLiteral("KTrel::write:")), 0)
            << log.texts().join('\n').toStdString();
        ASSERT_EQ(trel->getRequestId(), c.requestId);
        const QList<QVariantList> rows = inst.rows(
            QStringLiteral("SELECT transaction_id FROM trel_sql_queries WHERE request_id = ? "
                           "ORDER BY id"),
            {c.requestId});
        ASSERT_EQ(rows.size(), c.transactions.size());
        for (int i = 0; i < rows.size(); ++i)
            EXPECT_EQ(rows[i][0].toLongLong(), c.transactions[i].second)
                << c.requestId << " & " << c.transactions[i].first;
    }
}

// Pads the request with a sample so that its data size is exactly `target`.
void padTo(KTrel* trel, qint64 size, qint64 target) {
    const qint64 padding = target - size - 12 - 4;
    ASSERT_GE(padding, 0);
    trel->addSerializedSuperGlobal("_PAD", QByteArray(static_cast<int>(padding), 'p'),
                                   KTrel::SAMPLE_END);
}

TEST_P(Sections, DataSizeCountsErrorBacktracesButNotQueryBacktraces) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    KTrel* trel = start(inst);
    const QString stack(100, 's');

    // Just at 8 KiB and one byte short of it: any item counted wrongly moves the stored
    // value across the boundary.
    for (qint64 target : {8192, 8191}) {
        trel->reset();
        trel->setPageId(QStringLiteral("abc"));
        trel->setRequest(QStringLiteral("http://shop.example/size"));
        trel->setRequestMethod(QStringLiteral("GET"));
        qint64 size = 36 + 3 + 3;
        const int bt = trel->addBacktrace(stack);
        KTrel::SqlQuery query;
        query.resolvedStatement = QStringLiteral("SELECT 1");
        query.errorMessage = QStringLiteral("none");
        query.backtraceId = bt;
        trel->addRequestSqlQuery(query);
        size += 28 + 8 + 4; // the backtrace is not counted for a query
        trel->addPhpError(8, "/srv/a.php", 1, "message", bt);
        size += 104 + 16 + 8 + 10 + 7;
        trel->addPhpError(8, "/srv/a.php", 1, "message", -1);
        size += 16 + 8 + 10 + 7;
        trel->addEventAggKey("0123456789");
        size += 18;
        KFunctionStats f;
        f.setFunctionName(QByteArray("fn\0x", 4)); // counted whole, stored up to the zero
        f.setFunctionScope("S");
        f.setFilename("f.php");
        trel->getFunctionsStats().insert("S::fn", f);
        size += 24 + 4 + 1 + 5;
        size += 20;
        padTo(trel, size, target);

        LogCapture log;
        trel->write();
        ASSERT_EQ(log.count(QStringLiteral("KTrel::write:")), 0)
            << log.texts().join('\n').toStdString();
        EXPECT_EQ(inst.scalar(QStringLiteral("SELECT data_size FROM trel_requests WHERE id = ?"),
                              {trel->getRequestId()})
                      .toLongLong(),
                  target / 1024)
            << target;
    }
}

struct FailureCase {
    Backend backend;
    Failure failure;
    const char* name;
    const char* message; // part of the logged exception text
};

class FailedWrite : public ::testing::TestWithParam<FailureCase> {
protected:
    void TearDown() override { KTrel::release(); }
};

TEST_P(FailedWrite, LeavesNoRowOfTheRequestAndLogsOnce) {
    const FailureCase& param = GetParam();
    TestInstallation inst(param.backend);
    ASSERT_TRUE(inst.ok());
    const Refusal refusal = refusalOf(param.failure);
    if (refusal.table) {
        ASSERT_TRUE(refuseInserts(inst, QString::fromLatin1(refusal.table),
                                  QString::fromLatin1(refusal.condition)));
    }
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    fillRequest(trel, param.failure);

    LogCapture log;
    EXPECT_NO_THROW(trel->write());
    const QStringList failures = log.texts(0);
    ASSERT_EQ(failures.size(), 1) << log.texts().join('\n').toStdString();
    EXPECT_TRUE(failures[0].startsWith(QStringLiteral("KTrel::write: ")))
        << failures[0].toStdString();
    EXPECT_TRUE(failures[0].contains(QString::fromLatin1(param.message)))
        << failures[0].toStdString();
    EXPECT_EQ(log.count(QStringLiteral("KTrel::write:")), 1);

    for (const QString& table :
         TestInstallation::requestTables() +
             QStringList{QStringLiteral("trel_requests"), QStringLiteral("trel_requests_urls"),
                         QStringLiteral("trel_sql_statements"), QStringLiteral("trel_backtrace")})
        EXPECT_EQ(inst.count(table), 0) << table.toStdString();

    // The same request written again refers to rows that exist.
    if (refusal.table) {
        ASSERT_TRUE(rawExec(inst, QStringLiteral("DROP TRIGGER refuse_%1").arg(refusal.table)));
    }
    fillRequest(trel);
    log.clear();
    trel->write();
    ASSERT_EQ(log.count(QStringLiteral("KTrel::"), 0), 0) << log.texts().join('\n').toStdString();
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests"),
                         QStringLiteral("url_id IN (SELECT id FROM trel_requests_urls)")),
              1);
    EXPECT_EQ(inst.count(QStringLiteral("trel_sql_queries"),
                         QStringLiteral("prepared_statement_id IN (SELECT id FROM "
                                        "trel_sql_statements)")),
              3);
    EXPECT_EQ(inst.count(QStringLiteral("trel_backtrace")), 5);
    EXPECT_EQ(inst.orphanRows(), 0);
}

std::vector<FailureCase> failureCases() {
    const std::pair<Failure, const char*> failures[] = {
        {Failure::SqlBacktraceMissing, "SqlBacktraceMissing"},
        {Failure::ErrorBacktraceMissing, "ErrorBacktraceMissing"},
        {Failure::SqlQueryRow, "SqlQueryRow"},
        {Failure::BacktraceRow, "BacktraceRow"},
        {Failure::LogEntryRow, "LogEntryRow"},
        {Failure::FunctionRow, "FunctionRow"},
        {Failure::EventRow, "EventRow"},
        {Failure::BreakdownRow, "BreakdownRow"},
        {Failure::SuperGlobalRow, "SuperGlobalRow"},
    };
    std::vector<FailureCase> cases;
    for (Backend backend : {Backend::Sqlite, Backend::MySql})
        for (const auto& [failure, name] : failures) {
            const bool missing = failure == Failure::SqlBacktraceMissing ||
                                 failure == Failure::ErrorBacktraceMissing;
            cases.push_back(
                {backend, failure, name,
                 missing ? "Could not find backtrace. ID out of bounds" : "refused by test"});
        }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Backends, Sections, ::testing::Values(Backend::Sqlite, Backend::MySql),
                         [](const auto& info) { return backendName(info.param); });

INSTANTIATE_TEST_SUITE_P(Sections, FailedWrite, ::testing::ValuesIn(failureCases()),
                         [](const auto& info) {
                             return backendName(info.param.backend) + "_" + info.param.name;
                         });

} // namespace
