// Workers forked the way a PHP process manager forks them: a master process (this
// program started again) forks four workers, with the collector initialized before the
// fork or in each worker after it, and ends while they write. The workers write concurrently
// while `trel requests` opens and closes the database alongside; every request must be
// stored whole and every write succeed.

#include "storage/childprocess.h"
#include "storage/storagetest.h"
#include "support/logcapture.h"

#include <trel/trel.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdlib>
#include <cstring>

#ifndef TREL_CLI
#error "TREL_CLI must name the built trel program"
#endif

namespace {

const char* const MasterFlag = "--fork-master";
const int Workers = 4;
const int PerWorker = 25;

// Writes its requests once told to go, then leaves "result-<index>" with the level-0
// lines it logged (empty when every write succeeded) and ends as a worker ends.
int runWorker(const KolvServerInfo& info, const QDir& dir, int index, bool initialized) {
    if (!waitForFile(dir.filePath(QStringLiteral("go")), 60000))
        return 4;
    LogCapture log;
    KTrel* trel = KTrel::instance();
    if (!initialized)
        trel->initialize(info, 1);
    for (int i = 0; i < PerWorker; ++i) {
        trel->reset();
        setRequestFacts(trel, QStringLiteral("http://fork.example/%1/%2").arg(index).arg(i % 3));
        addEverySection(trel, QStringLiteral("w%1").arg(index));
        trel->write();
        // Paced, so that the readers meet the workers in the middle of their writes.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const QString problems = log.texts(0).join(QLatin1Char('\n'));
    KTrel::release();
    return writeFile(dir.filePath(QStringLiteral("result-%1").arg(index)), problems.toUtf8()) ? 0
                                                                                              : 6;
}

// Arguments: installation root, hand-shake folder, 1 to initialize before the fork.
int runMaster(const QStringList& args) {
    if (args.size() != 3)
        return 2;
    KolvServerInfo info;
    if (!info.load(args.at(0)))
        return 3;
    const QDir dir(args.at(1));
    const bool initializeFirst = args.at(2) == QLatin1String("1");
    if (initializeFirst)
        KTrel::instance()->initialize(info, 1);
    QByteArray pids;
    for (int index = 0; index < Workers; ++index) {
        const pid_t pid = ::fork();
        if (pid < 0)
            return 4;
        if (pid == 0) // exit(), not _exit(): the worker ends with the library's clean-up
            std::exit(runWorker(info, dir, index, initializeFirst));
        pids += QByteArray::number(pid) + ' ';
    }
    if (!writeFile(dir.filePath(QStringLiteral("workers")), pids) ||
        !waitForFile(dir.filePath(QStringLiteral("go")), 60000))
        return 5;
    // The master ends while its workers write.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    return 0;
}

int runTrelRequests(const QString& root) {
    QProcess process;
    process.start(QStringLiteral(TREL_CLI), {QStringLiteral("requests"), root});
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

struct Case {
    Backend backend;
    bool initializeBeforeFork;
};

class ForkedWorkers : public ::testing::TestWithParam<Case> {
protected:
    TestInstallation inst{GetParam().backend};
    QTemporaryDir dir;
};

TEST_P(ForkedWorkers, EveryRequestIsStoredWholeAfterTheMasterEnded) {
    ASSERT_TRUE(inst.ok());
    ASSERT_TRUE(dir.isValid());
    const QDir hand(dir.path());
    Child master(MasterFlag, {inst.root(), dir.path(),
                              QLatin1String(GetParam().initializeBeforeFork ? "1" : "0")});
    ASSERT_TRUE(master.started());
    ASSERT_TRUE(waitForFile(hand.filePath(QStringLiteral("workers")), 60000));
    QFile pidFile(hand.filePath(QStringLiteral("workers")));
    ASSERT_TRUE(pidFile.open(QIODevice::ReadOnly));
    const QList<QByteArray> pids = pidFile.readAll().trimmed().split(' ');
    ASSERT_EQ(pids.size(), Workers);

    ASSERT_TRUE(writeFile(hand.filePath(QStringLiteral("go")), "1"));
    // Readers open and close the database while the workers write, and once after.
    auto allDone = [&hand] {
        for (int index = 0; index < Workers; ++index)
            if (!QFile::exists(hand.filePath(QStringLiteral("result-%1").arg(index))))
                return false;
        return true;
    };
    int readers = 0;
    const auto start = std::chrono::steady_clock::now();
    while (!allDone() && std::chrono::steady_clock::now() - start < std::chrono::seconds(60)) {
        EXPECT_EQ(runTrelRequests(inst.root()), 0);
        ++readers;
    }
    EXPECT_EQ(master.wait(60000), 0);
    // A worker that hangs on a shared session is ended here, and reported below.
    for (const QByteArray& pid : pids)
        ::kill(static_cast<pid_t>(pid.toInt()), SIGKILL);
    EXPECT_EQ(runTrelRequests(inst.root()), 0);
    EXPECT_GE(readers, 1);

    for (int index = 0; index < Workers; ++index) {
        QFile result(hand.filePath(QStringLiteral("result-%1").arg(index)));
        ASSERT_TRUE(result.open(QIODevice::ReadOnly)) << "worker " << index << " did not finish";
        EXPECT_EQ(result.readAll().toStdString(), "") << "worker " << index << " logged failures";
    }
    const qint64 expected = Workers * PerWorker;
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), expected)
        << rowCounts(inst).toStdString();
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests"), QStringLiteral("data_size = -1")), 0);
    for (const QString& table : TestInstallation::requestTables()) {
        const int rowsPerRequest = table == QLatin1String("trel_sql_queries") ? 2 : 1;
        EXPECT_EQ(inst.count(QStringLiteral("trel_requests"),
                             QStringLiteral("(SELECT COUNT(*) FROM %1 WHERE request_id = "
                                            "trel_requests.id) <> %2")
                                 .arg(table)
                                 .arg(rowsPerRequest)),
                  0)
            << "requests not whole in " << table.toStdString();
    }
    EXPECT_EQ(inst.orphanRows(), 0);
    if (inst.backend() == Backend::Sqlite) {
        EXPECT_EQ(inst.scalar(QStringLiteral("PRAGMA integrity_check")).toString().toStdString(),
                  "ok");
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, ForkedWorkers,
                         ::testing::Values(Case{Backend::Sqlite, true},
                                           Case{Backend::Sqlite, false}, Case{Backend::MySql, true},
                                           Case{Backend::MySql, false}),
                         [](const auto& info) {
                             return backendName(info.param.backend) +
                                    (info.param.initializeBeforeFork ? "_InitializedBeforeFork"
                                                                     : "_InitializedInWorkers");
                         });

} // namespace

// The program is its own master process: with the flag it forks the workers.
int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], MasterFlag) == 0) {
        QStringList args;
        for (int i = 2; i < argc; ++i)
            args << QString::fromLocal8Bit(argv[i]);
        return runMaster(args);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
