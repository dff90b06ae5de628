#include "access/accesstables.h"
#include "support/logcapture.h"
#include "support/testinstallation.h"

#include <trel/trel.h>

#include <gtest/gtest.h>

#include <memory>

using namespace access_test;

namespace {

const QString LoadingLine = QStringLiteral("Trel: loading user-agent info from the db");
const QString CompletedLine =
    QStringLiteral("Trel: loading user-agent info from the db.. completed");

// The user-agent allow-list: patterns read from trel_user_agent when the collector is
// initialised.
class UserAgents : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        inst = std::make_unique<TestInstallation>(GetParam());
        ASSERT_TRUE(inst->ok());
    }
    void TearDown() override { KTrel::release(); }

    // Initialises a fresh collector, which loads the table; its lines are kept in `log`.
    KTrel* load() {
        KTrel::release();
        // One capture at a time: a capture's end removes the sink it installed.
        log.reset();
        log = std::make_unique<LogCapture>();
        KTrel* trel = KTrel::instance();
        trel->initialize(inst->serverInfo(), 1);
        return trel;
    }
    QStringList loadLines() const {
        QStringList lines;
        for (const LogCapture::Line& line : log->lines()) {
            if (line.text.startsWith(QLatin1String("Trel: load"), Qt::CaseInsensitive) ||
                line.text.startsWith(QLatin1String("User-Agent entry:")) ||
                line.text.startsWith(QLatin1String("KTrel::loadUserAgentTable:")))
                lines << QStringLiteral("%1 %2").arg(line.level).arg(line.text);
        }
        return lines;
    }

    std::unique_ptr<TestInstallation> inst;
    std::unique_ptr<LogCapture> log;
};

TEST_P(UserAgents, ValidPatternsLoadAndInvalidOnesAreSkipped) {
    ASSERT_TRUE(insertAgent(*inst, 1, QStringLiteral("Firefox"), QStringLiteral("firefox/[0-9]+")));
    ASSERT_TRUE(insertAgent(*inst, 2, QStringLiteral("Broken"), QStringLiteral("(unbalanced")));
    ASSERT_TRUE(insertAgent(*inst, 3, QStringLiteral("Bots"), QStringLiteral("bot|crawler")));
    ASSERT_TRUE(insertAgent(*inst, 4, QStringLiteral("Class"), QStringLiteral("[unclosed")));
    ASSERT_TRUE(insertAgent(*inst, 5, QStringLiteral("Curl"), QStringLiteral("^curl/")));
    KTrel* trel = load();

    EXPECT_EQ(loadLines(),
              QStringList({"3 " + LoadingLine,
                           "3 Trel: Loaded User-Agent: User-Agent: Firefox, Agent String: "
                           "firefox/[0-9]+",
                           "1 User-Agent entry: Broken contains an invalid agent patter: "
                           "(unbalanced",
                           "3 Trel: Loaded User-Agent: User-Agent: Bots, Agent String: bot|crawler",
                           "1 User-Agent entry: Class contains an invalid agent patter: [unclosed",
                           "3 Trel: Loaded User-Agent: User-Agent: Curl, Agent String: ^curl/",
                           "3 " + CompletedLine}));
    EXPECT_TRUE(trel->isAgentAllowed(QStringLiteral("Mozilla/5.0 (X11) Gecko Firefox/120.0")));
    EXPECT_TRUE(trel->isAgentAllowed(QStringLiteral("Googlebot/2.1")));
    EXPECT_TRUE(trel->isAgentAllowed(QStringLiteral("curl/8.1")));
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral("Mozilla/5.0 Firefox/")));
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral("(unbalanced")));
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral("[unclosed")));
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral("Wget/1.21 curl/8.1")));
}

TEST_P(UserAgents, AnEmptyTableAllowsNothing) {
    KTrel* trel = load();
    EXPECT_EQ(loadLines(), QStringList({"3 " + LoadingLine, "3 " + CompletedLine}));
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral("Mozilla/5.0")));
    EXPECT_FALSE(trel->isAgentAllowed(QString()));
}

