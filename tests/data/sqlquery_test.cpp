#include "support/logcapture.h"
#include "support/testinstallation.h"

#include <trel/trel.h>

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

// A generator whose texts and positions number its calls; it can be told to fail.
class CountingGenerator : public IBacktraceGenerator {
public:
    QString generateBacktrace() override {
        if (failGenerate)
            throw std::runtime_error("no stack");
        return QStringLiteral("#0 generated %1").arg(++generated);
    }
    void getFileAndLine(QString& fileName, int& line) override {
        if (failPosition)
            throw std::runtime_error("no position");
        fileName = QStringLiteral("/srv/gen%1.php").arg(generated);
        line = 100 + generated;
    }

    int generated = 0;
    bool failGenerate = false;
    bool failPosition = false;
};

KTrel::SqlQuery makeQuery(const QString& resolved) {
    KTrel::SqlQuery query;
    query.preparedStatement = QStringLiteral("SELECT * FROM items WHERE id = ?");
    query.resolvedStatement = resolved;
    query.status = 1;
    query.extraText = QStringLiteral("extra");
    query.rowsAffected = 3;
    query.hasPreparedStatement = true;
    query.queryTime = 250;
    query.errorMessage = QStringLiteral("");
    query.transactionId = 0;
    query.backtraceId = -1;
    query.lineNumber = 7;
    query.fileName = QStringLiteral("/srv/host.php");
    return query;
}

// The collector keeps no list a test could read, so the kept records are read back
// from the database after a write.
class SqlQueries : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(inst.ok());
        trel = KTrel::instance();
        trel->initialize(inst.serverInfo(), 1);
        trel->reset();
        trel->setPageId(QStringLiteral("page"));
        trel->setRequest(QStringLiteral("http://shop.example/sql"));
        trel->setRequestMethod(QStringLiteral("GET"));
    }
    void TearDown() override { KTrel::release(); }

    void write() {
        LogCapture log;
        trel->write();
        EXPECT_EQ(log.count(QStringLiteral("KTrel::write:")), 0)
            << log.texts().join('\n').toStdString();
    }

    // resolved_statement, file_name, line_number, backtrace text (or "-" for none).
    QList<QStringList> storedQueries() {
        QList<QStringList> result;
        for (const QVariantList& row : inst.rows(QStringLiteral(
                 "SELECT q.resolved_statement, q.file_name, q.line_number, q.backtrace_id, "
                 "b.backtrace FROM trel_sql_queries q LEFT JOIN trel_backtrace b ON b.id = "
                 "q.backtrace_id ORDER BY q.id"))) {
            result << QStringList{row[0].toString(), row[1].toString(), row[2].toString(),
                                  row[3].toLongLong() == -1
                                      ? QStringLiteral("-")
                                      : QString::fromUtf8(row[4].toByteArray())};
        }
        return result;
    }

    TestInstallation inst{Backend::Sqlite};
    KTrel* trel = nullptr;
};

TEST_F(SqlQueries, WithoutGeneratorTheRecordIsKeptAsPassed) {
    KTrel::SqlQuery first = makeQuery(QStringLiteral("SELECT * FROM items WHERE id = 1"));
    KTrel::SqlQuery second = makeQuery(QStringLiteral("SELECT * FROM items WHERE id = 2"));
    second.fileName = QStringLiteral("/srv/other.php");
    second.lineNumber = 9;
    trel->addRequestSqlQuery(first);
    trel->addRequestSqlQuery(second);
    EXPECT_EQ(first.backtraceId, -1);
    EXPECT_EQ(first.fileName, QStringLiteral("/srv/host.php"));
    EXPECT_EQ(first.lineNumber, 7);
    EXPECT_THROW(trel->getBacktraceById(0), KException);

    // A backtrace the host added itself is kept with the query.
    KTrel::SqlQuery third = makeQuery(QStringLiteral("SELECT * FROM items WHERE id = 3"));
    third.backtraceId = trel->addBacktrace(QStringLiteral("#0 host()"));
    trel->addRequestSqlQuery(third);
    EXPECT_EQ(third.backtraceId, 0);

    write();
    const QList<QStringList> expected = {
        {QStringLiteral("SELECT * FROM items WHERE id = 1"), QStringLiteral("/srv/host.php"),
         QStringLiteral("7"), QStringLiteral("-")},
        {QStringLiteral("SELECT * FROM items WHERE id = 2"), QStringLiteral("/srv/other.php"),
         QStringLiteral("9"), QStringLiteral("-")},
        {QStringLiteral("SELECT * FROM items WHERE id = 3"), QStringLiteral("/srv/host.php"),
         QStringLiteral("7"), QStringLiteral("#0 host()")},
    };
    EXPECT_EQ(storedQueries(), expected);
}

