#include "support/logcapture.h"
#include "support/testinstallation.h"

#include <trel/trel.h>

#include <gtest/gtest.h>

namespace {

class WriteSmoke : public ::testing::TestWithParam<Backend> {
protected:
    void TearDown() override { KTrel::release(); }
};

TEST_P(WriteSmoke, RequestRowAndBreakdownAreStoredInOneWrite) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    LogCapture log;
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    trel->reset();
    trel->setPageId(QStringLiteral("abc"));
    trel->setRequest(QStringLiteral("http://shop.example/cart"));
    trel->setRequestMethod(QStringLiteral("GET"));
    trel->write();
    EXPECT_EQ(log.count(QStringLiteral("KTrel::write:")), 0) << log.texts().join('\n').toStdString();
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 1);
    EXPECT_EQ(inst.count(QStringLiteral("trel_processing_breakdown")), 1);
    EXPECT_EQ(inst.scalar(QStringLiteral("SELECT data_size FROM trel_requests")).toLongLong(), 0);
    EXPECT_EQ(inst.scalar(QStringLiteral("SELECT url FROM trel_requests_urls")).toString(),
              QStringLiteral("http://shop.example/cart"));
}

INSTANTIATE_TEST_SUITE_P(Backends, WriteSmoke, ::testing::Values(Backend::Sqlite, Backend::MySql),
                         [](const auto& info) { return backendName(info.param); });

} // namespace
