// Multi-row inserts on MariaDB store what the row-by-row writer stores: the same
// requests are written by the batched path, by the row-by-row path on MariaDB (batching
// switched off) and on SQLite, and read back column by column, links resolved to the
// rows they name. Also: the split of statements, backtrace ids under other
// auto-increment settings, and a statement failing in the middle of a batch.

#include "storage/kbatchinsert.h"
#include "storage/storagetest.h"
#include "support/logcapture.h"

#include <trel/trel.h>

#include <gtest/gtest.h>

#include <QSqlQuery>

#include <functional>

namespace {

// Every request table read back in id order, one line per row, without the rows' own
// ids; the request's URL, statement and backtrace ids are replaced by the texts they
// name, so that two databases compare equal whatever ids they handed out. An error's
// time is the clock's when it was added, so only its plausibility is compared; a query's
// transaction value starts with the request's id, which is left out.
QStringList dump(TestInstallation& inst) {
    const QString backtrace =
        QStringLiteral("(SELECT backtrace FROM trel_backtrace b WHERE b.id = t.backtrace_id)");
    const QList<QPair<QString, QString>> tables = {
        {QStringLiteral("trel_requests"),
         QStringLiteral("page_id, (SELECT url FROM trel_requests_urls u WHERE u.id = t.url_id), "
                        "status_code, method, start_time, request_time, is_primary_page, "
                        "peak_memory_usage, data_size, memory_limit")},
        {QStringLiteral("trel_sql_queries"),
         QStringLiteral(
             "(SELECT prepared_statement FROM trel_sql_statements s WHERE s.id = "
             "t.prepared_statement_id), prepared_statement_id = -1, "
             "resolved_statement, status, rows_affected, query_time, error_message, "
             "CASE WHEN transaction_id <= 0 THEN transaction_id ELSE "
             "SUBSTR(CAST(transaction_id AS CHAR), LENGTH(CAST(request_id AS CHAR)) + 1) "
             "END, file_name, line_number, backtrace_id = -1, ") +
             backtrace},
        {QStringLiteral("trel_log_entries"),
         QStringLiteral("entry_time > 1700000000, type, message, filename, line, silenced, "
                        "backtrace_id = -1, ") +
             backtrace},
        {QStringLiteral("trel_functions_stats"),
         QStringLiteral("function_name, function_scope, times_called, time_exclusive, "
                        "time_inclusive, filename, line")},
        {QStringLiteral("trel_monitor_events"), QStringLiteral("agg_key")},
        {QStringLiteral("trel_processing_breakdown"),
         QStringLiteral("database_time, network_time, local_time, php_time")},
        {QStringLiteral("trel_superglobals_data"), QStringLiteral("sg_name, data, sample_type")},
    };
    QStringList lines;
    for (const auto& table : tables) {
        const QString order = table.first == QLatin1String("trel_processing_breakdown") ||
                                      table.first == QLatin1String("trel_superglobals_data")
                                  ? QStringLiteral("request_id")
                                  : QStringLiteral("id");
        for (const QVariantList& row : inst.rows(QStringLiteral("SELECT %1 FROM %2 t ORDER BY %3")
                                                     .arg(table.second, table.first, order))) {
            QStringList values;
            for (const QVariant& value : row) {
                const QByteArray bytes = value.metaType().id() == QMetaType::QByteArray
                                             ? value.toByteArray()
                                             : value.toString().toUtf8();
                values << (value.isNull() ? QStringLiteral("NULL")
                                          : QString::fromLatin1(
                                                bytes.toPercentEncoding(" :/'\"\\#()?.,;=*<>")));
            }
            lines << table.first + QLatin1Char(' ') + values.join(QLatin1Char('|'));
        }
    }
    return lines;
}

// Empty when the dumps are equal, or the first line that differs in each.
std::string difference(const QStringList& a, const QStringList& b) {
    for (int i = 0; i < qMax(a.size(), b.size()); ++i) {
        const QString left = a.value(i, QStringLiteral("(none)"));
        const QString right = b.value(i, QStringLiteral("(none)"));
        if (left != right)
            return QStringLiteral("line %1 of %2/%3:\n  %4\n  %5")
                .arg(i)
                .arg(a.size())
                .arg(b.size())
                .arg(left.left(400), right.left(400))
                .toStdString();
    }
    return std::string();
}

class BatchSwitch {
public:
    explicit BatchSwitch(bool on) { KBatchInsert::setEnabled(on); }
    ~BatchSwitch() { KBatchInsert::setEnabled(true); }
};

using Filler = std::function<void(KTrel*)>;

// The reference request's shape: queries with backtraces and statements, errors, many
// functions, events and samples.
void referenceLike(KTrel* trel) {
    setRequestFacts(trel, QStringLiteral("http://shop.example/cart?id=7"));
    for (int i = 0; i < 30; ++i) {
        KTrel::SqlQuery query;
        query.preparedStatement = QStringLiteral("SELECT * FROM t%1 WHERE id = ?").arg(i % 20);
        query.resolvedStatement =
            QStringLiteral("SELECT * FROM t%1 WHERE id = %2").arg(i % 20).arg(i);
        query.hasPreparedStatement = i % 3 != 0;
        query.transactionId = i % 3 == 1 ? 5 : 0;
        query.queryTime = 100 + i;
        query.rowsAffected = i;
        query.backtraceId =
            i % 4 == 0 ? -1 : trel->addBacktrace(QStringLiteral("#0 q%1\n").arg(i).repeated(40));
        query.errorMessage = i == 7 ? QStringLiteral("Table 't7' doesn't exist") : QString();
        query.fileName = QStringLiteral("model.php");
        query.lineNumber = i;
        trel->addRequestSqlQuery(query);
    }
    for (int i = 0; i < 4; ++i)
        trel->addPhpError(1 << i, "lib.php", 10 + i, "an error",
                          i % 2 ? trel->addBacktrace(QStringLiteral("#0 e%1").arg(i)) : -1);
    for (int i = 0; i < 200; ++i) {
        KFunctionStats stats;
        stats.setFunctionName(QByteArray("function_") + QByteArray::number(i));
        stats.setFunctionScope("Scope");
        stats.setFilename("src/file.php");
        stats.setLine(i);
        stats.setCalls(i + 1);
        stats.updateTimers(i * 10, i * 20);
        trel->getFunctionsStats().insert(QByteArray("Scope::function_") + QByteArray::number(i),
                                         stats);
    }
    for (int i = 0; i < 8; ++i)
        trel->addEventAggKey(QByteArray("event.") + QByteArray::number(i));
    for (int i = 0; i < 6; ++i)
        trel->addSerializedSuperGlobal(QByteArray("_S") + QByteArray::number(i),
                                       QByteArray(1024, 'a' + i),
                                       i % 2 ? KTrel::SAMPLE_END : KTrel::SAMPLE_START);
    trel->addProcessingBreakdownData({0, 1500}, {0, 200}, {0, 0}, {0, 300});
}

// Texts that a literal could break: quotes, backslashes, zero bytes, placeholders,
// characters beyond the BMP and every byte value in a sample.
void hostile(KTrel* trel) {
    const QString nasty = QStringLiteral("it's \\' \" \\0 ; -- :x ? X'00' ") + QChar(0) +
                          QStringLiteral(" \U0001F600 \u00e9 %1");
    setRequestFacts(trel, QStringLiteral("http://h.example/?q=") + nasty);
    trel->setPageId(nasty);
    trel->setRequestMethod(nasty);
    KTrel::SqlQuery query;
    query.preparedStatement = nasty.arg(1);
    query.resolvedStatement = nasty.arg(2);
    query.hasPreparedStatement = true;
    query.errorMessage = nasty.arg(3);
    query.fileName = nasty.arg(4);
    query.backtraceId = trel->addBacktrace(nasty.arg(5));
    trel->addRequestSqlQuery(query);
    trel->addPhpError(2, "f\\'.php", 1, nasty.toUtf8().constData(),
                      trel->addBacktrace(nasty.arg(6)));
    KFunctionStats stats;
    stats.setFunctionName(QByteArray("fn'\\\xf0\x9f\x98\x80", 8));
    stats.setFunctionScope(QByteArray("sc\0ope", 6));
    stats.setFilename("");
    trel->getFunctionsStats().insert("x", stats);
    trel->addEventAggKey(QByteArray("ev'\\\"", 5));
    QByteArray bytes;
    for (int i = 0; i < 512; ++i)
        bytes += static_cast<char>(i % 256);
    trel->addSerializedSuperGlobal("_B'\\", bytes, KTrel::SAMPLE_START);
    trel->addSerializedSuperGlobal("_E", QByteArray(), static_cast<KTrel::SG_SAMPLING_TYPE>(7));
}

// More rows and bytes than one statement takes: 5,000 functions and 12 samples of 1 MB
// (the server's packet is 16 MB, and a literal writes each byte as two).
void largest(KTrel* trel) {
    setRequestFacts(trel, QStringLiteral("http://big.example/"));
    for (int i = 0; i < 5000; ++i) {
        KFunctionStats stats;
        stats.setFunctionName(QByteArray("f") + QByteArray::number(i));
        stats.setFunctionScope("S");
        stats.setFilename("big.php");
        stats.setCalls(i);
        trel->getFunctionsStats().insert(QByteArray("S::f") + QByteArray::number(i), stats);
    }
    for (int i = 0; i < 12; ++i)
        trel->addSerializedSuperGlobal(QByteArray("_L") + QByteArray::number(i),
                                       QByteArray(1024 * 1024, static_cast<char>('A' + i)),
                                       KTrel::SAMPLE_END);
}

void emptiest(KTrel*) {}

// Writes the request that `fill` makes on a fresh installation; returns its dump.
QStringList writeAndDump(Backend backend, bool batched, const Filler& fill, int* statements) {
    BatchSwitch batch(batched);
    TestInstallation inst(backend);
    if (!inst.ok())
        return {QStringLiteral("no installation")};
    TestCollector trel;
    trel.initialize(inst.serverInfo(), 1);
    trel.reset();
    fill(&trel);
    LogCapture log;
    SqlTrace trace;
    trel.write();
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 1);
    if (statements)
        *statements = trace.statements().size();
    return dump(inst);
}

