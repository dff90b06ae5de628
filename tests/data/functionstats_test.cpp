#include "datatesthelpers.h"
#include "support/testinstallation.h"

#include <trel/trel.h>

#include <gtest/gtest.h>

#include <climits>

namespace {

KFunctionStats makeStats(const QByteArray& scope, const QByteArray& name) {
    KFunctionStats stats;
    stats.setFunctionScope(scope);
    stats.setFunctionName(name);
    return stats;
}

TEST(FunctionStats, StartValues) {
    KFunctionStats stats;
    EXPECT_TRUE(stats.getFunctionName().isEmpty());
    EXPECT_TRUE(stats.getFunctionScope().isEmpty());
    EXPECT_TRUE(stats.getFilename().isEmpty());
    EXPECT_EQ(stats.getLine(), 0);
    EXPECT_EQ(stats.getCalls(), 0);
    EXPECT_EQ(stats.getExclusiveElapsed(), 0);
    EXPECT_EQ(stats.getInclusiveElapsed(), 0);
    EXPECT_EQ(stats.getClientData(), nullptr);
}

TEST(FunctionStats, FullNameAlwaysHasTheSeparator) {
    EXPECT_EQ(makeStats("C", "f").getFullName(), QByteArray("C::f"));
    EXPECT_EQ(makeStats("", "f").getFullName(), QByteArray("::f"));
    EXPECT_EQ(makeStats("", "").getFullName(), QByteArray("::"));
    EXPECT_EQ(makeStats("Ns\\Klass", "method").getFullName(), QByteArray("Ns\\Klass::method"));
    // Names are bytes: a zero byte is kept in the full name.
    EXPECT_EQ(makeStats(QByteArray("A\0B", 3), "f").getFullName(), QByteArray("A\0B::f", 6));
}

TEST(FunctionStats, UpdateTimersAddsTimesOnly) {
    KFunctionStats stats;
    stats.updateTimers(5, 7);
    stats.updateTimers(5, 7);
    EXPECT_EQ(stats.getExclusiveElapsed(), 10);
    EXPECT_EQ(stats.getInclusiveElapsed(), 14);
    EXPECT_EQ(stats.getCalls(), 0);

    // Sums are 64-bit.
    stats.updateTimers(4294967296LL, 3000000000LL);
    EXPECT_EQ(stats.getExclusiveElapsed(), 4294967306LL);
    EXPECT_EQ(stats.getInclusiveElapsed(), 3000000014LL);
}

TEST(FunctionStats, IncrementCalls) {
    KFunctionStats stats;
    stats.incrementCalls();
    stats.incrementCalls();
    EXPECT_EQ(stats.getCalls(), 2);
    EXPECT_EQ(stats.getExclusiveElapsed(), 0);
}

TEST(FunctionStats, AggregateAddsCountsAndKeepsTheReceiversIdentity) {
    int hostValue = 0;
    KFunctionStats receiver = makeStats("View", "render");
    receiver.setFilename("/srv/view.php");
    receiver.setLine(12);
    receiver.setClientData(&hostValue);
    receiver.setCalls(1);
    receiver.setExclusiveElapsed(1);
    receiver.setInclusiveElapsed(2);

    int otherValue = 0;
    KFunctionStats other = makeStats("Other", "call");
    other.setFilename("/srv/other.php");
    other.setLine(99);
    other.setClientData(&otherValue);
    other.setCalls(2);
    other.setExclusiveElapsed(10);
    other.setInclusiveElapsed(20);

    receiver.aggregate(other);
    EXPECT_EQ(receiver.getCalls(), 3);
    EXPECT_EQ(receiver.getExclusiveElapsed(), 11);
    EXPECT_EQ(receiver.getInclusiveElapsed(), 22);
    EXPECT_EQ(receiver.getFunctionName(), QByteArray("render"));
    EXPECT_EQ(receiver.getFunctionScope(), QByteArray("View"));
    EXPECT_EQ(receiver.getFilename(), QByteArray("/srv/view.php"));
    EXPECT_EQ(receiver.getLine(), 12);
    EXPECT_EQ(receiver.getClientData(), &hostValue);
    // The other entry is left alone.
    EXPECT_EQ(other.getCalls(), 2);
    EXPECT_EQ(other.getExclusiveElapsed(), 10);

    KFunctionStats big;
    big.setExclusiveElapsed(3000000000LL);
    big.aggregate(big);
    EXPECT_EQ(big.getExclusiveElapsed(), 6000000000LL);
}

TEST(FunctionStats, CopiesShareTheClientPointer) {
    int hostValue = 42;
    KFunctionStats stats = makeStats("C", "f");
    stats.setFilename("f.php");
    stats.setLine(3);
    stats.setCalls(4);
    stats.setExclusiveElapsed(5);
    stats.setInclusiveElapsed(6);
    stats.setClientData(&hostValue);

    KFunctionStats copy(stats);
    KFunctionStats assigned;
    assigned = stats;
    for (KFunctionStats* s : {&copy, &assigned}) {
        EXPECT_EQ(s->getClientData(), &hostValue);
        EXPECT_EQ(s->getFullName(), QByteArray("C::f"));
        EXPECT_EQ(s->getFilename(), QByteArray("f.php"));
        EXPECT_EQ(s->getLine(), 3);
        EXPECT_EQ(s->getCalls(), 4);
        EXPECT_EQ(s->getExclusiveElapsed(), 5);
        EXPECT_EQ(s->getInclusiveElapsed(), 6);
    }
    EXPECT_EQ(hostValue, 42);
}

TEST(FunctionStats, CollectorTableIsTheHostsAndResetEmptiesIt) {
    KTrel* trel = KTrel::instance();
    trel->reset();
    QHash<QByteArray, KFunctionStats>& table = trel->getFunctionsStats();
    table["f"].incrementCalls();
    table["f"].incrementCalls();
    EXPECT_EQ(&trel->getFunctionsStats(), &table);
    EXPECT_EQ(trel->getFunctionsStats().value("f").getCalls(), 2);
    trel->reset();
    EXPECT_TRUE(trel->getFunctionsStats().isEmpty());
    KTrel::release();
}

TEST(FuncStatsDbRecord, StartValues) {
    KTrelFuncStatsDbRecord record;
    EXPECT_EQ(record.getId(), 0);
    EXPECT_EQ(record.getRequestId(), 0);
    EXPECT_TRUE(record.getFunctionName().isEmpty());
    EXPECT_TRUE(record.getFunctionScope().isEmpty());
    EXPECT_TRUE(record.getFilename().isEmpty());
    EXPECT_EQ(record.getTimesCalled(), 0);
    EXPECT_EQ(record.getTimeExclusive(), 0);
    EXPECT_EQ(record.getTimeInclusive(), 0);
    EXPECT_EQ(record.getLine(), 0);
}

TEST(FuncStatsDbRecord, FromStatsCopiesAndKeepsTheLow32BitsOfTheTimes) {
    KFunctionStats stats = makeStats("View", "render");
    stats.setFilename("/srv/view.php");
    stats.setLine(12);
    stats.setCalls(7);
    stats.setExclusiveElapsed(4294967296LL + 5); // 2^32 + 5
    stats.setInclusiveElapsed(2147483648LL);     // 2^31

    KTrelFuncStatsDbRecord record(stats);
    EXPECT_EQ(record.getId(), 0);
    EXPECT_EQ(record.getRequestId(), 0);
    EXPECT_EQ(record.getFunctionName(), QByteArray("render"));
    EXPECT_EQ(record.getFunctionScope(), QByteArray("View"));
    EXPECT_EQ(record.getFilename(), QByteArray("/srv/view.php"));
    EXPECT_EQ(record.getLine(), 12);
    EXPECT_EQ(record.getTimesCalled(), 7);
    EXPECT_EQ(record.getTimeExclusive(), 5);
    EXPECT_EQ(record.getTimeInclusive(), INT_MIN);

    stats.setExclusiveElapsed(-1);
    stats.setInclusiveElapsed(8589934591LL); // 2^33 - 1
    KTrelFuncStatsDbRecord wrapped(stats);
    EXPECT_EQ(wrapped.getTimeExclusive(), -1);
    EXPECT_EQ(wrapped.getTimeInclusive(), -1);
}

TEST(FuncStatsDbRecord, CopiesEveryField) {
    KTrelFuncStatsDbRecord record;
    record.setId(3);
    record.setRequestId(5000000000LL);
    record.setFunctionName("f");
    record.setFunctionScope("C");
    record.setFilename("f.php");
    record.setTimesCalled(4);
    record.setTimeExclusive(5);
    record.setTimeInclusive(6);
    record.setLine(7);
    KTrelFuncStatsDbRecord copy(record);
    KTrelFuncStatsDbRecord assigned;
    assigned = record;
    for (const KTrelFuncStatsDbRecord* r : {&copy, &assigned}) {
        EXPECT_EQ(r->getId(), 3);
        EXPECT_EQ(r->getRequestId(), 5000000000LL);
        EXPECT_EQ(r->getFunctionName(), QByteArray("f"));
        EXPECT_EQ(r->getFunctionScope(), QByteArray("C"));
        EXPECT_EQ(r->getFilename(), QByteArray("f.php"));
        EXPECT_EQ(r->getTimesCalled(), 4);
        EXPECT_EQ(r->getTimeExclusive(), 5);
        EXPECT_EQ(r->getTimeInclusive(), 6);
        EXPECT_EQ(r->getLine(), 7);
    }
}

class FuncStatsStorage : public ::testing::TestWithParam<Backend> {};

TEST_P(FuncStatsStorage, SaveInsertsOneRowPerCall) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    KTrelFuncStatsDbRecord record;
    record.setId(77); // not bound: the database gives the id
    record.setRequestId(5000000001LL);
    record.setFunctionName("render");
    record.setFunctionScope("View");
    record.setFilename("/srv/view.php");
    record.setTimesCalled(3);
    record.setTimeExclusive(INT_MIN);
    record.setTimeInclusive(INT_MAX);
    record.setLine(-4);
    record.save(inst.db(), 1);
    record.save(inst.db(), 1);
    EXPECT_EQ(record.getId(), 77);