TEST_P(UserAgents, AnEmptyOrBlankUserAgentIsRefused) {
    ASSERT_TRUE(insertAgent(*inst, 1, QStringLiteral("All"), QStringLiteral(".*")));
    KTrel* trel = load();
    EXPECT_FALSE(trel->isAgentAllowed(QString()));
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral("")));
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral("   ")));
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral(" \t\r\n\v\f")));
    EXPECT_TRUE(trel->isAgentAllowed(QStringLiteral("x")));
}

TEST_P(UserAgents, MatchingIgnoresCaseAndIsNotAnchored) {
    ASSERT_TRUE(insertAgent(*inst, 1, QStringLiteral("Mozilla"), QStringLiteral("mozilla")));
    ASSERT_TRUE(insertAgent(*inst, 2, QStringLiteral("Opera"), QStringLiteral("OPERA")));
    KTrel* trel = load();
    EXPECT_TRUE(trel->isAgentAllowed(QStringLiteral("MOZILLA/5.0")));
    EXPECT_TRUE(trel->isAgentAllowed(QStringLiteral("xx MoZiLlA yy")));
    EXPECT_TRUE(trel->isAgentAllowed(QStringLiteral("opera/9.80")));
    // Both rows match: still one yes.
    EXPECT_TRUE(trel->isAgentAllowed(QStringLiteral("Mozilla/5.0 Opera/9.80")));
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral("Mozill")));
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral("m o z i l l a")));
}

TEST_P(UserAgents, TheUserAgentIsTrimmedBeforeMatching) {
    ASSERT_TRUE(insertAgent(*inst, 1, QStringLiteral("Exact"), QStringLiteral("^curl/[0-9.]+$")));
    KTrel* trel = load();
    EXPECT_TRUE(trel->isAgentAllowed(QStringLiteral("curl/8.1")));
    EXPECT_TRUE(trel->isAgentAllowed(QStringLiteral("   curl/8.1\t\r\n")));
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral("xcurl/8.1")));
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral("curl/8.1 x")));
    // A NUL is no white space.
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral("curl/8.1") + QChar(0)));
}

TEST_P(UserAgents, OddUserAgentsAreData) {
    ASSERT_TRUE(insertAgent(*inst, 1, QStringLiteral("Mozilla"), QStringLiteral("^Mozilla/")));
    KTrel* trel = load();
    EXPECT_TRUE(trel->isAgentAllowed(QStringLiteral("Mozilla/") + QChar(0) + QStringLiteral("x")));
    EXPECT_FALSE(trel->isAgentAllowed(QChar(0) + QStringLiteral("Mozilla/")));
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral("' OR 1=1 -- Mozilla")));
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral(".*")));
    EXPECT_FALSE(trel->isAgentAllowed(QString(QChar(0xD800)) + QStringLiteral("Mozilla/")));
    EXPECT_FALSE(trel->isAgentAllowed(QString(100000, QLatin1Char('M'))));
}

// A row that holds no usable pattern must not allow anything: the empty expression
// would match every user agent.
TEST_P(UserAgents, RowsWithoutAPatternAreRefused) {
    ASSERT_TRUE(replaceTable(*inst, QStringLiteral("trel_user_agent"),
                             QStringLiteral("id INTEGER, user_agent TEXT, extra TEXT, "
                                            "agent_string TEXT, note TEXT"),
                             QStringLiteral("id INT, user_agent TEXT, extra TEXT, agent_string "
                                            "TEXT, note TEXT")));
    ASSERT_TRUE(insertAgent(*inst, 1, QStringLiteral("Null"), QVariant()));
    ASSERT_TRUE(insertAgent(*inst, 2, QStringLiteral("Empty"), QStringLiteral("")));
    ASSERT_TRUE(insertAgent(*inst, 3, QVariant(), QStringLiteral("good")));
    ASSERT_TRUE(inst->exec(QStringLiteral("INSERT INTO trel_user_agent VALUES (NULL, 'NoId', NULL, "
                                          "'fine', 'extra column')")));
    KTrel* trel = load();
    EXPECT_EQ(loadLines(),
              QStringList({"3 " + LoadingLine,
                           "1 User-Agent entry: Null contains an invalid agent patter: ",
                           "1 User-Agent entry: Empty contains an invalid agent patter: ",
                           "3 Trel: Loaded User-Agent: User-Agent: , Agent String: good",
                           "3 Trel: Loaded User-Agent: User-Agent: NoId, Agent String: fine",
                           "3 " + CompletedLine}));
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral("anything")));
    EXPECT_TRUE(trel->isAgentAllowed(QStringLiteral("a good one")));
    EXPECT_TRUE(trel->isAgentAllowed(QStringLiteral("fine")));
}

