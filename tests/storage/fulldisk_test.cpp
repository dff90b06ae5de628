// A disk that fills during a write (SQLite): the request is rolled back whole, even when
// the disk fills while a URL or statement id is looked up; once space is freed the next
// requests are stored whole, and no request id is given twice.

#include "storage/storagetest.h"
#include "support/logcapture.h"

#include <trel/trel.h>

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

// The installation lives on a tmpfs of 8 MiB, mounted in a mount namespace of this
// process alone: nothing else sees it, and it goes with the process if the test dies.
class FullDisk : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(geteuid(), 0u) << "this test mounts a tmpfs and must run as root";
        ASSERT_EQ(unshare(CLONE_NEWNS), 0) << std::strerror(errno);
        ASSERT_EQ(mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr), 0)
            << std::strerror(errno);
        ASSERT_TRUE(mountPoint.isValid());
        ASSERT_EQ(mount("tmpfs", mountPoint.path().toUtf8().constData(), "tmpfs", 0, "size=8m"), 0)
            << std::strerror(errno);
        mounted = true;
        const QByteArray oldTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", mountPoint.path().toUtf8());
        inst = std::make_unique<TestInstallation>(Backend::Sqlite);
        qputenv("TMPDIR", oldTmp);
        ASSERT_TRUE(inst->ok());
        trel = KTrel::instance();
        trel->initialize(inst->serverInfo(), 1);
    }
    void TearDown() override {
        KTrel::release();
        inst.reset();
        if (mounted)
            umount2(mountPoint.path().toUtf8().constData(), MNT_DETACH);
    }

    // A request with `queries` queries, each with a distinct prepared statement of
    // `statementBytes` characters; returns the id the writer reported.
    qint64 writeRequest(const QString& tag, int queries, int statementBytes) {
        trel->reset();
        setRequestFacts(trel, QStringLiteral("http://full.example/%1").arg(tag));
        for (int i = 0; i < queries; ++i) {
            KTrel::SqlQuery query;
            query.preparedStatement = QStringLiteral("SELECT '%1' /* %2 %3 */")
                                          .arg(QString(statementBytes, QLatin1Char('x')), tag)
                                          .arg(i);
            query.resolvedStatement = QStringLiteral("SELECT %1").arg(i);
            query.hasPreparedStatement = true;
            trel->addRequestSqlQuery(query);
        }
        trel->write();
        return trel->getRequestId();
    }
    // Fills the file system but for about `spare` bytes.
    void fill(qint64 spare) {
        QFile filler(mountPoint.path() + QStringLiteral("/filler"));
        ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
        const QByteArray block(64 * 1024, 'f');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
        filler.close();
        ASSERT_TRUE(filler.resize(qMax<qint64>(0, filler.size() - spare)));
    }
    qint64 sequence() {
        return inst
            ->scalar(QStringLiteral("SELECT seq FROM sqlite_sequence WHERE name = 'trel_requests'"))
            .toLongLong();
    }
    qint64 unusedTexts() {
        return inst->count(QStringLiteral("trel_sql_statements"),
                           QStringLiteral("id NOT IN (SELECT prepared_statement_id FROM "
                                          "trel_sql_queries)")) +
               inst->count(QStringLiteral("trel_requests_urls"),
                           QStringLiteral("id NOT IN (SELECT url_id FROM trel_requests)"));
    }

    QTemporaryDir mountPoint;
    bool mounted = false;
    std::unique_ptr<TestInstallation> inst;
    KTrel* trel = nullptr;
};

TEST_F(FullDisk, RequestIsRolledBackWholeAndLaterRequestsAreWholeWithNewIds) {
    const qint64 first = writeRequest(QStringLiteral("before"), 2, 100);
    ASSERT_EQ(inst->count(QStringLiteral("trel_requests")), 1);

    // More than SQLite's page cache holds, so that pages go to the disk during the
    // statements, most of them while the statement texts are stored.
    fill(1024 * 1024);
    LogCapture log;
    writeRequest(QStringLiteral("full"), 48, 64 * 1024);
    EXPECT_EQ(log.count(QStringLiteral("KTrel::write:"), 0), 1);
    EXPECT_EQ(log.texts(0).size(), 1) << log.texts(0).join('\n').toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("full"))) << log.texts(0).join('\n').toStdString();

    QFile::remove(mountPoint.path() + QStringLiteral("/filler"));
    EXPECT_EQ(inst->count(QStringLiteral("trel_requests")), 1);
    EXPECT_EQ(inst->orphanRows(), 0) << rowCounts(*inst).toStdString();
    EXPECT_EQ(unusedTexts(), 0) << rowCounts(*inst).toStdString();
    EXPECT_EQ(inst->count(QStringLiteral("trel_sql_queries")), 2);

    log.clear();
    const qint64 after = writeRequest(QStringLiteral("after"), 3, 100);
    const qint64 last = writeRequest(QStringLiteral("last"), 1, 100);
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
    EXPECT_GT(after, first);
    EXPECT_GT(last, after);
    EXPECT_EQ(inst->count(QStringLiteral("trel_sql_queries"),
                          QStringLiteral("request_id = %1").arg(after)),
              3);
    EXPECT_EQ(inst->count(QStringLiteral("trel_sql_queries"),
                          QStringLiteral("request_id = %1").arg(last)),
              1);
    EXPECT_EQ(inst->count(QStringLiteral("trel_requests"), QStringLiteral("data_size = -1")), 0);
    EXPECT_EQ(inst->orphanRows(), 0);
    EXPECT_EQ(sequence(), last);
}

} // namespace
