#include "support/logcapture.h"
#include "support/testinstallation.h"

#include <trel/trel.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace {

// What the enabled-callback saw: the argument and the switch as the collector had it.
struct CallbackCall {
    bool argument;
    bool enabledInside;
};
std::vector<CallbackCall> calls;

void recordingCallback(bool enabled) {
    calls.push_back(CallbackCall{enabled, KTrel::instance()->isCollectionEnabled()});
}

void throwingCallback(bool) {
    throw std::runtime_error("host callback failed");
}

const QString url = QStringLiteral("http://shop.example/cart?id=7");
const QString collectLine = QStringLiteral("Trel: should collect data for ") + url;
const QString noCollectLine = QStringLiteral("Trel: should *not* collect data for ") + url;

class Switches : public ::testing::Test {
protected:
    void SetUp() override {
        KTrel::release();
        calls.clear();
        trel = KTrel::instance();
        trel->setRequest(url);
    }
    void TearDown() override { KTrel::release(); }

    KTrel* trel = nullptr;
};

TEST_F(Switches, SetBarEnabledLogsOnEveryCall) {
    LogCapture log;
    trel->setBarEnabled(true);
    trel->setBarEnabled(true);
    EXPECT_TRUE(trel->isBarEnabled());
    trel->setBarEnabled(false);
    EXPECT_FALSE(trel->isBarEnabled());
    trel->setBarEnabled(false);
    EXPECT_EQ(log.texts(),
              QStringList({"Trel: bar should appear", "Trel: bar should appear",
                           "Trel: bar should *not* appear", "Trel: bar should *not* appear"}));
    for (const LogCapture::Line& line : log.lines()) {
        EXPECT_EQ(line.level, 4);
        EXPECT_EQ(line.stream, 1u);
    }
}

TEST_F(Switches, SetCollectionEnabledLogsOnlyAChangeWithTheRequestUrl) {
    LogCapture log;
    trel->setCollectionEnabled(true);
    EXPECT_TRUE(log.lines().empty());
    trel->setCollectionEnabled(false);
    EXPECT_FALSE(trel->isCollectionEnabled());
    EXPECT_TRUE(trel->isCollectionDisabled());
    trel->setCollectionEnabled(false);
    trel->setCollectionEnabled(true);
    EXPECT_TRUE(trel->isCollectionEnabled());
    EXPECT_FALSE(trel->isCollectionDisabled());
    EXPECT_EQ(log.texts(), QStringList({noCollectLine, collectLine}));
    for (const LogCapture::Line& line : log.lines())
        EXPECT_EQ(line.level, 4);
}

TEST_F(Switches, LinesAreDroppedWhenTheStreamLevelIsBelowFour) {
    LogCapture log({1}, 3);
    trel->setBarEnabled(true);
    trel->setCollectionEnabled(false);
    EXPECT_TRUE(log.lines().empty()) << log.texts().join('\n').toStdString();
    EXPECT_FALSE(trel->isCollectionEnabled());
}

TEST_F(Switches, LinesGoToTheStreamGivenAtInitialization) {
    TestInstallation inst(Backend::Sqlite);
    ASSERT_TRUE(inst.ok());
    trel->initialize(inst.serverInfo(), 7);
    LogCapture log({1, 7});
    trel->setBarEnabled(false);
    trel->setCollectionEnabled(false);
    ASSERT_EQ(log.lines().size(), 2u);
    EXPECT_EQ(log.lines()[0].stream, 7u);
    EXPECT_EQ(log.lines()[1].stream, 7u);
    EXPECT_EQ(log.lines()[1].text, noCollectLine);
}

TEST_F(Switches, TheCallbackRunsOnEveryCallAfterTheStore) {
    trel->setEnabledCallback(recordingCallback);
    LogCapture log;
    trel->setCollectionEnabled(true); // no change: no line, but the callback
    trel->setCollectionEnabled(false);
    trel->setCollectionEnabled(false);
    trel->setCollectionEnabled(true);
    ASSERT_EQ(calls.size(), 4u);
    const bool expected[] = {true, false, false, true};
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].argument, expected[i]) << i;
        EXPECT_EQ(calls[i].enabledInside, expected[i]) << i;
    }
    EXPECT_EQ(log.texts(), QStringList({noCollectLine, collectLine}));
}

