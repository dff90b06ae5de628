// The C functions are called from C frames, through which no exception may pass.

#include "support/logcapture.h"

#include <trel/ktrel.h>
#include <trel/ktrelcapi.h>

#include <gtest/gtest.h>

#include <new>

namespace {

void throwingCallback(bool) {
    throw std::bad_alloc();
}

TEST(CApi, AFailureInsideIsLoggedOnceAndDoesNotLeaveTheFunction) {
    LogCapture log;
    KTrel::instance()->setEnabledCallback(throwingCallback);
    EXPECT_NO_THROW(KolvEnableTrelCollection(0));
    EXPECT_EQ(log.count(QStringLiteral("KolvEnableTrelCollection:"), 0), 1)
        << log.texts().join('\n').toStdString();
    EXPECT_EQ(KolvIsTrelCollectionEnabled(), 0);
    KTrel::release();
}

} // namespace