using BatchedWrite = CollectorTest;

TEST_F(BatchedWrite, StoresWhatTheRowByRowWriterStores) {
    const QList<QPair<const char*, Filler>> requests = {{"reference", referenceLike},
                                                        {"hostile", hostile},
                                                        {"largest", largest},
                                                        {"emptiest", emptiest}};
    for (const auto& request : requests) {
        SCOPED_TRACE(request.first);
        int batchedStatements = 0, rowStatements = 0;
        const QStringList batched =
            writeAndDump(Backend::MySql, true, request.second, &batchedStatements);
        const QStringList rowByRow =
            writeAndDump(Backend::MySql, false, request.second, &rowStatements);
        int sqliteStatements = 0, sqliteRowStatements = 0;
        const QStringList sqlite =
            writeAndDump(Backend::Sqlite, true, request.second, &sqliteStatements);
        const QStringList sqliteRows =
            writeAndDump(Backend::Sqlite, false, request.second, &sqliteRowStatements);
        EXPECT_GE(batched.size(), 2);
        EXPECT_EQ(difference(batched, rowByRow), "");
        EXPECT_EQ(difference(batched, sqlite), "");
        EXPECT_EQ(difference(sqlite, sqliteRows), "");
        if (QByteArray(request.first) == "reference" || QByteArray(request.first) == "largest") {
            EXPECT_LT(batchedStatements * 3, rowStatements)
                << batchedStatements << " statements batched, " << rowStatements << " row by row";
            EXPECT_LT(sqliteStatements * 3, sqliteRowStatements)
                << sqliteStatements << " SQLite statements, " << sqliteRowStatements
                << " row by row";
        }
    }
}

