#include "installation.h"
#include "support/logcapture.h"
#include "support/testinstallation.h"

#include <trel/trel.h>

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <climits>

namespace {

// Counts its own destruction, to show who deletes an installed generator.
class CountingGenerator : public IBacktraceGenerator {
public:
    explicit CountingGenerator(int* destroyed) : m_destroyed(destroyed) {}
    ~CountingGenerator() override { ++*m_destroyed; }
    QString generateBacktrace() override { return QStringLiteral("#0 main()"); }
    void getFileAndLine(QString& fileName, int& line) override {
        fileName = QStringLiteral("index.php");
        line = 12;
    }

private:
    int* m_destroyed;
};

int callbackCalls = 0;
void countingCallback(bool) {
    ++callbackCalls;
}

bool writeText(const QString& path, const QByteArray& text) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(text) == text.size();
}

QString headerPath(const QString& root) {
    return QDir(root).filePath(QStringLiteral("share/scripts/trel_header.html"));
}
QString footerPath(const QString& root) {
    return QDir(root).filePath(QStringLiteral("share/scripts/trel_footer.html"));
}

// Runs a statement on a handle the library gave out; fails the test when it fails.
QVariant scalarOn(QSqlDatabase& db, const QString& sql) {
    QSqlQuery query(db);
    if (!query.exec(sql) || !query.next()) {
        ADD_FAILURE() << sql.toStdString() << ": " << query.lastError().text().toStdString();
        return QVariant();
    }
    return query.value(0);
}

// Qt's own warnings (qWarning), which go around the logging streams.
QStringList qtWarnings;
void recordQtMessage(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type != QtDebugMsg && type != QtInfoMsg)
        qtWarnings << text;
}

class Collector : public ::testing::Test {
protected:
    void SetUp() override {
        KTrel::release();
        callbackCalls = 0;
    }
    void TearDown() override { KTrel::release(); }
};

// Every member the interface shows, at the value a new collector starts with (and, for
// the per-request members, the value reset() returns them to).
void expectStartValues(KTrel* trel, bool afterReset) {
    if (!afterReset) {
        EXPECT_FALSE(trel->isInitialized());
        EXPECT_TRUE(trel->getServerInfo().getRoot().isEmpty());
        EXPECT_EQ(trel->getServerInfo().getDbType(), "SQLITE");
        EXPECT_EQ(trel->getDebugStream(), KDebug::StreamId(1));
        EXPECT_TRUE(trel->getHeaderTemplate().isEmpty());
        EXPECT_TRUE(trel->getFooterTemplate().isEmpty());
        EXPECT_TRUE(trel->getPrimaryUrl().isEmpty());
        EXPECT_TRUE(trel->isEnableDatabaseWrite());
        EXPECT_EQ(trel->getBacktraceGenerator(), nullptr);
        EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral("Mozilla/5.0")));
    }
    EXPECT_TRUE(trel->getPageId().isEmpty());
    EXPECT_FALSE(trel->isValid());
    EXPECT_TRUE(trel->isBarEnabled());
    EXPECT_TRUE(trel->isCollectionEnabled());
    EXPECT_FALSE(trel->isCollectionDisabled());
    EXPECT_TRUE(trel->isEventCollectionEnabled());
    EXPECT_FALSE(trel->isHeaderSent());
    EXPECT_FALSE(trel->isFooterSent());
    EXPECT_TRUE(trel->getRequestOutput().isEmpty());
    EXPECT_FALSE(trel->getWrittenToDb());
    EXPECT_EQ(trel->getOutputState(), 0);
    EXPECT_FALSE(trel->getBodyStarted());
    EXPECT_FALSE(trel->isBufferingOutput());
    EXPECT_EQ(trel->getRequestId(), 0);
    EXPECT_FALSE(trel->getIsPrimaryPage());
    EXPECT_TRUE(trel->getFunctionsStats().isEmpty());
    EXPECT_TRUE(trel->getEventAggKeys().empty());
    EXPECT_FALSE(trel->getOutputIsGzipped());
    EXPECT_FALSE(trel->hasGzippedOutput());
    EXPECT_TRUE(trel->getGZippedOutput().isEmpty());
    const KTrel::PhpError& last = trel->getLastPHPError();
    EXPECT_TRUE(last.message.isEmpty());
    EXPECT_TRUE(last.type.isEmpty());
    EXPECT_THROW(trel->getBacktraceById(0), KException);

    const KTrel::Request& request = trel->getRequest();
    EXPECT_TRUE(request.getUrl().isEmpty());
    EXPECT_TRUE(request.getMethod().isEmpty());
    EXPECT_EQ(request.getStatus(), 0);
    EXPECT_EQ(request.getRequestTime(), 0);
    EXPECT_EQ(request.getDatabaseTime(), 0);
    EXPECT_EQ(request.getNetworkTime(), 0);
    EXPECT_EQ(request.getLocalTime(), 0);
    EXPECT_EQ(request.getOtherTime(), 0);
    EXPECT_EQ(request.getPeakMemoryUsage(), 0);
    EXPECT_EQ(request.getMemoryLimit(), 0);
    EXPECT_FALSE(request.isErrorsSilenced());
    EXPECT_TRUE(request.getQueries().isEmpty());
    if (!afterReset) {
        EXPECT_TRUE(request.getStartTime().isNull());
        EXPECT_FALSE(request.isBreakdownFrozen());
    }
}