TEST_F(SqlQueries, GeneratorSetsTheCallersBacktraceAndPosition) {
    auto* generator = new CountingGenerator;
    trel->setBacktraceGenerator(generator);

    KTrel::SqlQuery first = makeQuery(QStringLiteral("q1"));
    first.backtraceId = -1; // replaced, like the host's file and line
    trel->addRequestSqlQuery(first);
    EXPECT_EQ(first.backtraceId, 0);
    EXPECT_EQ(first.fileName, QStringLiteral("/srv/gen1.php"));
    EXPECT_EQ(first.lineNumber, 101);

    EXPECT_EQ(trel->addBacktrace(QStringLiteral("#0 host()")), 1);

    KTrel::SqlQuery second = makeQuery(QStringLiteral("q2"));
    second.backtraceId = 1;
    trel->addRequestSqlQuery(second);
    EXPECT_EQ(second.backtraceId, 2);
    EXPECT_EQ(second.fileName, QStringLiteral("/srv/gen2.php"));
    EXPECT_EQ(second.lineNumber, 102);

    EXPECT_EQ(trel->getBacktraceById(0), QStringLiteral("#0 generated 1"));
    EXPECT_EQ(trel->getBacktraceById(1), QStringLiteral("#0 host()"));
    EXPECT_EQ(trel->getBacktraceById(2), QStringLiteral("#0 generated 2"));

    write();
    const QList<QStringList> expected = {
        {QStringLiteral("q1"), QStringLiteral("/srv/gen1.php"), QStringLiteral("101"),
         QStringLiteral("#0 generated 1")},
        {QStringLiteral("q2"), QStringLiteral("/srv/gen2.php"), QStringLiteral("102"),
         QStringLiteral("#0 generated 2")},
    };
    EXPECT_EQ(storedQueries(), expected);
}

TEST_F(SqlQueries, FailingGenerateRecordsNothing) {
    auto* generator = new CountingGenerator;
    generator->failGenerate = true;
    trel->setBacktraceGenerator(generator);
    KTrel::SqlQuery query = makeQuery(QStringLiteral("q"));
    EXPECT_THROW(trel->addRequestSqlQuery(query), std::runtime_error);
    EXPECT_EQ(query.backtraceId, -1);
    EXPECT_EQ(query.fileName, QStringLiteral("/srv/host.php"));
    EXPECT_THROW(trel->getBacktraceById(0), KException);

    write();
    EXPECT_EQ(inst.count(QStringLiteral("trel_sql_queries")), 0);
}

TEST_F(SqlQueries, FailingPositionKeepsTheTextButNotTheQuery) {
    auto* generator = new CountingGenerator;
    generator->failPosition = true;
    trel->setBacktraceGenerator(generator);
    KTrel::SqlQuery query = makeQuery(QStringLiteral("q"));
    EXPECT_THROW(trel->addRequestSqlQuery(query), std::runtime_error);
    EXPECT_EQ(query.backtraceId, 0);
    EXPECT_EQ(trel->getBacktraceById(0), QStringLiteral("#0 generated 1"));

    write();
    EXPECT_EQ(inst.count(QStringLiteral("trel_sql_queries")), 0);
    EXPECT_EQ(inst.count(QStringLiteral("trel_backtrace")), 0); // referred to by nobody
}

TEST_F(SqlQueries, StatementAndTransactionWithoutValuesAreMinusOne) {
    KTrel::SqlQuery unprepared = makeQuery(QStringLiteral("u"));
    unprepared.hasPreparedStatement = false;
    unprepared.preparedStatement = QStringLiteral("NEVER LOOKED UP");
    unprepared.transactionId = 0;
    KTrel::SqlQuery negative = makeQuery(QStringLiteral("n"));
    negative.hasPreparedStatement = false;
    negative.transactionId = -5;
    trel->addRequestSqlQuery(unprepared);
    trel->addRequestSqlQuery(negative);

    write();
    const QList<QVariantList> rows = inst.rows(QStringLiteral(
        "SELECT prepared_statement_id, transaction_id FROM trel_sql_queries ORDER BY id"));
    ASSERT_EQ(rows.size(), 2);
    for (const QVariantList& row : rows) {
        EXPECT_EQ(row[0].toLongLong(), -1);
        EXPECT_EQ(row[1].toLongLong(), -1);
    }
    EXPECT_EQ(inst.count(QStringLiteral("trel_sql_statements")), 0);
}

