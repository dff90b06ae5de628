#include "datatesthelpers.h"
#include "support/testinstallation.h"

#include <trel/trel.h>

#include <gtest/gtest.h>

namespace {

using datatest::LoadConnection;
using datatest::rawExec;
using datatest::refuseInserts;

// Tells the test when it is destroyed.
class TrackedGenerator : public IBacktraceGenerator {
public:
    explicit TrackedGenerator(bool* destroyed) : destroyed(destroyed) {}
    ~TrackedGenerator() override { *destroyed = true; }
    QString generateBacktrace() override { return QStringLiteral("#0 main()"); }
    void getFileAndLine(QString& fileName, int& line) override {
        fileName = QStringLiteral("main.php");
        line = 1;
    }

private:
    bool* destroyed;
};

class Backtraces : public ::testing::Test {
protected:
    void SetUp() override {
        trel = KTrel::instance();
        trel->reset();
    }
    void TearDown() override { KTrel::release(); }

    KTrel* trel = nullptr;
};

TEST_F(Backtraces, IdsArePositionsThatRestartAfterReset) {
    EXPECT_EQ(trel->addBacktrace(QStringLiteral("first")), 0);
    EXPECT_EQ(trel->addBacktrace(QStringLiteral("second")), 1);
    EXPECT_EQ(trel->addBacktrace(QStringLiteral("first")), 2); // equal texts are kept apart
    EXPECT_EQ(trel->getBacktraceById(0), QStringLiteral("first"));
    EXPECT_EQ(trel->getBacktraceById(1), QStringLiteral("second"));
    EXPECT_EQ(trel->getBacktraceById(2), QStringLiteral("first"));

    trel->reset();
    EXPECT_THROW(trel->getBacktraceById(0), KException);
    EXPECT_EQ(trel->addBacktrace(QStringLiteral("next request")), 0);
    EXPECT_EQ(trel->getBacktraceById(0), QStringLiteral("next request"));
}

TEST_F(Backtraces, IdOutsideTheListThrowsAndChangesNothing) {
    trel->addBacktrace(QStringLiteral("a"));
    trel->addBacktrace(QStringLiteral("b"));
    for (int id : {-1, 2, 3, INT_MIN, INT_MAX}) {
        try {
            trel->getBacktraceById(id);
            ADD_FAILURE() << "no exception for id " << id;
        } catch (const KException& e) {
            EXPECT_STREQ(e.what(), "Could not find backtrace. ID out of bounds") << id;
        }
    }
    EXPECT_EQ(trel->getBacktraceById(1), QStringLiteral("b"));
    EXPECT_EQ(trel->addBacktrace(QStringLiteral("c")), 2);
}

TEST_F(Backtraces, EmptyListHasNoBacktraceZero) {
    EXPECT_THROW(trel->getBacktraceById(0), KException);
}

TEST_F(Backtraces, CollectorDeletesOnlyTheGeneratorInstalledLast) {
    bool firstDestroyed = false;
    bool secondDestroyed = false;
    auto* first = new TrackedGenerator(&firstDestroyed);
    auto* second = new TrackedGenerator(&secondDestroyed);

    EXPECT_EQ(trel->getBacktraceGenerator(), nullptr);
    trel->setBacktraceGenerator(first);
    EXPECT_EQ(trel->getBacktraceGenerator(), first);
    trel->setBacktraceGenerator(second);
    EXPECT_EQ(trel->getBacktraceGenerator(), second);
    EXPECT_FALSE(firstDestroyed);

    trel->reset(); // the generator outlives requests
    EXPECT_EQ(trel->getBacktraceGenerator(), second);
    EXPECT_FALSE(secondDestroyed);

    KTrel::release();
    EXPECT_TRUE(secondDestroyed);
    EXPECT_FALSE(firstDestroyed);
    delete first;
    EXPECT_TRUE(firstDestroyed);
}

TEST_F(Backtraces, NullGeneratorSwitchesGenerationOff) {
    bool destroyed = false;
    auto* generator = new TrackedGenerator(&destroyed);
    trel->setBacktraceGenerator(generator);
    trel->setBacktraceGenerator(nullptr);
    EXPECT_EQ(trel->getBacktraceGenerator(), nullptr);
    KTrel::release();
    EXPECT_FALSE(destroyed);
    delete generator;
}

TEST(KTrelBacktraceRecord, DefaultAndCopies) {
    KTrelBacktrace record;
    EXPECT_EQ(record.getId(), -1);
    EXPECT_TRUE(record.getBacktrace().isEmpty());

    record.setId(5000000000LL);
    record.setBacktrace(QByteArray("#0 f()\0#1 g()", 13));
    KTrelBacktrace copy(record);
    EXPECT_EQ(copy.getId(), 5000000000LL);
    EXPECT_EQ(copy.getBacktrace(), QByteArray("#0 f()\0#1 g()", 13));

    KTrelBacktrace assigned;
    assigned = record;
    EXPECT_EQ(assigned.getId(), 5000000000LL);
    EXPECT_EQ(assigned.getBacktrace(), record.getBacktrace());
}

TEST(KTrelBacktraceRecord, LoadWithoutAConnectionThrows) {
    KTrelBacktrace record;
    record.setId(1);
    record.setBacktrace("kept");
    EXPECT_THROW(record.load(KDbConnectionPtr(), 1), KException);
    EXPECT_EQ(record.getId(), 1);
    EXPECT_EQ(record.getBacktrace(), QByteArray("kept"));
}

class BacktraceStorage : public ::testing::TestWithParam<Backend> {};

// Bytes that a text column would mangle: a zero byte, invalid UTF-8, a line break.
const QByteArray binaryText("#0 f()\n\0#1 \xff\xfe g() \xc3\xa9", 20);

TEST_P(BacktraceStorage, SaveInsertsANewRowEachTimeAndTakesItsId) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    KTrelBacktrace record;
    record.setBacktrace(binaryText);
    record.save(inst.db(), 1);
    const qint64 firstId = record.getId();
    EXPECT_GT(firstId, 0);