// Gives every per-request member a value other than its start value.
void fillRequestState(KTrel* trel) {
    trel->setPageId(QStringLiteral("page-1"));
    trel->setBarEnabled(false);
    trel->setCollectionEnabled(false);
    trel->setEventCollectionEnabled(false);
    trel->setHeaderSent();
    trel->setFooterSent(true);
    trel->appendRequestOutput(QStringLiteral("<html>"));
    trel->setWrittenToDb(true);
    trel->setOutputState(9);
    trel->setRequestId(77);
    trel->setIsPrimaryPage(true);
    KFunctionStats stats;
    stats.setFunctionName("strlen");
    trel->getFunctionsStats().insert("strlen", stats);
    trel->addEventAggKey("event");
    trel->setOutputIsGzipped(true);
    trel->addGzippedOutput("\x1f\x8b", 2);
    trel->addPhpError(2, "a.php", 3, "warned", -1);
    trel->addBacktrace(QStringLiteral("#0 f()"));
    trel->addSerializedSuperGlobal("_GET", "a:0:{}", KTrel::SAMPLE_START);
    KTrel::SqlQuery query;
    query.resolvedStatement = QStringLiteral("SELECT 1");
    trel->addRequestSqlQuery(query);

    trel->setRequest(QStringLiteral("http://shop.example/cart"));
    trel->setRequestMethod(QStringLiteral("POST"));
    trel->setRequestStatus(404);
    trel->setRequestStartTime(QDateTime::fromSecsSinceEpoch(1700000000));
    trel->setRequestTime(5000);
    KTrel::Request& request = trel->getRequest();
    request.setDatabaseTime(1);
    request.addNetworkTime(2);
    request.setOtherTime(3);
    request.addLocalTime(4);
    request.setPeakMemoryUsage(1 << 20);
    request.setMemoryLimit(1 << 27);
    request.setErrorsSilenced(true);
}

TEST_F(Collector, ANewCollectorHasItsStartValues) {
    KTrel* trel = KTrel::instance();
    ASSERT_NE(trel, nullptr);
    EXPECT_EQ(KTrel::instance(), trel);
    expectStartValues(trel, false);
}

TEST_F(Collector, ResetReturnsThePerRequestStateAndKeepsTheConfiguration) {
    int destroyed = 0;
    KTrel* trel = KTrel::instance();
    auto* generator = new CountingGenerator(&destroyed);
    trel->setBacktraceGenerator(generator);
    trel->setEnabledCallback(countingCallback);
    trel->setPrimaryUrl(QStringLiteral("http://shop.example/"));
    trel->setEnableDatabaseWrite(false);
    fillRequestState(trel);
    trel->getRequest().setBreakdownFrozen(true);
    const int callsBefore = callbackCalls;

    LogCapture log;
    trel->reset();
    EXPECT_TRUE(log.lines().empty()) << log.texts().join('\n').toStdString();
    EXPECT_EQ(callbackCalls, callsBefore);

    expectStartValues(trel, true);
    // Kept: configuration, the primary page's URL, the write switch, the start time and
    // the frozen breakdown.
    EXPECT_EQ(trel->getPrimaryUrl(), "http://shop.example/");
    EXPECT_FALSE(trel->isEnableDatabaseWrite());
    EXPECT_EQ(trel->getBacktraceGenerator(), generator);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(trel->getRequest().getStartTime(), QDateTime::fromSecsSinceEpoch(1700000000));
    EXPECT_TRUE(trel->getRequest().isBreakdownFrozen());
    trel->setCollectionEnabled(false);
    EXPECT_EQ(callbackCalls, callsBefore + 1);
    // The generator counts into this test's frame: it must go before the frame does.
    KTrel::release();
    EXPECT_EQ(destroyed, 1);
}

TEST_F(Collector, TheConstructorResetsSoANewCollectorAfterReleaseStartsClean) {
    KTrel* trel = KTrel::instance();
    trel->setPrimaryUrl(QStringLiteral("http://kept.example/"));
    trel->setEnableDatabaseWrite(false);
    trel->setEnabledCallback(countingCallback);
    fillRequestState(trel);
    KTrel::release();

    trel = KTrel::instance();
    expectStartValues(trel, false);
    trel->setCollectionEnabled(false);
    EXPECT_EQ(callbackCalls, 1); // the one from fillRequestState; the new one has none
}

TEST_F(Collector, ReleaseWithoutACollectorDoesNothing) {
    KTrel::release();
    KTrel::release();
    EXPECT_TRUE(KTrel::instance()->isCollectionEnabled());
}

TEST_F(Collector, TheRequestIdHoldsAllSixtyFourBits) {
    KTrel* trel = KTrel::instance();
    const qint64 big = qint64(1) << 40;
    trel->setRequestId(big);
    EXPECT_EQ(trel->getRequestId(), big);
    trel->setRequestId(LLONG_MAX);
    EXPECT_EQ(trel->getRequestId(), LLONG_MAX);
    trel->setRequestId((qint64(1) << 31) + 5);
    EXPECT_EQ(trel->getRequestId(), (qint64(1) << 31) + 5);
    trel->setRequestId(-1);
    EXPECT_EQ(trel->getRequestId(), -1);
    trel->setRequestId(123);
    EXPECT_EQ(trel->getRequestId(), 123);
    trel->reset();
    EXPECT_EQ(trel->getRequestId(), 0);
}

