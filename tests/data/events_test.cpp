#include "datatesthelpers.h"
#include "support/logcapture.h"
#include "support/testinstallation.h"

#include <trel/trel.h>

#include <gtest/gtest.h>

#include <climits>
#include <vector>

namespace {

timeval tv(long seconds, long microseconds) {
    timeval value;
    value.tv_sec = seconds;
    value.tv_usec = microseconds;
    return value;
}

const timeval zero = tv(0, 0);

class Collected : public ::testing::Test {
protected:
    void SetUp() override {
        trel = KTrel::instance();
        trel->reset();
    }
    void TearDown() override { KTrel::release(); }

    std::vector<QByteArray> keys() const {
        return std::vector<QByteArray>(trel->getEventAggKeys().begin(),
                                       trel->getEventAggKeys().end());
    }

    KTrel* trel = nullptr;
};

TEST_F(Collected, EventKeysAreKeptOnceInByteOrder) {
    trel->addEventAggKey("b");
    trel->addEventAggKey("a");
    trel->addEventAggKey("b");
    trel->addEventAggKey(QByteArray());
    trel->addEventAggKey("");
    EXPECT_EQ(keys(), (std::vector<QByteArray>{"a", "b"}));

    // Byte-wise: upper case before lower case, a proper prefix first, high bytes last.
    trel->addEventAggKey("ab");
    trel->addEventAggKey("B");
    trel->addEventAggKey("\xc3\xa9");
    trel->addEventAggKey(QByteArray("a\0z", 3));
    EXPECT_EQ(keys(),
              (std::vector<QByteArray>{"B", "a", QByteArray("a\0z", 3), "ab", "b", "\xc3\xa9"}));

    trel->reset();
    EXPECT_TRUE(trel->getEventAggKeys().empty());
}

TEST(SampleTypeName, NamesTheTwoTypesAndNothingElse) {
    KTrel::SuperGlobalSample sample;
    EXPECT_STREQ(sample.sampleTypeName(), "SAMPLE_START");
    sample.sampleType = KTrel::SAMPLE_END;
    EXPECT_STREQ(sample.sampleTypeName(), "SAMPLE_END");
    for (int type : {2, 7, -1, 256, 65536, INT_MAX, INT_MIN}) {
        sample.sampleType = static_cast<KTrel::SG_SAMPLING_TYPE>(type);
        EXPECT_EQ(static_cast<int>(sample.sampleType), type); // the value is kept whole
        EXPECT_STREQ(sample.sampleTypeName(), "") << type;
    }
}

TEST_F(Collected, BreakdownReplacesDatabaseAndOtherTimeAndSumsTheRest) {
    trel->addProcessingBreakdownData(tv(2, 0), tv(1, 500000), tv(4, 1), tv(0, 10));
    trel->addProcessingBreakdownData(tv(1, 0), tv(0, 250000), tv(3, 2), tv(0, 20));
    const KTrel::Request& request = trel->getRequest();
    EXPECT_EQ(request.getDatabaseTime(), 1000000);
    EXPECT_EQ(request.getNetworkTime(), 1750000);
    EXPECT_EQ(request.getOtherTime(), 3000002);
    EXPECT_EQ(request.getLocalTime(), 30);
}

TEST_F(Collected, FrozenBreakdownStillReplacesButNoLongerSums) {
    trel->addProcessingBreakdownData(tv(1, 0), tv(1, 0), tv(1, 0), tv(1, 0));
    trel->getRequest().setBreakdownFrozen(true);
    trel->addProcessingBreakdownData(tv(5, 0), tv(6, 0), tv(7, 0), tv(8, 0));
    const KTrel::Request& request = trel->getRequest();
    EXPECT_EQ(request.getDatabaseTime(), 5000000);
    EXPECT_EQ(request.getOtherTime(), 7000000);
    EXPECT_EQ(request.getNetworkTime(), 1000000);
    EXPECT_EQ(request.getLocalTime(), 1000000);

    // The request reset zeroes the times and keeps the flag.
    trel->reset();
    EXPECT_EQ(trel->getRequest().getDatabaseTime(), 0);
    EXPECT_EQ(trel->getRequest().getNetworkTime(), 0);
    EXPECT_EQ(trel->getRequest().getOtherTime(), 0);
    EXPECT_EQ(trel->getRequest().getLocalTime(), 0);
    EXPECT_TRUE(trel->getRequest().isBreakdownFrozen());
    trel->addProcessingBreakdownData(zero, tv(1, 0), zero, tv(1, 0));
    EXPECT_EQ(trel->getRequest().getNetworkTime(), 0);
}

TEST_F(Collected, BreakdownTimesAreSixtyFourBitMicroseconds) {
    trel->addProcessingBreakdownData(tv(3000, 0), tv(3000, 1), tv(2147483647, 999999),
                                     tv(-1, 500000));
    const KTrel::Request& request = trel->getRequest();
    EXPECT_EQ(request.getDatabaseTime(), 3000000000LL);
    EXPECT_EQ(request.getNetworkTime(), 3000000001LL);
    EXPECT_EQ(request.getOtherTime(), 2147483647999999LL);
    EXPECT_EQ(request.getLocalTime(), -500000);
    trel->addProcessingBreakdownData(zero, tv(3000, 0), zero, zero);
    EXPECT_EQ(request.getNetworkTime(), 6000000001LL);
}

TEST(EventRecord, CopiesEveryField) {
    KTrelEventRecord record;
    EXPECT_TRUE(record.getAggKey().isEmpty());
    record.setId(4);
    record.setRequestId(5000000000LL);
    record.setAggKey("key");
    KTrelEventRecord copy(record);
    KTrelEventRecord assigned;
    assigned = record;
    for (const KTrelEventRecord* r : {&copy, &assigned}) {
        EXPECT_EQ(r->getId(), 4);
        EXPECT_EQ(r->getRequestId(), 5000000000LL);
        EXPECT_EQ(r->getAggKey(), QByteArray("key"));
    }
}

class EventStorage : public ::testing::TestWithParam<Backend> {
protected:
    void TearDown() override { KTrel::release(); }
};

TEST_P(EventStorage, SaveInsertsOneRowPerCallWithTheKeyUpToAZeroByte) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    KTrelEventRecord record;
    record.setId(99); // not bound
    record.setRequestId(5000000000LL);
    record.setAggKey(QByteArray("disk.full\0hidden", 16));
    record.save(inst.db(), 1);
    record.setAggKey("cpu.high \xc3\xa9");
    record.save(inst.db(), 1);
    EXPECT_EQ(record.getId(), 99);