TEST_P(UserAgents, ATableWithoutThePatternColumnAllowsNothing) {
    ASSERT_TRUE(replaceTable(*inst, QStringLiteral("trel_user_agent"),
                             QStringLiteral("id INTEGER, user_agent TEXT, extra TEXT"),
                             QStringLiteral("id INT, user_agent TEXT, extra TEXT")));
    ASSERT_TRUE(
        inst->exec(QStringLiteral("INSERT INTO trel_user_agent VALUES (1, 'Short', 'mozilla')")));
    KTrel* trel = load();
    EXPECT_EQ(loadLines(),
              QStringList({"3 " + LoadingLine,
                           "1 User-Agent entry: Short contains an invalid agent patter: ",
                           "3 " + CompletedLine}));
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral("mozilla")));
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral("Short")));
}

TEST_P(UserAgents, AMissingTableIsLoggedAndAllowsNothing) {
    ASSERT_TRUE(inst->exec(QStringLiteral("DROP TABLE trel_user_agent")));
    KTrel* trel = load();
    const QStringList lines = loadLines();
    ASSERT_EQ(lines.size(), 2) << lines.join('\n').toStdString();
    EXPECT_EQ(lines[0], "3 " + LoadingLine);
    EXPECT_TRUE(lines[1].startsWith(
        QLatin1String("0 KTrel::loadUserAgentTable: QSafeSqlQuery::exec -> error in query:")))
        << lines[1].toStdString();
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral("Mozilla")));
}

TEST_P(UserAgents, TheTableIsReadOncePerCollector) {
    ASSERT_TRUE(insertAgent(*inst, 1, QStringLiteral("Mozilla"), QStringLiteral("mozilla")));
    KTrel* trel = load();
    ASSERT_TRUE(insertAgent(*inst, 2, QStringLiteral("Curl"), QStringLiteral("curl")));
    ASSERT_TRUE(inst->exec(QStringLiteral("DELETE FROM trel_user_agent WHERE id = 1")));
    EXPECT_TRUE(trel->isAgentAllowed(QStringLiteral("Mozilla")));
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral("curl")));
    // initialize() once only: a second call reads nothing.
    trel->initialize(inst->serverInfo(), 1);
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral("curl")));

    trel = load();
    EXPECT_FALSE(trel->isAgentAllowed(QStringLiteral("Mozilla")));
    EXPECT_TRUE(trel->isAgentAllowed(QStringLiteral("curl")));
}

TEST(UserAgentEntry, DefaultsAndTextForm) {
    KTrel::UserAgentEntry entry;
    EXPECT_EQ(entry.getId(), -1);
    EXPECT_EQ(entry.getUserAgent(), QString());
    EXPECT_EQ(entry.getAgentString(), QString());
    EXPECT_EQ(entry.toString(), QStringLiteral("User-Agent: , Agent String: "));
}

INSTANTIATE_TEST_SUITE_P(Backends, UserAgents, ::testing::Values(Backend::Sqlite, Backend::MySql),
                         [](const auto& info) { return backendName(info.param); });

} // namespace