TEST_F(Collector, DestroyingTheCollectorDeletesTheInstalledGenerator) {
    int destroyed = 0;
    auto* generator = new CountingGenerator(&destroyed);
    KTrel::instance()->setBacktraceGenerator(generator);
    EXPECT_EQ(KTrel::instance()->getBacktraceGenerator(), generator);
    KTrel::instance()->reset();
    EXPECT_EQ(destroyed, 0);
    KTrel::release();
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(KTrel::instance()->getBacktraceGenerator(), nullptr);
    KTrel::release();
    EXPECT_EQ(destroyed, 1);
}

// ---------------------------------------------------------------------------------
// initialize()

class Initialize : public Collector {};

TEST_F(Initialize, ReadsBothTemplatesAndChoosesSqlite) {
    TestInstallation inst(Backend::Sqlite);
    ASSERT_TRUE(inst.ok());
    LogCapture log({1, 6});
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 6);

    EXPECT_TRUE(trel->isInitialized());
    EXPECT_EQ(trel->getHeaderTemplate(), Installation::headerTemplate());
    EXPECT_EQ(trel->getFooterTemplate(), Installation::footerTemplate());
    EXPECT_EQ(trel->getServerInfo().getRoot(), inst.root());
    EXPECT_EQ(trel->getDebugStream(), KDebug::StreamId(6));

    // Every line of the collector goes to the stream given here.
    for (const LogCapture::Line& line : log.lines())
        EXPECT_EQ(line.stream, 6u) << line.text.toStdString();
    const QStringList texts = log.texts();
    const int footer =
        texts.indexOf(QStringLiteral("Trel: read footer: ") + Installation::footerTemplate());
    const int header =
        texts.indexOf(QStringLiteral("Trel: read header: ") + Installation::headerTemplate());
    const int sqlite =
        texts.indexOf(QStringLiteral("Trel: Database connection is configured for SQLite"));
    ASSERT_GE(footer, 0) << texts.join('\n').toStdString();
    ASSERT_GE(header, 0);
    ASSERT_GE(sqlite, 0);
    EXPECT_LT(footer, header);
    EXPECT_LT(header, sqlite);
    EXPECT_EQ(log.lines()[footer].level, 5);
    EXPECT_EQ(log.lines()[header].level, 5);
    EXPECT_EQ(log.lines()[sqlite].level, 3);
    EXPECT_EQ(log.count(QStringLiteral("Trel: Database connection is configured for MySQL")), 0);
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();

    QSqlDatabase& db = trel->getDatabase();
    EXPECT_EQ(db.driverName(), "QSQLITE");
    EXPECT_EQ(db.databaseName(), inst.databasePath());
}

TEST_F(Initialize, AMissingHeaderFileGivesTheUnableToOpenLineAndAnEmptyTemplate) {
    TestInstallation inst(Backend::Sqlite);
    ASSERT_TRUE(inst.ok());
    ASSERT_TRUE(QFile::remove(headerPath(inst.root())));
    qtWarnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(recordQtMessage);
    LogCapture log;
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    qInstallMessageHandler(previous);

    EXPECT_TRUE(trel->isInitialized());
    EXPECT_TRUE(trel->getHeaderTemplate().isEmpty());
    EXPECT_EQ(trel->getFooterTemplate(), Installation::footerTemplate());
    const QStringList errors = log.texts(0);
    ASSERT_EQ(errors.size(), 1) << log.texts().join('\n').toStdString();
    EXPECT_EQ(errors[0],
              QStringLiteral("Unable to open ") + inst.root() +
                  QStringLiteral("/share/scripts/trel_header.html No such file or directory"));
    EXPECT_EQ(log.count(QStringLiteral("Trel: read header:"), 5), 1);
    EXPECT_TRUE(log.contains(QStringLiteral("Trel: read header: ")));
    // The missing file is reported once, through the collector's stream only.
    EXPECT_TRUE(qtWarnings.isEmpty()) << qtWarnings.join('\n').toStdString();
}

TEST_F(Initialize, AMissingFooterFileLeavesTheHeaderAlone) {
    TestInstallation inst(Backend::Sqlite);
    ASSERT_TRUE(inst.ok());
    ASSERT_TRUE(QFile::remove(footerPath(inst.root())));
    LogCapture log;
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    EXPECT_TRUE(trel->getFooterTemplate().isEmpty());
    EXPECT_EQ(trel->getHeaderTemplate(), Installation::headerTemplate());
    ASSERT_EQ(log.texts(0).size(), 1);
    EXPECT_TRUE(
        log.texts(0)[0].startsWith(QStringLiteral("Unable to open ") + footerPath(inst.root())));
}