TEST_F(Switches, ANullCallbackRemovesIt) {
    trel->setEnabledCallback(recordingCallback);
    trel->setCollectionEnabled(false);
    trel->setEnabledCallback(nullptr);
    trel->setCollectionEnabled(true);
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_TRUE(trel->isCollectionEnabled());
}

TEST_F(Switches, OtherSwitchesNeitherLogNorCallBack) {
    trel->setEnabledCallback(recordingCallback);
    LogCapture log;
    trel->setEventCollectionEnabled(false);
    EXPECT_FALSE(trel->isEventCollectionEnabled());
    trel->setEnableDatabaseWrite(false);
    EXPECT_FALSE(trel->isEnableDatabaseWrite());
    trel->setEventCollectionEnabled(true);
    trel->setEnableDatabaseWrite(true);
    EXPECT_TRUE(trel->isEventCollectionEnabled());
    EXPECT_TRUE(trel->isEnableDatabaseWrite());
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(trel->isCollectionEnabled());
    EXPECT_TRUE(trel->isBarEnabled());
}

TEST_F(Switches, ResetTurnsCollectionBarAndEventsBackOnQuietlyAndKeepsDatabaseWrites) {
    trel->setEnabledCallback(recordingCallback);
    trel->setCollectionEnabled(false);
    trel->setBarEnabled(false);
    trel->setEventCollectionEnabled(false);
    trel->setEnableDatabaseWrite(false);
    calls.clear();
    LogCapture log;
    trel->reset();
    EXPECT_TRUE(trel->isCollectionEnabled());
    EXPECT_TRUE(trel->isBarEnabled());
    EXPECT_TRUE(trel->isEventCollectionEnabled());
    EXPECT_FALSE(trel->isEnableDatabaseWrite());
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(log.lines().empty()) << log.texts().join('\n').toStdString();
    // The callback itself survives the reset.
    trel->setCollectionEnabled(false);
    EXPECT_EQ(calls.size(), 1u);
}

// ---------------------------------------------------------------------------------
// KTrelDisabler

TEST_F(Switches, ADisablerSuspendsCollectionForItsBlock) {
    trel->setEnabledCallback(recordingCallback);
    LogCapture log;
    {
        KTrelDisabler guard;
        EXPECT_FALSE(trel->isCollectionEnabled());
        EXPECT_EQ(log.texts(), QStringList({noCollectLine}));
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_FALSE(calls[0].argument);
    }
    EXPECT_TRUE(trel->isCollectionEnabled());
    EXPECT_EQ(log.texts(), QStringList({noCollectLine, collectLine}));
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_TRUE(calls[1].argument);
    EXPECT_TRUE(calls[1].enabledInside);
}

TEST_F(Switches, ADisablerMadeWhileDisabledChangesNothing) {
    trel->setCollectionEnabled(false);
    trel->setEnabledCallback(recordingCallback);
    LogCapture log;
    { KTrelDisabler guard; }
    EXPECT_FALSE(trel->isCollectionEnabled());
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(calls.empty());
}

TEST_F(Switches, NestedDisablersRestoreCollectionOnlyWhenTheOutermostEnds) {
    trel->setEnabledCallback(recordingCallback);
    LogCapture log;
    {
        KTrelDisabler outer;
        {
            KTrelDisabler inner;
            EXPECT_FALSE(trel->isCollectionEnabled());
        }
        EXPECT_FALSE(trel->isCollectionEnabled());
    }
    EXPECT_TRUE(trel->isCollectionEnabled());
    EXPECT_EQ(log.texts(), QStringList({noCollectLine, collectLine}));
    EXPECT_EQ(calls.size(), 2u);
}

TEST_F(Switches, AssigningADisablerCopiesWhatItRecorded) {
    {
        KTrelDisabler outer; // recorded: enabled
        {
            KTrelDisabler inner; // recorded: disabled
            inner = outer;
        }
        // The inner guard now restores what the outer one recorded.
        EXPECT_TRUE(trel->isCollectionEnabled());
        trel->setCollectionEnabled(false);
    }
    EXPECT_TRUE(trel->isCollectionEnabled());

    trel->setCollectionEnabled(false);
    {
        KTrelDisabler disabledAtStart; // recorded: disabled
        trel->setCollectionEnabled(true);
        KTrelDisabler enabledAtStart; // recorded: enabled
        enabledAtStart = disabledAtStart;
    }
    // Neither guard restores anything, so the last explicit state stands: the second
    // guard's own switch-off.
    EXPECT_FALSE(trel->isCollectionEnabled());
}