// SQLite keeps a value's storage class: texts are text (the views compare and search
// them), numbers are integers, samples are blobs.
TEST_F(BatchedWrite, SqliteKeepsEachValuesStorageClass) {
    TestInstallation inst(Backend::Sqlite);
    ASSERT_TRUE(inst.ok());
    TestCollector trel;
    trel.initialize(inst.serverInfo(), 1);
    trel.reset();
    referenceLike(&trel);
    trel.write();
    const QList<QPair<QString, QString>> expected = {
        {QStringLiteral("SELECT DISTINCT typeof(page_id), typeof(method), typeof(start_time), "
                        "typeof(url_id), typeof(data_size) FROM trel_requests"),
         QStringLiteral("text|text|integer|integer|integer")},
        {QStringLiteral("SELECT DISTINCT typeof(function_name), typeof(function_scope), "
                        "typeof(filename), typeof(times_called), typeof(line) "
                        "FROM trel_functions_stats"),
         QStringLiteral("text|text|text|integer|integer")},
        {QStringLiteral("SELECT DISTINCT typeof(resolved_statement), typeof(file_name), "
                        "typeof(query_time), typeof(backtrace_id) FROM trel_sql_queries"),
         QStringLiteral("text|text|integer|integer")},
        {QStringLiteral(
             "SELECT DISTINCT typeof(message), typeof(entry_time) FROM trel_log_entries"),
         QStringLiteral("text|integer")},
        {QStringLiteral("SELECT DISTINCT typeof(agg_key) FROM trel_monitor_events"),
         QStringLiteral("text")},
        {QStringLiteral("SELECT DISTINCT typeof(backtrace) FROM trel_backtrace"),
         QStringLiteral("blob")},
        {QStringLiteral("SELECT DISTINCT typeof(sg_name), typeof(data), typeof(sample_type) "
                        "FROM trel_superglobals_data"),
         QStringLiteral("text|blob|text")},
    };
    for (const auto& check : expected) {
        QStringList classes;
        for (const QVariantList& row : inst.rows(check.first)) {
            QStringList columns;
            for (const QVariant& value : row)
                columns << value.toString();
            classes << columns.join(QLatin1Char('|'));
        }
        EXPECT_EQ(classes.join(QLatin1Char(';')), check.second) << check.first.toStdString();
    }
}