TEST_F(Initialize, TemplatesAreReadOncePerCollector) {
    TestInstallation inst(Backend::Sqlite);
    ASSERT_TRUE(inst.ok());
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    ASSERT_TRUE(writeText(headerPath(inst.root()), "<b>new header</b>"));
    trel->reset();
    trel->initialize(inst.serverInfo(), 1);
    EXPECT_EQ(trel->getHeaderTemplate(), Installation::headerTemplate());

    KTrel::release();
    trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    EXPECT_EQ(trel->getHeaderTemplate(), "<b>new header</b>");
}

TEST_F(Initialize, TemplatesAreDecodedAsUtf8) {
    TestInstallation inst(Backend::Sqlite);
    ASSERT_TRUE(inst.ok());
    ASSERT_TRUE(writeText(footerPath(inst.root()), "<i>caf\xc3\xa9</i>"));
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    EXPECT_EQ(trel->getFooterTemplate(), QString::fromUtf8("<i>caf\xc3\xa9</i>"));
}

TEST_F(Initialize, ASecondInitializeChangesNothing) {
    TestInstallation first(Backend::Sqlite);
    TestInstallation second(Backend::Sqlite);
    ASSERT_TRUE(first.ok());
    ASSERT_TRUE(second.ok());
    ASSERT_TRUE(writeText(headerPath(second.root()), "other header"));
    KTrel* trel = KTrel::instance();
    trel->initialize(first.serverInfo(), 1);

    KolvServerInfo other = second.serverInfo();
    other.setDbType(QStringLiteral("QMYSQL"));
    other.setDbHostName(QStringLiteral("127.0.0.1"));
    other.setDbPort(1);
    LogCapture log({1, 2});
    trel->initialize(other, 2);
    EXPECT_TRUE(log.lines().empty()) << log.texts().join('\n').toStdString();
    EXPECT_TRUE(trel->isInitialized());
    EXPECT_EQ(trel->getServerInfo().getRoot(), first.root());
    EXPECT_EQ(trel->getServerInfo().getDbType(), "SQLITE");
    EXPECT_EQ(trel->getDebugStream(), KDebug::StreamId(1));
    EXPECT_EQ(trel->getHeaderTemplate(), Installation::headerTemplate());
    QSqlDatabase& db = trel->getDatabase();
    EXPECT_EQ(db.driverName(), "QSQLITE");
    EXPECT_EQ(db.databaseName(), first.databasePath());
}

TEST_F(Initialize, LowerCaseMysqlTakesTheSqliteBranch) {
    TestInstallation inst(Backend::Sqlite);
    ASSERT_TRUE(inst.ok());
    KolvServerInfo info = inst.serverInfo();
    info.setDbType(QStringLiteral("mysql"));
    info.setDbHostName(QStringLiteral("127.0.0.1"));
    info.setDbPort(1);
    LogCapture log;
    KTrel* trel = KTrel::instance();
    trel->initialize(info, 1);
    EXPECT_EQ(log.count(QStringLiteral("Trel: Database connection is configured for SQLite"), 3),
              1);
    EXPECT_EQ(log.count(QStringLiteral("Trel: Database connection is configured for MySQL")), 0);
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
    QSqlDatabase& db = trel->getDatabase();
    EXPECT_EQ(db.driverName(), "QSQLITE");
    EXPECT_EQ(scalarOn(db, QStringLiteral("SELECT COUNT(*) FROM trel_requests")).toInt(), 0);
}

TEST_F(Initialize, EachUpperCaseMySqlNameTakesTheMySqlBranch) {
    TestInstallation inst(Backend::MySql);
    ASSERT_TRUE(inst.ok());
    for (const char* type : {"DRIZZLE", "QMYSQL", "MYSQL"}) {
        SCOPED_TRACE(type);
        KTrel::release();
        KolvServerInfo info = inst.serverInfo();
        info.setDbType(QString::fromLatin1(type));
        LogCapture log;
        KTrel* trel = KTrel::instance();
        trel->initialize(info, 1);
        EXPECT_EQ(log.count(QStringLiteral("Trel: Database connection is configured for MySQL"), 3),
                  1);
        EXPECT_EQ(log.count(QStringLiteral("Trel: Database connection is configured for SQLite")),
                  0);
        EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
        QSqlDatabase& db = trel->getDatabase();
        EXPECT_EQ(db.driverName(), "QMYSQL");
        EXPECT_EQ(scalarOn(db, QStringLiteral("SELECT DATABASE()")).toString(),
                  inst.serverInfo().getDbName());
    }
}

TEST_F(Initialize, AnUnreachableMySqlServerIsLoggedAndInitializationCompletes) {
    TestInstallation inst(Backend::Sqlite);
    ASSERT_TRUE(inst.ok());
    KolvServerInfo info = inst.serverInfo();
    info.setDbType(QStringLiteral("QMYSQL"));
    info.setDbHostName(QStringLiteral("127.0.0.1"));
    info.setDbPort(1);
    info.setDbName(QStringLiteral("trel"));
    info.setDbUsername(QStringLiteral("nobody"));
    LogCapture log;
    KTrel* trel = KTrel::instance();
    EXPECT_NO_THROW(trel->initialize(info, 1));
    EXPECT_TRUE(trel->isInitialized());
    EXPECT_EQ(trel->getHeaderTemplate(), Installation::headerTemplate());
    EXPECT_EQ(log.count(QStringLiteral("KTrel::refreshUrlsCache:"), 0), 1);
    EXPECT_EQ(log.count(QStringLiteral("KTrel::refreshStatementsCache:"), 0), 1);
    EXPECT_EQ(log.count(QStringLiteral("KTrel::loadUserAgentTable:"), 0), 1);
}

