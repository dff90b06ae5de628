// MariaDB: a superglobal sample larger than the server's max_allowed_packet is stored
// cut, with a trailer that gives its full size; the rest of the request is whole.

#include "storage/storagetest.h"
#include "support/logcapture.h"

#include <trel/trel.h>

#include <gtest/gtest.h>

namespace {

using LargeSample = CollectorTest;

TEST_F(LargeSample, SampleBeyondThePacketSizeIsStoredCutAndMarked) {
    TestInstallation inst(Backend::MySql);
    ASSERT_TRUE(inst.ok());
    const qint64 maxPacket =
        inst.scalar(QStringLiteral("SELECT @@max_allowed_packet")).toLongLong();
    ASSERT_LT(maxPacket, 20 * 1024 * 1024) << "the server takes the whole sample";
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    setRequestFacts(trel, QStringLiteral("http://upload.example/"));
    addEverySection(trel, QStringLiteral("large"));
    QByteArray large(20 * 1024 * 1024, 'p');
    large[0] = 'a';
    trel->addSerializedSuperGlobal("_POST", large, KTrel::SAMPLE_END);

    LogCapture log;
    trel->write();
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
    EXPECT_EQ(log.count(QStringLiteral("Trel: superglobal sample _POST of 20971520 bytes is stored "
                                       "cut"),
                        3),
              1);
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 1);
    EXPECT_EQ(inst.orphanRows(), 0);
    const QByteArray stored = inst.scalar(QStringLiteral("SELECT data FROM trel_superglobals_data "
                                                         "WHERE sg_name = '_POST'"))
                                  .toByteArray();
    EXPECT_LT(stored.size(), maxPacket);
    EXPECT_GT(stored.size(), maxPacket - 64 * 1024);
    EXPECT_TRUE(stored.startsWith("app"));
    EXPECT_TRUE(stored.endsWith("\n[trel: sample cut, 20971520 bytes in full]"));
    // The small sample of the same request is whole.
    EXPECT_EQ(inst.scalar(QStringLiteral("SELECT data FROM trel_superglobals_data WHERE sg_name = "
                                         "'_GET'"))
                  .toByteArray(),
              QByteArray("a:0:{}"));
}

} // namespace