// With ids three apart (offset 2), the backtraces that queries and errors name are still
// theirs. The pool hands the write its most recently released connection, the one set here.
TEST_F(BatchedWrite, BacktraceIdsFollowTheSessionsIncrement) {
    TestInstallation inst(Backend::MySql);
    ASSERT_TRUE(inst.ok());
    TestCollector trel;
    trel.initialize(inst.serverInfo(), 1);
    {
        QSharedPointer<KDbConnHelper> connection = trel.doGetDatabaseConnection();
        QSqlQuery set(connection->database());
        ASSERT_TRUE(set.exec(
            QStringLiteral("SET SESSION auto_increment_increment = 3, auto_increment_offset = 2")));
    }
    trel.reset();
    referenceLike(&trel);
    LogCapture log;
    trel.write();
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
    const QList<QVariantList> ids =
        inst.rows(QStringLiteral("SELECT id FROM trel_backtrace ORDER BY id"));
    ASSERT_EQ(ids.size(), 24);
    EXPECT_EQ(ids.at(1).at(0).toLongLong() - ids.at(0).at(0).toLongLong(), 3)
        << "the setting is not in effect";
    EXPECT_EQ(difference(dump(inst), writeAndDump(Backend::Sqlite, true, referenceLike, nullptr)),
              "");
}

// The decision, and what the writer reads from the server's session (lock mode 1 on the
// test server, the session's increment, the packet size); SQLite and the switch turned
// off are row by row.
TEST(BatchInsertLimits, ConsecutiveIdsOnlyWhereTheServerGuaranteesThem) {
    // Interleaved lock mode (2) gives no consecutive ids whatever the increment.
    EXPECT_EQ(KBatchInsert::consecutiveIdStep(2, 1), 0);

    TestInstallation inst(Backend::MySql);
    ASSERT_TRUE(inst.ok());
    OwnConnection own(inst);
    own.exec(QStringLiteral("SET SESSION auto_increment_increment = 3"));
    ASSERT_EQ(own.scalar(QStringLiteral("SELECT @@innodb_autoinc_lock_mode")).toInt(), 1);
    const KBatchInsert::Limits limits = KBatchInsert::limits(own.db(), 1, 3);
    EXPECT_TRUE(limits.batched);
    EXPECT_EQ(limits.idStep, 3);
    EXPECT_EQ(limits.maxStatementBytes,
              own.scalar(QStringLiteral("SELECT @@max_allowed_packet")).toLongLong() - 4096);
    {
        BatchSwitch off(false);
        EXPECT_FALSE(KBatchInsert::limits(own.db(), 1, 3).batched);
    }
    TestInstallation sqlite(Backend::Sqlite);
    ASSERT_TRUE(sqlite.ok());
    EXPECT_FALSE(KBatchInsert::limits(sqlite.db(), 1, 3).batched);
}