TEST_F(Initialize, ResetKeepsTheCachesAndTheUserAgentTable) {
    TestInstallation inst(Backend::Sqlite);
    ASSERT_TRUE(inst.ok());
    const QString url = QStringLiteral("http://shop.example/known");
    const QByteArray hash = QCryptographicHash::hash(url.toUtf8(), QCryptographicHash::Sha1);
    ASSERT_TRUE(
        inst.exec(QStringLiteral("INSERT INTO trel_requests_urls (id, url_hash, url) VALUES "
                                 "(41, ?, ?)"),
                  {hash, url}));
    ASSERT_TRUE(inst.exec(QStringLiteral("INSERT INTO trel_user_agent (id, user_agent, extra, "
                                         "agent_string) VALUES (1, 'bot', '', 'TestBot/[0-9]+')")));
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    ASSERT_TRUE(trel->isAgentAllowed(QStringLiteral("Mozilla TestBot/2")));
    trel->setPrimaryUrl(QStringLiteral("http://shop.example/"));
    fillRequestState(trel);

    LogCapture log;
    trel->reset();
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(trel->isInitialized());
    EXPECT_EQ(trel->getHeaderTemplate(), Installation::headerTemplate());
    EXPECT_EQ(trel->getFooterTemplate(), Installation::footerTemplate());
    EXPECT_EQ(trel->getServerInfo().getRoot(), inst.root());
    EXPECT_EQ(trel->getPrimaryUrl(), "http://shop.example/");
    EXPECT_TRUE(trel->isAgentAllowed(QStringLiteral("Mozilla TestBot/2")));
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral("Mozilla")));
    // The preloaded URL is answered from the cache, without a statement.
    EXPECT_EQ(trel->getUrlDbId(url, inst.db()), 41);
    EXPECT_EQ(log.texts(), QStringList({"Cache id for url is 41"}));

    // A fresh collector knows nothing until it is initialised.
    KTrel::release();
    trel = KTrel::instance();
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral("Mozilla TestBot/2")));
    log.clear();
    EXPECT_EQ(trel->getUrlDbId(url, inst.db()), 41);
    EXPECT_EQ(log.count(QStringLiteral("Cache id for url is")), 0);
    EXPECT_EQ(log.count(QStringLiteral("No cache id for")), 1);
}

TEST_F(Initialize, ResetEmptiesTheCollectedDataSoNothingOfItIsWrittenNext) {
    TestInstallation inst(Backend::Sqlite);
    ASSERT_TRUE(inst.ok());
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    fillRequestState(trel);
    trel->reset();
    trel->setPageId(QStringLiteral("second"));
    trel->setRequest(QStringLiteral("http://shop.example/second"));
    LogCapture log;
    trel->write();
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
    ASSERT_EQ(inst.count(QStringLiteral("trel_requests")), 1);
    EXPECT_EQ(inst.scalar(QStringLiteral("SELECT page_id FROM trel_requests")).toString(),
              "second");
    EXPECT_EQ(inst.scalar(QStringLiteral("SELECT status_code FROM trel_requests")).toInt(), 0);
    EXPECT_EQ(inst.scalar(QStringLiteral("SELECT method FROM trel_requests")).toString(), "");
    EXPECT_EQ(inst.scalar(QStringLiteral("SELECT data_size FROM trel_requests")).toLongLong(), 0);
    EXPECT_EQ(inst.count(QStringLiteral("trel_sql_queries")), 0);
    EXPECT_EQ(inst.count(QStringLiteral("trel_log_entries")), 0);
    EXPECT_EQ(inst.count(QStringLiteral("trel_functions_stats")), 0);
    EXPECT_EQ(inst.count(QStringLiteral("trel_monitor_events")), 0);
    EXPECT_EQ(inst.count(QStringLiteral("trel_superglobals_data")), 0);
    EXPECT_EQ(inst.count(QStringLiteral("trel_backtrace")), 0);
}

// ---------------------------------------------------------------------------------
// The request id of a stored request, beyond 32 bits.

class WideRequestId : public ::testing::TestWithParam<Backend> {
protected:
    void TearDown() override { KTrel::release(); }
};