TEST_F(SqlQueries, ExtraTextIsNotStored) {
    KTrel::SqlQuery plain = makeQuery(QStringLiteral("same"));
    plain.extraText.clear();
    KTrel::SqlQuery extra = makeQuery(QStringLiteral("same"));
    extra.extraText = QStringLiteral("EXTRA-TEXT-MARKER");
    trel->addRequestSqlQuery(plain);
    trel->addRequestSqlQuery(extra);
    write();

    const QList<QVariantList> rows = inst.rows(QStringLiteral(
        "SELECT request_id, prepared_statement_id, resolved_statement, status, rows_affected, "
        "query_time, error_message, transaction_id, file_name, line_number, backtrace_id FROM "
        "trel_sql_queries ORDER BY id"));
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0], rows[1]);
    for (const QString& table :
         TestInstallation::requestTables() + QStringList{QStringLiteral("trel_sql_statements"),
                                                         QStringLiteral("trel_requests_urls")}) {
        for (const QVariantList& row : inst.rows(QStringLiteral("SELECT * FROM %1").arg(table)))
            for (const QVariant& value : row)
                EXPECT_FALSE(value.toString().contains(QLatin1String("EXTRA-TEXT-MARKER")))
                    << table.toStdString();
    }
}

} // namespace

// Beyond the limits a request's queries and errors are counted, not kept: one row each
// stands for the rest with their exact totals, and the kept ones lose their backtraces
// once the backtraces' text reaches its bound.
TEST_F(SqlQueries, BeyondTheLimitsTheRestIsCountedInOneRow) {
    KTrel::Limits limits;
    limits.queries = 3;
    limits.errors = 2;
    limits.backtraceChars = 30; // two texts of 14 characters, not a third
    trel->setLimits(limits);
    auto* generator = new CountingGenerator;
    trel->setBacktraceGenerator(generator);
    for (int i = 1; i <= 6; ++i) {
        KTrel::SqlQuery query = makeQuery(QStringLiteral("q%1").arg(i));
        query.status = i == 5 || i == 6 ? 1 : 0;
        query.rowsAffected = i;
        query.queryTime = 10 * i;
        trel->addRequestSqlQuery(query);
    }
    for (int i = 1; i <= 5; ++i)
        trel->addPhpError(2, "/srv/e.php", i,
                          QStringLiteral("warning %1").arg(i).toUtf8().constData(), -1);
    const KTrel::NotKept& notKept = trel->getNotKept();
    EXPECT_EQ(notKept.queries, 3);
    EXPECT_EQ(notKept.failedQueries, 2);
    EXPECT_EQ(notKept.queryTime, 40 + 50 + 60);
    EXPECT_EQ(notKept.rows, 4 + 5 + 6);
    EXPECT_EQ(notKept.errors, 3);
    EXPECT_EQ(generator->generated, 3); // none for the queries beyond the limit
    EXPECT_FALSE(trel->isErrorBacktraceWanted());

    write();
    const QList<QStringList> expected = {
        {QStringLiteral("q1"), QStringLiteral("/srv/gen1.php"), QStringLiteral("101"),
         QStringLiteral("#0 generated 1")},
        {QStringLiteral("q2"), QStringLiteral("/srv/gen2.php"), QStringLiteral("102"),
         QStringLiteral("#0 generated 2")},
        {QStringLiteral("q3"), QStringLiteral("/srv/gen3.php"), QStringLiteral("103"),
         QStringLiteral("-")},
        {QStringLiteral("3 more queries not kept"), QString(), QStringLiteral("0"),
         QStringLiteral("-")},
    };
    EXPECT_EQ(storedQueries(), expected);
    EXPECT_EQ(inst.rows(QStringLiteral("SELECT rows_affected, query_time, error_message FROM "
                                       "trel_sql_queries ORDER BY id DESC LIMIT 1")),
              (QList<QVariantList>{{15, 150, QStringLiteral("2 of them failed")}}));

    KTrelStoredRequest stored;
    QString error;
    ASSERT_EQ(KTrelStoredRequest::load(trel->getDatabase(), trel->getRequestId(), &stored, &error),
              KTrelStoredRequest::Outcome::Found)
        << error.toStdString();
    EXPECT_EQ(stored.queryCount(), 6);
    EXPECT_EQ(stored.failedQueries(), 2);
    EXPECT_EQ(stored.queriesNotKept(), 3);
    EXPECT_EQ(stored.errorCount(), 5);
    EXPECT_EQ(stored.errorsNotKept(), 3);
    ASSERT_EQ(stored.entries.size(), 3);
    EXPECT_EQ(stored.entries.last().message, QStringLiteral("3 more errors not kept"));

    // The limits are settings; the counts start again with the next request.
    trel->reset();
    EXPECT_EQ(trel->getNotKept().queries, 0);
    EXPECT_EQ(trel->getNotKept().errors, 0);
    EXPECT_EQ(trel->getLimits().queries, 3);
    EXPECT_TRUE(trel->isErrorBacktraceWanted());
}