    const QList<QVariantList> rows = inst.rows(
        QStringLiteral("SELECT id, request_id, agg_key FROM trel_monitor_events ORDER BY id"));
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0][1].toLongLong(), 5000000000LL);
    EXPECT_EQ(rows[0][2].toString(), QStringLiteral("disk.full"));
    EXPECT_EQ(rows[1][1].toLongLong(), 5000000000LL);
    EXPECT_EQ(rows[1][2].toString(), QString::fromUtf8("cpu.high \u00e9"));
    EXPECT_NE(rows[0][0].toLongLong(), 99);
}

TEST_P(EventStorage, FailedSaveThrows) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    ASSERT_TRUE(datatest::refuseInserts(inst, QStringLiteral("trel_monitor_events")));
    KTrelEventRecord record;
    record.setRequestId(1);
    record.setAggKey("k");
    EXPECT_THROW(record.save(inst.db(), 1), KException);
}

// The collector keeps no readable list of samples: what it kept is read back after a
// write.
TEST_P(EventStorage, WrittenKeysAndSamplesKeepTheirOrder) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    trel->reset();
    trel->setPageId(QStringLiteral("p"));
    trel->setRequest(QStringLiteral("http://shop.example/events"));
    trel->setRequestMethod(QStringLiteral("GET"));
    trel->addEventAggKey("b");
    trel->addEventAggKey("a");
    trel->addEventAggKey("b");
    trel->addEventAggKey("");
    trel->addSerializedSuperGlobal("_GET", "a:0:{}", KTrel::SAMPLE_START);
    trel->addSerializedSuperGlobal("_GET", "a:0:{}", KTrel::SAMPLE_START);
    trel->addSerializedSuperGlobal("", "", KTrel::SAMPLE_END);
    trel->addSerializedSuperGlobal("_ENV", "x", static_cast<KTrel::SG_SAMPLING_TYPE>(2));
    trel->addSerializedSuperGlobal("_X", "y", static_cast<KTrel::SG_SAMPLING_TYPE>(7));
    LogCapture log;
    trel->write();
    ASSERT_EQ(log.count(QStringLiteral("KTrel::write:")), 0)
        << log.texts().join('\n').toStdString();

    const QList<QVariantList> events =
        inst.rows(QStringLiteral("SELECT agg_key FROM trel_monitor_events ORDER BY id"));
    ASSERT_EQ(events.size(), 2);
    EXPECT_EQ(events[0][0].toString(), QStringLiteral("a"));
    EXPECT_EQ(events[1][0].toString(), QStringLiteral("b"));

    // The table has no id column: SQLite's row ids give the insertion order; on MariaDB
    // only the contents are compared.
    const bool ordered = inst.backend() == Backend::Sqlite;
    QStringList samples;
    for (const QVariantList& row :
         inst.rows(QStringLiteral("SELECT sg_name, data, sample_type FROM trel_superglobals_data%1")
                       .arg(ordered ? QStringLiteral(" ORDER BY rowid") : QString())))
        samples << QStringLiteral("%1|%2|%3")
                       .arg(row[0].toString(), QString::fromUtf8(row[1].toByteArray()),
                            row[2].toString());
    QStringList expected{QStringLiteral("_GET|a:0:{}|SAMPLE_START"),
                         QStringLiteral("_GET|a:0:{}|SAMPLE_START"), QStringLiteral("||SAMPLE_END"),
                         QStringLiteral("_ENV|x|"), QStringLiteral("_X|y|")};
    if (!ordered) {
        samples.sort();
        expected.sort();
    }
    EXPECT_EQ(samples, expected);
}

INSTANTIATE_TEST_SUITE_P(Backends, EventStorage, ::testing::Values(Backend::Sqlite, Backend::MySql),
                         [](const auto& info) { return backendName(info.param); });

} // namespace