TEST_P(WideRequestId, RowsOfARequestBeyondTwoToTheThirtyOneCarryItsFullId) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    const qint64 base = qint64(1) << 40;
    if (GetParam() == Backend::Sqlite)
        ASSERT_TRUE(inst.exec(QStringLiteral("INSERT INTO sqlite_sequence (name, seq) VALUES "
                                             "('trel_requests', ?)"),
                              {QVariant(static_cast<qlonglong>(base))}));
    else
        ASSERT_TRUE(inst.exec(
            QStringLiteral("ALTER TABLE trel_requests AUTO_INCREMENT = %1").arg(base + 1)));

    LogCapture log;
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    trel->reset();
    trel->setPageId(QStringLiteral("wide"));
    trel->setRequest(QStringLiteral("http://shop.example/wide"));
    KFunctionStats stats;
    stats.setFunctionName("render");
    stats.setCalls(2);
    trel->getFunctionsStats().insert(stats.getFullName(), stats);
    trel->addEventAggKey("checkout");
    trel->write();
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();

    const qint64 id = inst.scalar(QStringLiteral("SELECT id FROM trel_requests")).toLongLong();
    EXPECT_EQ(id, base + 1);
    EXPECT_EQ(trel->getRequestId(), base + 1);
    EXPECT_EQ(
        inst.scalar(QStringLiteral("SELECT request_id FROM trel_functions_stats")).toLongLong(),
        base + 1);
    EXPECT_EQ(
        inst.scalar(QStringLiteral("SELECT request_id FROM trel_monitor_events")).toLongLong(),
        base + 1);
    EXPECT_EQ(inst.scalar(QStringLiteral("SELECT request_id FROM trel_processing_breakdown"))
                  .toLongLong(),
              base + 1);
    EXPECT_EQ(inst.orphanRows(), 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, WideRequestId,
                         ::testing::Values(Backend::Sqlite, Backend::MySql),
                         [](const auto& info) { return backendName(info.param); });

// ---------------------------------------------------------------------------------
// getDatabase(): the handle outlives the call.

class HeldDatabase : public ::testing::TestWithParam<Backend> {
protected:
    void TearDown() override { KTrel::release(); }
};

TEST_P(HeldDatabase, TheHandleStaysUsableAfterTheCallAndAcrossWrites) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    QSqlDatabase& db = trel->getDatabase();
    ASSERT_TRUE(db.isOpen());
    EXPECT_EQ(scalarOn(db, QStringLiteral("SELECT COUNT(*) FROM trel_requests")).toInt(), 0);

    // A write opens and releases its own connection; the held one is not taken away.
    trel->reset();
    trel->setPageId(QStringLiteral("p"));
    trel->setRequest(QStringLiteral("http://shop.example/held"));
    trel->write();
    EXPECT_TRUE(db.isOpen());
    EXPECT_EQ(scalarOn(db, QStringLiteral("SELECT COUNT(*) FROM trel_requests")).toInt(), 1);

    // A second call gives a usable handle too.
    QSqlDatabase& again = trel->getDatabase();
    EXPECT_EQ(scalarOn(again, QStringLiteral("SELECT COUNT(*) FROM trel_requests")).toInt(), 1);
}

// Connections other than the SQLite registry's own keepers, which keep each file open for
// the life of the process and are never handed out.
int handedOutConnections() {
    int count = 0;
    for (const QString& name : QSqlDatabase::connectionNames())
        if (!name.startsWith(QLatin1String("kolv_sqlite_keeper_")))
            ++count;
    return count;
}

TEST_P(HeldDatabase, ReleasingTheCollectorGivesTheConnectionBack) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    const int before = handedOutConnections();
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    QSqlDatabase& db = trel->getDatabase();
    ASSERT_TRUE(db.isOpen());
    trel->getDatabase();
    KTrel::release();
    if (GetParam() == Backend::Sqlite) {
        // The named connection goes with its last user.
        EXPECT_FALSE(QSqlDatabase::contains(QStringLiteral("trel")));
        EXPECT_EQ(handedOutConnections(), before);
    } else {
        // The pool closes its idle connections when the collector goes.
        EXPECT_EQ(handedOutConnections(), before);
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, HeldDatabase, ::testing::Values(Backend::Sqlite, Backend::MySql),
                         [](const auto& info) { return backendName(info.param); });

// ---------------------------------------------------------------------------------
// The request record.

TEST(Request, ANewRecordIsEmpty) {
    KTrel::Request request;
    EXPECT_TRUE(request.getUrl().isEmpty());
    EXPECT_TRUE(request.getMethod().isEmpty());
    EXPECT_TRUE(request.getStartTime().isNull());
    EXPECT_EQ(request.getStatus(), 0);
    EXPECT_EQ(request.getRequestTime(), 0);
    EXPECT_EQ(request.getDatabaseTime(), 0);
    EXPECT_EQ(request.getNetworkTime(), 0);
    EXPECT_EQ(request.getLocalTime(), 0);
    EXPECT_EQ(request.getOtherTime(), 0);
    EXPECT_EQ(request.getPeakMemoryUsage(), 0);
    EXPECT_EQ(request.getMemoryLimit(), 0);
    EXPECT_FALSE(request.isBreakdownFrozen());
    EXPECT_FALSE(request.isErrorsSilenced());
    EXPECT_TRUE(request.getQueries().isEmpty());
    EXPECT_EQ(request.getPhpTime(), 0);
}