TEST_F(Switches, ADisablerCreatesTheCollectorWhenThereIsNone) {
    KTrel::release();
    {
        KTrelDisabler guard;
        EXPECT_FALSE(KTrel::instance()->isCollectionEnabled());
    }
    EXPECT_TRUE(KTrel::instance()->isCollectionEnabled());
}

TEST_F(Switches, AThrowingCallbackDoesNotEscapeTheDisablersEnd) {
    {
        KTrelDisabler guard;
        trel->setEnabledCallback(throwingCallback);
    }
    EXPECT_TRUE(trel->isCollectionEnabled());
}

// ---------------------------------------------------------------------------------
// The C functions.

TEST_F(Switches, TheCFunctionsReadAndSetCollection) {
    trel->setEnabledCallback(recordingCallback);
    LogCapture log;
    EXPECT_EQ(KolvIsTrelCollectionEnabled(), 1);
    KolvEnableTrelCollection(0);
    EXPECT_FALSE(trel->isCollectionEnabled());
    EXPECT_EQ(KolvIsTrelCollectionEnabled(), 0);
    KolvEnableTrelCollection(5);
    EXPECT_TRUE(trel->isCollectionEnabled());
    EXPECT_EQ(KolvIsTrelCollectionEnabled(), 1);
    KolvEnableTrelCollection(-1);
    EXPECT_EQ(KolvIsTrelCollectionEnabled(), 1);
    EXPECT_EQ(log.texts(), QStringList({noCollectLine, collectLine}));
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_FALSE(calls[0].argument);
    EXPECT_TRUE(calls[1].argument);
    EXPECT_TRUE(calls[2].argument);
}

TEST_F(Switches, TheCFunctionsCreateTheCollectorWhenThereIsNone) {
    KTrel::release();
    EXPECT_EQ(KolvIsTrelCollectionEnabled(), 1);
    KTrel::release();
    KolvEnableTrelCollection(0);
    EXPECT_FALSE(KTrel::instance()->isCollectionEnabled());
    EXPECT_EQ(KolvIsTrelCollectionEnabled(), 0);
}

// ---------------------------------------------------------------------------------
// How write() consults the switches.

class WriteSwitches : public ::testing::TestWithParam<Backend> {
protected:
    void TearDown() override { KTrel::release(); }
    void startRequest(KTrel* trel) {
        trel->reset();
        trel->setPageId(QStringLiteral("page"));
        trel->setRequest(url);
        trel->addEventAggKey("event");
    }
};

TEST_P(WriteSwitches, DisabledDatabaseWritesAreLoggedAndStoreNothing) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    startRequest(trel);
    trel->setEnableDatabaseWrite(false);
    trel->setCollectionEnabled(false); // the write switch is tested first
    LogCapture log;
    trel->write();
    EXPECT_EQ(log.texts(), QStringList({"Trel: database writes are disabled by directive"}));
    EXPECT_EQ(log.lines()[0].level, 4);
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 0);
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests_urls")), 0);

    // Still off in the next request.
    startRequest(trel);
    log.clear();
    trel->write();
    EXPECT_EQ(log.count(QStringLiteral("Trel: database writes are disabled by directive")), 1);
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 0);
}

TEST_P(WriteSwitches, DisabledCollectionStoresNothingAndSaysNothing) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    startRequest(trel);
    trel->setCollectionEnabled(false);
    LogCapture log;
    trel->write();
    EXPECT_TRUE(log.lines().empty()) << log.texts().join('\n').toStdString();
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 0);

    // The next request collects again after reset(), and the other switches do not matter.
    startRequest(trel);
    trel->setBarEnabled(false);
    trel->setEventCollectionEnabled(false);
    trel->write();
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 1);
    EXPECT_EQ(inst.count(QStringLiteral("trel_monitor_events")), 1);
}

INSTANTIATE_TEST_SUITE_P(Backends, WriteSwitches,
                         ::testing::Values(Backend::Sqlite, Backend::MySql),
                         [](const auto& info) { return backendName(info.param); });

} // namespace
