// Worker processes sharing one database: two real processes (this test program started
// again in a child role, each with its own collector and connections) resolve the same
// new URL at once, write overlapping requests at the same time, and meet two new
// statements in opposite orders (a deadlock on MariaDB).

#include "storage/childprocess.h"
#include "storage/storagetest.h"
#include "support/logcapture.h"

#include <trel/trel.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <chrono>
#include <cstring>
#include <thread>

namespace {

const char* const ChildFlag = "--storage-child";

// ---- the child role ---------------------------------------------------------------
// Arguments: role, installation root, folder for the hand-shake files, index, value.
// The child prepares its collector, says "ready-<index>", waits for "go", does its work
// and leaves "result-<index>".

int runChild(const QStringList& args) {
    if (args.size() != 5)
        return 2;
    const QString role = args.at(0);
    const QDir dir(args.at(2));
    const QString index = args.at(3);
    KolvServerInfo info;
    if (!info.load(args.at(1)))
        return 3;
    LogCapture log;
    KTrel* trel = KTrel::instance();
    trel->initialize(info, 1);
    QByteArray result;
    {
        SqlTrace trace;
        if (!writeFile(dir.filePath(QStringLiteral("ready-") + index), "1") ||
            !waitForFile(dir.filePath(QStringLiteral("go")), 60000))
            return 4;
        if (role == QLatin1String("resolve")) {
            const qint64 id = trel->getUrlDbId(args.at(4), trel->getDatabase());
            const int reselects =
                trace.count(QStringLiteral("SELECT id from trel_requests_urls where url_hash"));
            result = QByteArray::number(id) + ' ' + QByteArray::number(reselects);
        } else if (role == QLatin1String("write")) {
            const int requests = args.at(4).toInt();
            for (int i = 0; i < requests; ++i) {
                trel->reset();
                setRequestFacts(trel, QStringLiteral("http://shared.example/%1").arg(i % 4));
                addEverySection(trel, QStringLiteral("s%1").arg(i % 3));
                trel->write();
            }
            result =
                QByteArray::number(log.count(QStringLiteral("KTrel::"), 0)) + ' ' +
                QByteArray::number(trace.count(QStringLiteral("INSERT INTO trel_requests (")) / 2);
        } else if (role == QLatin1String("statements")) {
            // One request whose queries use two new statements, in the order given.
            trel->reset();
            setRequestFacts(trel, QStringLiteral("http://pair.example/") + index);
            for (const QChar name : args.at(4)) {
                KTrel::SqlQuery query;
                query.preparedStatement = QStringLiteral("SELECT * FROM %1 WHERE id = ?").arg(name);
                query.resolvedStatement = QStringLiteral("SELECT * FROM %1 WHERE id = 1").arg(name);
                query.hasPreparedStatement = true;
                trel->addRequestSqlQuery(query);
            }
            trel->write();
            result = QByteArray::number(log.count(QStringLiteral("KTrel::write:"), 0)) + ' ' +
                     QByteArray::number(trel->getRequestId());
        } else {
            return 5;
        }
    }
    QString problems;
    for (const LogCapture::Line& line : log.lines())
        if (line.level == 0)
            problems += line.text + QLatin1Char('\n');
    KTrel::release();
    return writeFile(dir.filePath(QStringLiteral("result-") + index),
                     result + '\n' + problems.toUtf8())
               ? 0
               : 6;
}

// ---- the parent -----------------------------------------------------------------------

class WorkerProcesses : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        ASSERT_TRUE(inst.ok());
        ASSERT_TRUE(dir.isValid());
    }
    bool sqlite() const { return GetParam() == Backend::Sqlite; }

    // Starts two children in `role`, lets them go together while `hold` keeps the
    // table they race for locked for a moment, and returns their results.
    QList<QByteArrayList> runTwo(const QString& role, const QString& value, bool hold) {
        return runTwo(role, value, value, hold);
    }
    QList<QByteArrayList> runTwo(const QString& role, const QString& firstValue,
                                 const QString& secondValue, bool hold,
                                 const char* table = "trel_requests_urls") {
        QList<QByteArrayList> results;
        Child first(ChildFlag, {role, inst.root(), dir.path(), QStringLiteral("1"), firstValue});
        Child second(ChildFlag, {role, inst.root(), dir.path(), QStringLiteral("2"), secondValue});
        if (!first.started() || !second.started()) {
            ADD_FAILURE() << "cannot start the child processes";
            return results;
        }
        const bool ready = waitForFile(dir.filePath(QStringLiteral("ready-1")), 60000) &&
                           waitForFile(dir.filePath(QStringLiteral("ready-2")), 60000);
        EXPECT_TRUE(ready) << "the children did not get ready";
        if (hold) {
            // Both children meet the lock and go on together when it is released.
            QSqlQuery(inst.db()).exec(
                sqlite() ? QStringLiteral("BEGIN IMMEDIATE")
                         : QStringLiteral("LOCK TABLES %1 WRITE").arg(QLatin1String(table)));
        }
        writeFile(dir.filePath(QStringLiteral("go")), "1");
        if (hold) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            QSqlQuery(inst.db()).exec(QString::fromLatin1(sqlite() ? "COMMIT" : "UNLOCK TABLES"));
        }
        EXPECT_EQ(first.wait(120000), 0);
        EXPECT_EQ(second.wait(120000), 0);
        for (const char* index : {"1", "2"}) {
            QFile file(dir.filePath(QStringLiteral("result-") + QLatin1String(index)));
            EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << "no result from child " << index;
            const QByteArray content = file.readAll();
            QByteArrayList parts = content.left(content.indexOf('\n')).split(' ');
            parts << content.mid(content.indexOf('\n') + 1);
            results << parts;
        }
        return results;
    }

    TestInstallation inst{GetParam()};
    QTemporaryDir dir;
};