TEST(Request, ResetClearsFactsAndTimesButKeepsStartTimeAndFrozenFlag) {
    KTrel::Request request;
    const QDateTime start = QDateTime::fromMSecsSinceEpoch(1700000000123);
    request.setUrl(QStringLiteral("http://a/"));
    request.setMethod(QStringLiteral("GET"));
    request.setStatus(500);
    request.setStartTime(start);
    request.setRequestTime(9);
    request.setDatabaseTime(8);
    request.addNetworkTime(7);
    request.setOtherTime(6);
    request.addLocalTime(5);
    request.setPeakMemoryUsage(4);
    request.setMemoryLimit(3);
    request.setErrorsSilenced(true);
    request.setBreakdownFrozen(true);
    request.reset();
    EXPECT_TRUE(request.getUrl().isEmpty());
    EXPECT_TRUE(request.getMethod().isEmpty());
    EXPECT_EQ(request.getStatus(), 0);
    EXPECT_EQ(request.getRequestTime(), 0);
    EXPECT_EQ(request.getDatabaseTime(), 0);
    EXPECT_EQ(request.getNetworkTime(), 0);
    EXPECT_EQ(request.getOtherTime(), 0);
    EXPECT_EQ(request.getLocalTime(), 0);
    EXPECT_EQ(request.getPeakMemoryUsage(), 0);
    EXPECT_EQ(request.getMemoryLimit(), 0);
    EXPECT_FALSE(request.isErrorsSilenced());
    EXPECT_EQ(request.getStartTime(), start);
    EXPECT_TRUE(request.isBreakdownFrozen());
}

TEST(Request, BreakdownTimesAreReplacedOrAccumulatedUnlessFrozen) {
    KTrel::Request request;
    request.setDatabaseTime(10);
    request.setDatabaseTime(20);
    request.setOtherTime(1);
    request.setOtherTime(2);
    request.addNetworkTime(100);
    request.addNetworkTime(50);
    request.addLocalTime(7);
    request.addLocalTime(8);
    EXPECT_EQ(request.getDatabaseTime(), 20);
    EXPECT_EQ(request.getOtherTime(), 2);
    EXPECT_EQ(request.getNetworkTime(), 150);
    EXPECT_EQ(request.getLocalTime(), 15);
    request.setBreakdownFrozen(true);
    request.addNetworkTime(1000);
    request.addLocalTime(1000);
    request.setDatabaseTime(30);
    EXPECT_EQ(request.getNetworkTime(), 150);
    EXPECT_EQ(request.getLocalTime(), 15);
    EXPECT_EQ(request.getDatabaseTime(), 30);
    request.setBreakdownFrozen(false);
    request.addNetworkTime(1);
    EXPECT_EQ(request.getNetworkTime(), 151);
}

TEST(Request, PhpTimeIsTheRequestTimeLessDatabaseNetworkAndLocalTime) {
    KTrel::Request request;
    request.setRequestTime(1000);
    request.setDatabaseTime(300);
    request.addNetworkTime(200);
    request.addLocalTime(100);
    request.setOtherTime(999); // never part of it
    EXPECT_EQ(request.getPhpTime(), 400);

    request.setDatabaseTime(700);
    EXPECT_EQ(request.getPhpTime(), 0); // exactly used up

    request.setDatabaseTime(2000);
    EXPECT_EQ(request.getPhpTime(), 0); // negative difference

    request.setDatabaseTime(0);
    request.setRequestTime(0);
    EXPECT_EQ(request.getPhpTime(), 0);
    request.setRequestTime(-50);
    EXPECT_EQ(request.getPhpTime(), 0);

    // 64-bit arithmetic: times beyond 32 bits are not truncated.
    request.setRequestTime(qint64(1) << 40);
    EXPECT_EQ(request.getPhpTime(), (qint64(1) << 40) - 300);
}

TEST_F(Collector, TheRequestSettersFillTheLiveRecord) {
    KTrel* trel = KTrel::instance();
    const QDateTime start = QDateTime::fromSecsSinceEpoch(1600000000);
    trel->setRequest(QStringLiteral("http://shop.example/a?b=c"));
    trel->setRequestMethod(QStringLiteral("PUT"));
    trel->setRequestStatus(201);
    trel->setRequestStartTime(start);
    trel->setRequestTime(qint64(1) << 33);
    const KTrel::Request& request = trel->getRequest();
    EXPECT_EQ(request.getUrl(), "http://shop.example/a?b=c");
    EXPECT_EQ(request.getMethod(), "PUT");
    EXPECT_EQ(request.getStatus(), 201);
    EXPECT_EQ(request.getStartTime(), start);
    EXPECT_EQ(request.getRequestTime(), qint64(1) << 33);
    trel->getRequest().setPeakMemoryUsage(qint64(3) << 32);
    EXPECT_EQ(trel->getRequest().getPeakMemoryUsage(), qint64(3) << 32);
}

TEST_F(Collector, AFrozenBreakdownStaysFrozenInTheNextRequest) {
    KTrel* trel = KTrel::instance();
    trel->getRequest().setBreakdownFrozen(true);
    trel->reset();
    EXPECT_TRUE(trel->getRequest().isBreakdownFrozen());
    timeval zero{0, 0};
    timeval one{0, 1};
    trel->addProcessingBreakdownData(zero, one, zero, one);
    EXPECT_EQ(trel->getRequest().getNetworkTime(), 0);
    EXPECT_EQ(trel->getRequest().getLocalTime(), 0);
}

// ---------------------------------------------------------------------------------
// Page and output state.