    const QList<QVariantList> rows = inst.rows(QStringLiteral(
        "SELECT id, request_id, function_name, function_scope, times_called, time_exclusive, "
        "time_inclusive, filename, line FROM trel_functions_stats ORDER BY id"));
    ASSERT_EQ(rows.size(), 2);
    EXPECT_NE(rows[0][0].toLongLong(), rows[1][0].toLongLong());
    for (const QVariantList& row : rows) {
        EXPECT_NE(row[0].toLongLong(), 77);
        EXPECT_EQ(row[1].toLongLong(), 5000000001LL);
        EXPECT_EQ(row[2].toString(), QStringLiteral("render"));
        EXPECT_EQ(row[3].toString(), QStringLiteral("View"));
        EXPECT_EQ(row[4].toLongLong(), 3);
        EXPECT_EQ(row[5].toLongLong(), INT_MIN);
        EXPECT_EQ(row[6].toLongLong(), INT_MAX);
        EXPECT_EQ(row[7].toString(), QStringLiteral("/srv/view.php"));
        EXPECT_EQ(row[8].toLongLong(), -4);
    }
}

TEST_P(FuncStatsStorage, TextsEndAtTheFirstZeroByte) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    KTrelFuncStatsDbRecord record;
    record.setRequestId(1);
    record.setFunctionName(QByteArray("run\0hidden", 10));
    record.setFunctionScope(QByteArray("\0all hidden", 11));
    record.setFilename(QByteArray("/srv/r\xc3\xa9.php\0.bak", 16));
    record.save(inst.db(), 1);

    const QList<QVariantList> rows = inst.rows(
        QStringLiteral("SELECT function_name, function_scope, filename FROM trel_functions_stats"));
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0][0].toString(), QStringLiteral("run"));
    EXPECT_TRUE(rows[0][1].toString().isEmpty());
    EXPECT_FALSE(rows[0][1].isNull());
    EXPECT_EQ(rows[0][2].toString(), QString::fromUtf8("/srv/r\u00e9.php"));
}

TEST_P(FuncStatsStorage, FailedSaveThrows) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    ASSERT_TRUE(datatest::refuseInserts(inst, QStringLiteral("trel_functions_stats")));
    KTrelFuncStatsDbRecord record;
    record.setRequestId(1);
    record.setFunctionName("f");
    EXPECT_THROW(record.save(inst.db(), 1), KException);
    EXPECT_EQ(inst.count(QStringLiteral("trel_functions_stats")), 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, FuncStatsStorage,
                         ::testing::Values(Backend::Sqlite, Backend::MySql),
                         [](const auto& info) { return backendName(info.param); });

} // namespace