TEST_P(WorkerProcesses, SameNewUrlResolvedAtOnceGivesOneRowAndTheSameId) {
    const QString url = QStringLiteral("http://race.example/checkout");
    const QList<QByteArrayList> results = runTwo(QStringLiteral("resolve"), url, true);
    ASSERT_EQ(results.size(), 2);
    const qint64 stored =
        inst.scalar(QStringLiteral("SELECT id FROM trel_requests_urls WHERE url_hash = ?"),
                    {QVariant(sha1(url))})
            .toLongLong();
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests_urls")), 1);
    for (const QByteArrayList& result : results) {
        ASSERT_EQ(result.size(), 3);
        EXPECT_EQ(result.at(0).toLongLong(), stored);
        EXPECT_EQ(result.at(2), QByteArray()) << "logged: " << result.at(2).toStdString();
    }
    // One of them lost the race: its insert met the other's row, and it took that id.
    EXPECT_EQ(results.at(0).at(1).toInt() + results.at(1).at(1).toInt(), 2)
        << "exactly one re-select (traced twice)";
}

TEST_P(WorkerProcesses, OverlappingRequestsWrittenAtOnceAreAllStoredWhole) {
    const int perChild = 24;
    const QList<QByteArrayList> results =
        runTwo(QStringLiteral("write"), QString::number(perChild), false);
    ASSERT_EQ(results.size(), 2);
    for (const QByteArrayList& result : results) {
        ASSERT_EQ(result.size(), 3);
        EXPECT_EQ(result.at(0).toInt(), 0) << "failures logged: " << result.at(2).toStdString();
        EXPECT_EQ(result.at(1).toInt(), perChild);
    }
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 2 * perChild);
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests_urls")), 4);
    EXPECT_EQ(inst.count(QStringLiteral("trel_sql_statements")), 3);
    // Every reference resolves: no request lost its URL, no query its statement.
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests"),
                         QStringLiteral("url_id NOT IN (SELECT id FROM trel_requests_urls)")),
              0);
    EXPECT_EQ(
        inst.count(QStringLiteral("trel_sql_queries"),
                   QStringLiteral("prepared_statement_id IN (SELECT id FROM trel_sql_statements)")),
        2 * perChild);
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests"), QStringLiteral("data_size = -1")), 0);
    EXPECT_EQ(inst.orphanRows(), 0);
}

TEST_P(WorkerProcesses, NewStatementsMetInOppositeOrdersAreBothStoredWhole) {
    // Each worker meets the other's first statement while its own is not committed: on
    // MariaDB one of them is chosen as a deadlock victim, its transaction rolled back, and
    // the writer writes that request again from the start.
    const QList<QByteArrayList> results = runTwo(QStringLiteral("statements"), QStringLiteral("pq"),
                                                 QStringLiteral("qp"), true, "trel_sql_statements");
    ASSERT_EQ(results.size(), 2);
    for (const QByteArrayList& result : results) {
        ASSERT_EQ(result.size(), 3);
        EXPECT_EQ(result.at(0).toInt(), 0) << result.at(2).toStdString();
        const qint64 requestId = result.at(1).toLongLong();
        EXPECT_EQ(
            inst.count(QStringLiteral("trel_requests"), QStringLiteral("id = %1").arg(requestId)),
            1);
        EXPECT_EQ(inst.count(QStringLiteral("trel_sql_queries"),
                             QStringLiteral("request_id = %1 AND prepared_statement_id IN (SELECT "
                                            "id FROM trel_sql_statements)")
                                 .arg(requestId)),
                  2)
            << result.at(2).toStdString();
    }
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests")), 2);
    EXPECT_EQ(inst.count(QStringLiteral("trel_sql_queries")), 4);
    EXPECT_EQ(inst.count(QStringLiteral("trel_sql_statements")), 2);
    EXPECT_EQ(inst.orphanRows(), 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, WorkerProcesses,
                         ::testing::Values(Backend::Sqlite, Backend::MySql),
                         [](const auto& info) { return backendName(info.param); });

} // namespace

// The program is its own child: with the child flag it plays one worker process.
int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], ChildFlag) == 0) {
        QStringList args;
        for (int i = 2; i < argc; ++i)
            args << QString::fromLocal8Bit(argv[i]);
        return runChild(args);
    }
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