TEST_F(Collector, ThePageIdMakesTheRequestValid) {
    KTrel* trel = KTrel::instance();
    EXPECT_FALSE(trel->isValid());
    trel->setPageId(QStringLiteral("4f2a"));
    EXPECT_TRUE(trel->isValid());
    EXPECT_EQ(trel->getPageId(), "4f2a");
    trel->setPageId(QString());
    EXPECT_FALSE(trel->isValid());
    trel->setPageId(QStringLiteral("x"));
    trel->reset();
    EXPECT_FALSE(trel->isValid());
    EXPECT_TRUE(trel->getPageId().isEmpty());
}

TEST_F(Collector, ThePrimaryUrlSurvivesResetAndThePrimaryFlagDoesNot) {
    KTrel* trel = KTrel::instance();
    trel->setPrimaryUrl(QStringLiteral("http://shop.example/"));
    trel->setIsPrimaryPage(true);
    EXPECT_TRUE(trel->getIsPrimaryPage());
    trel->reset();
    EXPECT_EQ(trel->getPrimaryUrl(), "http://shop.example/");
    EXPECT_FALSE(trel->getIsPrimaryPage());
    trel->setPrimaryUrl(QString());
    EXPECT_TRUE(trel->getPrimaryUrl().isEmpty());
}

TEST_F(Collector, OutputStateBitsAreSetTestedAndReplaced) {
    KTrel* trel = KTrel::instance();
    trel->setBodyStarted();
    EXPECT_TRUE(trel->getBodyStarted());
    EXPECT_FALSE(trel->isBufferingOutput());
    trel->setIsBufferingOutput();
    EXPECT_EQ(trel->getOutputState(), 9);
    EXPECT_TRUE(trel->isBufferingOutput());
    trel->setOutputState(2);
    EXPECT_FALSE(trel->getBodyStarted());
    EXPECT_FALSE(trel->isBufferingOutput());
    EXPECT_EQ(trel->getOutputState(), 2);
    trel->setIsBufferingOutput();
    EXPECT_EQ(trel->getOutputState(), 10);
    trel->setOutputState(-1);
    EXPECT_TRUE(trel->getBodyStarted());
    EXPECT_TRUE(trel->isBufferingOutput());
    trel->reset();
    EXPECT_EQ(trel->getOutputState(), 0);
}

TEST_F(Collector, HeaderAndFooterProgress) {
    KTrel* trel = KTrel::instance();
    trel->setHeaderSent();
    trel->setHeaderSent();
    EXPECT_TRUE(trel->isHeaderSent());
    trel->setFooterSent(true);
    EXPECT_TRUE(trel->isFooterSent());
    trel->setFooterSent(false);
    EXPECT_FALSE(trel->isFooterSent());
    trel->setFooterSent(true);
    trel->reset();
    EXPECT_FALSE(trel->isHeaderSent());
    EXPECT_FALSE(trel->isFooterSent());
}

TEST_F(Collector, RequestOutputIsAppended) {
    KTrel* trel = KTrel::instance();
    trel->appendRequestOutput(QStringLiteral("<html>"));
    trel->appendRequestOutput(QString());
    trel->appendRequestOutput(QStringLiteral("<body>"));
    EXPECT_EQ(trel->getRequestOutput(), "<html><body>");
    trel->reset();
    EXPECT_TRUE(trel->getRequestOutput().isEmpty());
}

TEST_F(Collector, CompressedOutputIsCollectedInOrderAndOnlyWhenThereAreBytes) {
    KTrel* trel = KTrel::instance();
    const char first[] = {'\x1f', '\x8b', '\0'};
    const char second[] = {'\x08', '\xff'};
    trel->addGzippedOutput(first, 3);
    trel->addGzippedOutput(second, 2);
    trel->addGzippedOutput(nullptr, 4);
    trel->addGzippedOutput(second, 0);
    trel->addGzippedOutput(second, -2);
    EXPECT_TRUE(trel->hasGzippedOutput());
    EXPECT_EQ(trel->getGZippedOutput(), QByteArray("\x1f\x8b\0\x08\xff", 5));
    trel->setOutputIsGzipped(true);
    EXPECT_TRUE(trel->getOutputIsGzipped());
    trel->reset();
    EXPECT_FALSE(trel->hasGzippedOutput());
    EXPECT_TRUE(trel->getGZippedOutput().isEmpty());
    EXPECT_FALSE(trel->getOutputIsGzipped());
}

TEST_F(Collector, TheWrittenFlagIsTheHostsOwnAndWriteLeavesIt) {
    TestInstallation inst(Backend::Sqlite);
    ASSERT_TRUE(inst.ok());
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    trel->setPageId(QStringLiteral("p"));
    trel->write();
    ASSERT_EQ(inst.count(QStringLiteral("trel_requests")), 1);
    EXPECT_FALSE(trel->getWrittenToDb());
    trel->setWrittenToDb(true);
    EXPECT_TRUE(trel->getWrittenToDb());
    trel->reset();
    EXPECT_FALSE(trel->getWrittenToDb());
}

TEST_F(Collector, TemplateGettersReturnCopies) {
    TestInstallation inst(Backend::Sqlite);
    ASSERT_TRUE(inst.ok());
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    QString header = trel->getHeaderTemplate();
    header.append(QStringLiteral("changed"));
    EXPECT_EQ(trel->getHeaderTemplate(), Installation::headerTemplate());
}

} // namespace