// Statements split by size and by row count; a row too long for a statement alone goes
// prepared; without consecutive ids, rows whose ids are needed go one at a time.
TEST(BatchInsertSplit, StatementsStayWithinTheLimits) {
    TestInstallation inst(Backend::MySql);
    ASSERT_TRUE(inst.ok());
    OwnConnection own(inst);
    KBatchInsert::Limits limits;
    limits.batched = true;
    limits.maxStatementBytes = 2000;
    limits.maxRows = 7;
    limits.idStep = 1;
    SqlTrace trace;
    KBatchInsert rows(own.db(), KTrelBacktrace::insertStatement(), limits, 1, 3, true);
    QList<QByteArray> texts;
    for (int i = 0; i < 40; ++i)
        texts << QByteArray(i == 20 ? 3000 : 10 * i, static_cast<char>('a' + i % 26));
    for (const QByteArray& text : texts) {
        rows.bind(QStringLiteral(":backtrace"), QVariant(text));
        rows.addRow();
    }
    rows.flush();
    for (const QString& statement : trace.statements()) {
        EXPECT_FALSE(statement.contains(QLatin1String("X'"))) << "values in the trace";
        const int at = statement.indexOf(QLatin1String(" ["));
        if (at > 0) {
            EXPECT_LE(statement.mid(at + 2).section(QLatin1Char(' '), 0, 0).toInt(), 7);
        }
    }
    EXPECT_GT(rows.statements(), 40 / 7);
    EXPECT_LT(rows.statements(), 30);
    ASSERT_EQ(rows.ids().size(), 40);
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(inst.scalar(QStringLiteral("SELECT backtrace FROM trel_backtrace WHERE id = ?"),
                              {rows.ids().at(i)})
                      .toByteArray(),
                  texts.at(i))
            << i;

    limits.idStep = 0;
    KBatchInsert alone(own.db(), KTrelBacktrace::insertStatement(), limits, 1, 3, true);
    for (int i = 0; i < 3; ++i) {
        alone.bind(QStringLiteral(":backtrace"), QVariant(QByteArray::number(i)));
        alone.addRow();
    }
    alone.flush();
    EXPECT_EQ(alone.statements(), 3);
    EXPECT_EQ(inst.scalar(QStringLiteral("SELECT backtrace FROM trel_backtrace WHERE id = ?"),
                          {alone.ids().at(2)})
                  .toByteArray(),
              QByteArray("2"));
}

// A trigger refuses one function row in the middle of its statement: nothing of the
// request is stored, one line says why, and it carries no values (on SQLite neither the
// statement's placeholders: it names the single-row text and the row count).
TEST_F(BatchedWrite, AStatementFailingInTheMiddleLeavesNothing) {
    for (Backend backend : {Backend::MySql, Backend::Sqlite}) {
        SCOPED_TRACE(backend == Backend::MySql ? "MariaDB" : "SQLite");
        TestInstallation inst(backend);
        ASSERT_TRUE(inst.ok());
        ASSERT_TRUE(inst.exec(
            backend == Backend::MySql
                ? QStringLiteral(
                      "CREATE TRIGGER refuse BEFORE INSERT ON trel_functions_stats FOR EACH ROW "
                      "IF NEW.function_name = 'function_100' THEN SIGNAL SQLSTATE '45000' SET "
                      "MESSAGE_TEXT = 'refused'; END IF")
                : QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON trel_functions_stats "
                                 "WHEN NEW.function_name = 'function_100' BEGIN "
                                 "SELECT RAISE(ABORT, 'refused'); END")));
        TestCollector trel;
        trel.initialize(inst.serverInfo(), 1);
        trel.reset();
        referenceLike(&trel);
        LogCapture log;
        trel.write();
        const QString line = log.texts(0).join(' ');
        EXPECT_EQ(log.count(QStringLiteral("KTrel::write:"), 0), 1) << line.toStdString();
        EXPECT_EQ(log.texts(0).size(), 1);
        EXPECT_TRUE(line.contains(QLatin1String("refused")));
        EXPECT_TRUE(line.contains(QLatin1String("rows]"))) << line.toStdString();
        EXPECT_FALSE(line.contains(QLatin1String("X'")));
        EXPECT_FALSE(line.contains(QLatin1String("?, ?"))) << line.toStdString();
        EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 0);
        EXPECT_EQ(inst.count(QStringLiteral("trel_backtrace")), 0);
        for (const QString& table : TestInstallation::requestTables())
            EXPECT_EQ(inst.count(table), 0) << table.toStdString();
    }
}

} // namespace