    record.save(inst.db(), 1);
    const qint64 secondId = record.getId();
    EXPECT_GT(secondId, firstId);

    const QList<QVariantList> rows =
        inst.rows(QStringLiteral("SELECT id, backtrace FROM trel_backtrace ORDER BY id"));
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0][0].toLongLong(), firstId);
    EXPECT_EQ(rows[1][0].toLongLong(), secondId);
    EXPECT_EQ(rows[0][1].toByteArray(), binaryText);
    EXPECT_EQ(rows[1][1].toByteArray(), binaryText);
}

TEST_P(BacktraceStorage, SaveIgnoresTheRecordsOwnId) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    KTrelBacktrace first;
    first.setBacktrace("first");
    first.save(inst.db(), 1);

    // An id that names an existing row does not make save update it.
    KTrelBacktrace second;
    second.setId(first.getId());
    second.setBacktrace("second");
    second.save(inst.db(), 1);
    EXPECT_NE(second.getId(), first.getId());
    EXPECT_EQ(inst.count(QStringLiteral("trel_backtrace")), 2);
    EXPECT_EQ(inst.scalar(QStringLiteral("SELECT backtrace FROM trel_backtrace WHERE id = ?"),
                          {first.getId()})
                  .toByteArray(),
              QByteArray("first"));
}

TEST_P(BacktraceStorage, FailedSaveThrowsAndKeepsTheId) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    KTrelBacktrace record;
    record.setBacktrace("stack");
    record.save(inst.db(), 1);
    const qint64 savedId = record.getId();
    ASSERT_TRUE(refuseInserts(inst, QStringLiteral("trel_backtrace")));

    try {
        record.save(inst.db(), 1);
        ADD_FAILURE() << "no exception";
    } catch (const KException& e) {
        EXPECT_NE(QString::fromUtf8(e.what()).indexOf(QLatin1String("refused by test")), -1)
            << e.what();
    }
    EXPECT_EQ(record.getId(), savedId);

    KTrelBacktrace fresh;
    fresh.setBacktrace("stack");
    EXPECT_THROW(fresh.save(inst.db(), 1), KException);
    EXPECT_EQ(fresh.getId(), -1);
    EXPECT_EQ(inst.count(QStringLiteral("trel_backtrace")), 1);
}

TEST_P(BacktraceStorage, LoadReplacesBothFieldsFromTheRow) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    KTrelBacktrace other;
    other.setBacktrace("other");
    other.save(inst.db(), 1);
    KTrelBacktrace saved;
    saved.setBacktrace(binaryText);
    saved.save(inst.db(), 1);

    LoadConnection connection(inst);
    KTrelBacktrace loaded;
    loaded.setId(saved.getId());
    loaded.setBacktrace("stale");
    EXPECT_TRUE(loaded.load(connection.get(), 1));
    EXPECT_EQ(loaded.getId(), saved.getId());
    EXPECT_EQ(loaded.getBacktrace(), binaryText);

    loaded.setId(other.getId());
    EXPECT_TRUE(loaded.load(connection.get(), 1));
    EXPECT_EQ(loaded.getId(), other.getId());
    EXPECT_EQ(loaded.getBacktrace(), QByteArray("other"));
}

TEST_P(BacktraceStorage, LoadOfAMissingRowKeepsTheRecord) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    KTrelBacktrace saved;
    saved.setBacktrace("stack");
    saved.save(inst.db(), 1);

    LoadConnection connection(inst);
    KTrelBacktrace missing;
    missing.setId(saved.getId() + 1);
    missing.setBacktrace("kept");
    EXPECT_FALSE(missing.load(connection.get(), 1));
    EXPECT_EQ(missing.getId(), saved.getId() + 1);
    EXPECT_EQ(missing.getBacktrace(), QByteArray("kept"));

    KTrelBacktrace unsaved; // id -1 names no row
    EXPECT_FALSE(unsaved.load(connection.get(), 1));
    EXPECT_EQ(unsaved.getId(), -1);
    EXPECT_TRUE(unsaved.getBacktrace().isEmpty());
}

TEST_P(BacktraceStorage, FailedLoadThrowsAndKeepsTheRecord) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    ASSERT_TRUE(rawExec(inst, QStringLiteral("DROP TABLE trel_backtrace")));
    LoadConnection connection(inst);
    KTrelBacktrace record;
    record.setId(1);
    record.setBacktrace("kept");
    EXPECT_THROW(record.load(connection.get(), 1), KException);
    EXPECT_EQ(record.getId(), 1);
    EXPECT_EQ(record.getBacktrace(), QByteArray("kept"));
}

INSTANTIATE_TEST_SUITE_P(Backends, BacktraceStorage,
                         ::testing::Values(Backend::Sqlite, Backend::MySql),
                         [](const auto& info) { return backendName(info.param); });

} // namespace
