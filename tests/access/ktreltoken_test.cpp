#include "access/accesstables.h"
#include "support/logcapture.h"
#include "support/testinstallation.h"

#include <trel/trel.h>

#include <gtest/gtest.h>

#include <QSqlQuery>

#include <limits>
#include <memory>

using namespace access_test;

namespace {

const KDebug::StreamId TokenStream = 9;

// A collector of the test's own, for the library's connections (pooled on MySQL, so
// that the server's clock is read as in production).
class Collector : public KTrel {
public:
    using KTrel::doGetDatabaseConnection;
};

class TokenTable : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        inst = std::make_unique<TestInstallation>(GetParam());
        ASSERT_TRUE(inst->ok());
        collector = std::make_unique<Collector>();
        collector->initialize(inst->serverInfo(), 1);
    }
    void TearDown() override { collector.reset(); }

    QSharedPointer<KDbConnHelper> connection() { return collector->doGetDatabaseConnection(); }

    KTrelToken load(const QByteArray& name) {
        KTrelToken token;
        token.loadByName(connection(), name, TokenStream);
        return token;
    }

    std::unique_ptr<TestInstallation> inst;
    std::unique_ptr<Collector> collector;
};

TEST_P(TokenTable, LoadsTheRowByPositionAndLogsIt) {
    ASSERT_TRUE(insertToken(*inst, 7, QStringLiteral("tok"), QStringLiteral("a.example,b.example"),
                            Year2040, QStringLiteral("http://shop.example/shop")));
    LogCapture log({1, TokenStream.value()});
    const KTrelToken token = load("tok");

    EXPECT_TRUE(token.isOk());
    EXPECT_EQ(token.getId(), 7);
    EXPECT_EQ(token.getTokenId(), QByteArray("tok"));
    EXPECT_EQ(token.getAllowedHosts(), QByteArray("a.example,b.example"));
    EXPECT_EQ(token.getTtl(), Year2040);
    EXPECT_EQ(token.getBaseUrl(), QByteArray("http://shop.example/shop"));

    const QStringList lines = log.texts(4);
    ASSERT_EQ(lines.size(), 3) << log.texts().join('\n').toStdString();
    EXPECT_TRUE(lines[0].contains(QLatin1String("from trel_tokens where token_id=")));
    EXPECT_EQ(lines[1], QStringLiteral("Trel: loaded token ' tok ' from the database:"));
    EXPECT_EQ(lines[2], QStringLiteral("id=7. token-id='tok'. allowed-hosts='a.example,b.example'. "
                                       "ttl=2208988800. base-url=http://shop.example/shop"));
    for (const LogCapture::Line& line : log.lines())
        EXPECT_EQ(line.stream, TokenStream.value()) << line.text.toStdString();
}

TEST_P(TokenTable, NamesCompareAsBytes) {
    const QByteArray withNul("tok\0x", 5);
    const QByteArray odd("o'brien\"; DROP TABLE trel_tokens; --");
    ASSERT_TRUE(insertToken(*inst, 1, QStringLiteral("tok"), Empty, Year2040, Empty));
    ASSERT_TRUE(insertToken(*inst, 2, QString::fromUtf8(withNul), Empty, Year2040, Empty));
    ASSERT_TRUE(insertToken(*inst, 3, QString::fromUtf8("t\xc3\xb8ken \xe2\x9c\x93"), Empty,
                            Year2040, Empty));
    ASSERT_TRUE(insertToken(*inst, 4, QString::fromUtf8(odd), Empty, Year2040, Empty));
    ASSERT_TRUE(insertToken(*inst, 5, QStringLiteral("%"), Empty, Year2040, Empty));

    const struct {
        QByteArray name;
        qint64 id;
    } cases[] = {
        {"tok", 1},
        {withNul, 2},
        {"t\xc3\xb8ken \xe2\x9c\x93", 3},
        {odd, 4},
        {"%", 5},
        {"TOK", -1},
        {"Tok", -1},
        {"tok ", -1},
        {" tok", -1},
        {"tok\t", -1},
        {"to", -1},
        {QByteArray("tok\0", 4), -1},
        {QByteArray("tok\0y", 5), -1},
        {"T\xc3\x98KEN \xe2\x9c\x93", -1},
        {"t_k", -1},
        {"tok%", -1},
        {"*", -1},
        {"", -1},
        {"tok' OR '1'='1", -1},
        {"' OR 1=1 -- ", -1},
        {"\" OR \"\"=\"", -1},
        {"tok'; DELETE FROM trel_tokens; --", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.toHex().toStdString());
        LogCapture log({TokenStream.value()});
        const KTrelToken token = load(c.name);
        EXPECT_EQ(token.getId(), c.id);
        EXPECT_EQ(token.isOk(), c.id != -1);
        if (c.id != -1) {
            EXPECT_EQ(token.getTokenId(), c.name);
            EXPECT_EQ(log.count(QStringLiteral("Trel: loaded token '"), 4), 1);
        } else {
            EXPECT_EQ(log.count(QStringLiteral("Trel: could not find token with ID: '"), 4), 1)
                << log.texts().join('\n').toStdString();
        }
    }
    EXPECT_EQ(inst->count(QStringLiteral("trel_tokens")), 5);
    // The installation's own column compares bytes too.
    for (const char* name : {"TOK", "tok ", "tok\t", "t_k"})
        EXPECT_EQ(inst->count(QStringLiteral("trel_tokens"),
                              QStringLiteral("token_id = '%1'").arg(QLatin1String(name))),
                  0)
            << name;
}

TEST_P(TokenTable, InvalidUtf8NamesAreDataNobodyCanPresent) {
    const QByteArray raw("\xff\xfe", 2);
    ASSERT_TRUE(insertToken(*inst, 1, raw, QByteArray("h\xff"), Year2040, Empty));
    EXPECT_FALSE(load(raw).isOk());
    EXPECT_FALSE(load("\xef\xbf\xbd\xef\xbf\xbd").isOk());
    EXPECT_FALSE(load("?\?").isOk());

    const std::list<KTrelToken> all = KTrelToken::loadAllTokens(connection(), TokenStream);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_TRUE(all.front().isOk());
    EXPECT_EQ(all.front().getTokenId(), raw);
}

// The installation may have made the name column compare without regard to case or
// trailing blanks; the library still hands a token out only for its exact name.
TEST_P(TokenTable, LenientNameColumnStillComparesBytes) {
    ASSERT_TRUE(replaceTable(
        *inst, QStringLiteral("trel_tokens"),
        QStringLiteral("id INTEGER PRIMARY KEY, token_id TEXT COLLATE NOCASE, allowed_hosts TEXT, "
                       "ttl INTEGER, base_url TEXT"),
        QStringLiteral(
            "id BIGINT PRIMARY KEY, token_id VARCHAR(64) CHARACTER SET utf8mb4 "
            "COLLATE utf8mb4_general_ci, allowed_hosts TEXT, ttl BIGINT, base_url TEXT")));
    ASSERT_TRUE(insertToken(*inst, 1, QStringLiteral("tok"), Empty, Year2040, Empty));

    int lenientMatches = 0;
    for (const QString& name : {QStringLiteral("TOK"), QStringLiteral("tok ")}) {
        SCOPED_TRACE(name.toStdString());
        const bool databaseFindsIt = inst->count(QStringLiteral("trel_tokens"),
                                                 QStringLiteral("token_id = '%1'").arg(name)) == 1;
        lenientMatches += databaseFindsIt;
        LogCapture log({TokenStream.value()});
        EXPECT_FALSE(load(name.toUtf8()).isOk());
        EXPECT_EQ(log.count(QStringLiteral("Trel: could not find token with ID: '")), 1);
    }
    EXPECT_GE(lenientMatches, 1) << "the table was meant to match leniently";
    EXPECT_TRUE(load("tok").isOk());
}

TEST_P(TokenTable, ANameNotFoundLeavesTheTokenAsItWas) {
    ASSERT_TRUE(insertToken(*inst, 1, QStringLiteral("tok"), QStringLiteral("h"), Year2040, Empty));
    KTrelToken token;
    token.loadByName(connection(), "tok", TokenStream);
    token.loadByName(connection(), "other", TokenStream);
    EXPECT_EQ(token.getId(), 1);
    EXPECT_EQ(token.getTokenId(), QByteArray("tok"));
}

TEST_P(TokenTable, ARowThatIsNoTokenResetsTheToken) {
    ASSERT_TRUE(replaceTable(*inst, QStringLiteral("trel_tokens"),
                             QStringLiteral("id INTEGER, token_id TEXT, allowed_hosts TEXT, ttl "
                                            "INTEGER, base_url TEXT"),
                             QStringLiteral("id BIGINT, token_id VARBINARY(64), allowed_hosts "
                                            "BLOB, ttl BIGINT, base_url BLOB")));
    ASSERT_TRUE(insertToken(*inst, 1, QStringLiteral("good"), QStringLiteral("h"), Year2040,
                            QStringLiteral("http://shop.example/shop")));
    ASSERT_TRUE(
        insertToken(*inst, 2, QStringLiteral("bad"), QStringLiteral("h"), Year2040, QVariant()));
    KTrelToken token;
    token.loadByName(connection(), "good", TokenStream);
    ASSERT_TRUE(token.isOk());
    LogCapture log({TokenStream.value()});
    token.loadByName(connection(), "bad", TokenStream);
    EXPECT_FALSE(token.isOk());
    EXPECT_EQ(token.getTokenId(), QByteArray());
    EXPECT_EQ(log.texts(1),
              QStringList(QStringLiteral("Trel: a row of trel_tokens is not a valid token, "
                                         "refused. id: 2 columns: 5")));
    EXPECT_EQ(log.count(QStringLiteral("Trel: loaded token")), 0);
}

TEST_P(TokenTable, LoadAllTokensGivesEveryRowInOrderAndMarksMisfits) {
    ASSERT_TRUE(replaceTable(*inst, QStringLiteral("trel_tokens"),
                             QStringLiteral("id INTEGER, token_id TEXT, allowed_hosts TEXT, ttl "
                                            "INTEGER, base_url TEXT, note TEXT"),
                             QStringLiteral("id BIGINT, token_id VARBINARY(64), allowed_hosts "
                                            "BLOB, ttl BIGINT, base_url BLOB, note TEXT")));
    ASSERT_TRUE(insertToken(*inst, 1, QStringLiteral("a"), QStringLiteral("h1"), Year2040, Empty));
    ASSERT_TRUE(
        insertToken(*inst, 2, QStringLiteral("b"), QStringLiteral("h2"), Year2040, QVariant()));
    ASSERT_TRUE(insertToken(*inst, 3, QStringLiteral("c"), QVariant(), Year2040, Empty));
    ASSERT_TRUE(
        insertToken(*inst, 4, QStringLiteral("d"), QStringLiteral("h4"), QVariant(), Empty));
    ASSERT_TRUE(insertToken(*inst, 5, QVariant(), QStringLiteral("h5"), Year2040, Empty));
    ASSERT_TRUE(inst->exec(QStringLiteral("INSERT INTO trel_tokens (id, token_id, allowed_hosts, "
                                          "ttl, base_url) VALUES (NULL, 'e', 'h6', ?, '')"),
                           {Year2040}));
    ASSERT_TRUE(insertToken(*inst, 7, QStringLiteral("f"), QStringLiteral("h7"), -5, Empty));

    LogCapture log({TokenStream.value()});
    const std::list<KTrelToken> all = KTrelToken::loadAllTokens(connection(), TokenStream);
    QStringList names;
    QList<bool> ok;
    for (const KTrelToken& token : all) {
        names << QString::fromUtf8(token.getTokenId());
        ok << token.isOk();
    }
    EXPECT_EQ(names, QStringList({"a", "b", "c", "d", "", "e", "f"}));
    EXPECT_EQ(ok, QList<bool>({true, false, false, false, false, false, true}));
    EXPECT_EQ(log.count(QStringLiteral("Trel: a row of trel_tokens is not a valid token, "
                                       "refused."),
                        1),
              5)
        << log.texts().join('\n').toStdString();
}

// The library reads the clock once per check; the second the check ran in decides.
TEST_P(TokenTable, ExpiresAtItsTtlSecond) {
    ASSERT_TRUE(insertToken(*inst, 1, QStringLiteral("tok"), Empty, 0, Empty));
    const auto check = [&](qint64 offset, bool* valid, QStringList* lines, qint64* now) {
        return withinOneSecond(*inst, [&](qint64 current) {
            *now = current;
            inst->exec(QStringLiteral("UPDATE trel_tokens SET ttl = ?"), {current + offset});
            const KTrelToken token = load("tok");
            LogCapture log({TokenStream.value()});
            *valid = token.isValid(connection(), TokenStream);
            *lines = log.texts();
        });
    };
    bool valid = false;
    QStringList lines;
    qint64 now = 0;

    ASSERT_TRUE(check(1, &valid, &lines, &now));
    EXPECT_TRUE(valid);
    EXPECT_EQ(lines, QStringList());

    ASSERT_TRUE(check(0, &valid, &lines, &now));
    EXPECT_FALSE(valid);
    EXPECT_EQ(lines, QStringList());

    ASSERT_TRUE(check(-1, &valid, &lines, &now));
    EXPECT_FALSE(valid);
    EXPECT_EQ(lines,
              QStringList({QStringLiteral("Trel: Current Time is: ' %1 ' token TTL is ' %2 '")
                               .arg(now)
                               .arg(now - 1),
                           QStringLiteral("Trel: Token ' tok ' expired")}));
}

TEST_P(TokenTable, ANotOkTokenIsInvalidWithoutExpiryLines) {
    LogCapture log({TokenStream.value()});
    KTrelToken token;
    token.setTtl(Year2040);
    EXPECT_FALSE(token.isValid(connection(), TokenStream));
    EXPECT_EQ(log.texts(), QStringList(QStringLiteral("Trel: Invalid Token. Permission denied")));
}

INSTANTIATE_TEST_SUITE_P(Backends, TokenTable, ::testing::Values(Backend::Sqlite, Backend::MySql),
                         [](const auto& info) { return backendName(info.param); });

// MariaDB's clock can be set per session: the connection's own time decides, at the
// exact second, and is read in 64 bits.
class ServerClock : public TokenTable {
protected:
    bool validAt(qint64 serverNow, qint64 ttl, QStringList* lines) {
        inst->exec(QStringLiteral("UPDATE trel_tokens SET ttl = ?"), {ttl});
        const KTrelToken token = load("tok");
        QSharedPointer<KDbConnHelper> held = connection();
        QSqlQuery set(held->database());
        EXPECT_TRUE(set.exec(QStringLiteral("SET timestamp = %1").arg(serverNow)));
        LogCapture log({TokenStream.value()});
        const bool valid = token.isValid(held, TokenStream);
        *lines = log.texts();
        EXPECT_TRUE(set.exec(QStringLiteral("SET timestamp = DEFAULT")));
        return valid;
    }
};

TEST_P(ServerClock, TheServersSecondDecides) {
    ASSERT_TRUE(insertToken(*inst, 1, QStringLiteral("tok"), Empty, 0, Empty));
    QStringList lines;
    // Long past on the local clock, but not on the server's.
    EXPECT_TRUE(validAt(1000000000, 1000000001, &lines));
    EXPECT_EQ(lines, QStringList());
    EXPECT_FALSE(validAt(1000000000, 1000000000, &lines));
    EXPECT_EQ(lines, QStringList());
    EXPECT_FALSE(validAt(1000000001, 1000000000, &lines));
    EXPECT_EQ(lines,
              QStringList({QStringLiteral("Trel: Current Time is: ' 1000000001 ' token TTL is ' "
                                          "1000000000 '"),
                           QStringLiteral("Trel: Token ' tok ' expired")}));
}

TEST_P(ServerClock, TimesBeyondThirtyTwoBitsHold) {
    ASSERT_TRUE(insertToken(*inst, 1, QStringLiteral("tok"), Empty, 0, Empty));
    const qint64 lastSigned32 = std::numeric_limits<qint32>::max();
    QStringList lines;
    EXPECT_TRUE(validAt(lastSigned32, lastSigned32 + 1, &lines));
    EXPECT_TRUE(validAt(lastSigned32, Year2040, &lines));
    EXPECT_TRUE(validAt(lastSigned32, (qint64(1) << 32) + 5, &lines));
    EXPECT_FALSE(validAt(lastSigned32, lastSigned32, &lines));
    EXPECT_EQ(lines, QStringList());
    EXPECT_FALSE(validAt(lastSigned32, lastSigned32 - 1, &lines));
    EXPECT_EQ(lines,
              QStringList({QStringLiteral("Trel: Current Time is: ' 2147483647 ' token TTL is ' "
                                          "2147483646 '"),
                           QStringLiteral("Trel: Token ' tok ' expired")}));
}

INSTANTIATE_TEST_SUITE_P(MariaDB, ServerClock, ::testing::Values(Backend::MySql),
                         [](const auto& info) { return backendName(info.param); });

// The URL test reads no table: the token's base URL against request URLs.
struct UrlCase {
    const char* base;
    const char* url;
    bool admitted;
};

bool admits(const char* base, const QString& url, LogCapture* log = nullptr) {
    KTrelToken token;
    token.setBaseUrl(QByteArray(base));
    if (log)
        log->clear();
    return token.isUrlMatches(url, TokenStream);
}

TEST(TokenUrl, AnEmptyBaseUrlAdmitsEveryUrlAfterTheComparisonLine) {
    LogCapture log({TokenStream.value()});
    for (const char* url : {"http://shop.example/shop", "http://exa mple/%%", "", "::::"}) {
        log.clear();
        EXPECT_TRUE(admits("", QString::fromUtf8(url))) << url;
        EXPECT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.count(QStringLiteral("Trel: comapring URLs. Request URL is:"), 4), 1);
    }
}

TEST(TokenUrl, HostAndPathTestsLogWhatFailed) {
    LogCapture log({TokenStream.value()});
    const char* base = "http://shop.example/shop";

    EXPECT_TRUE(admits(base, QStringLiteral("http://shop.example/shop/cart"), &log));
    EXPECT_EQ(log.texts(), QStringList(QStringLiteral("Trel: comapring URLs. Request URL is: "
                                                      "http://shop.example/shop/cart . Token URL: "
                                                      "http://shop.example/shop")));

    EXPECT_FALSE(admits(base, QStringLiteral("http://evil.example/shop"), &log));
    EXPECT_EQ(log.texts(3), QStringList(QStringLiteral(
                                "Token URL and current URL are not for the same host. Token host: "
                                "shop.example Current host: evil.example")));

    EXPECT_FALSE(admits(base, QStringLiteral("http://shop.example/admin"), &log));
    EXPECT_EQ(log.texts(3), QStringList(QStringLiteral(
                                "Token path and current URL path do not match. Token path: /shop "
                                "Current path: /admin")));

    EXPECT_FALSE(admits(base, QStringLiteral("http://evil.example/admin"), &log));
    EXPECT_EQ(log.texts(3).size(), 2);
    EXPECT_EQ(log.count(QStringLiteral("Token URL and current URL are not for the same host."), 3),
              1);
    EXPECT_EQ(log.count(QStringLiteral("Token path and current URL path do not match."), 3), 1);

    // The path logged is the one the server would serve.
    EXPECT_FALSE(admits(base, QStringLiteral("http://shop.example/shop/%2e%2e/admin"), &log));
    EXPECT_EQ(log.texts(3), QStringList(QStringLiteral(
                                "Token path and current URL path do not match. Token path: /shop "
                                "Current path: /admin")));
}

TEST(TokenUrl, PlainPrefixOfTheServedPathOnTheSameHost) {
    const UrlCase cases[] = {
        {"http://shop.example/shop", "http://shop.example/shop", true},
        {"http://shop.example/shop", "http://shop.example/shop/cart", true},
        {"http://shop.example/shop", "http://shop.example/shopping", true},
        {"http://shop.example/shop", "http://shop.example/Shop", false},
        {"http://shop.example/shop", "http://shop.example/", false},
        {"http://shop.example/shop", "http://shop.example", false},
        {"http://shop.example/shop", "http://shop.example//shop", false},
        // Scheme, port, query and fragment take no part; host names have no case.
        {"http://shop.example/shop", "https://shop.example:8443/shop/x?q=1#f", true},
        {"http://shop.example/shop", "http://SHOP.Example/shop", true},
        {"http://shop.example/shop", "http://shop.example/admin?next=/shop", false},
        {"http://shop.example/shop", "http://shop.example/admin#/shop", false},
        // Hosts compare whole.
        {"http://shop.example/shop", "http://shop.example.evil.example/shop", false},
        {"http://shop.example/shop", "http://evil.shop.example/shop", false},
        {"http://shop.example/shop", "http://shop.example@evil.example/shop", false},
        {"http://shop.example/shop", "http://evil.example/shop?u=http://shop.example/shop", false},
        // A base URL without a path admits the whole host.
        {"http://shop.example", "http://shop.example/admin", true},
        {"http://shop.example/", "http://shop.example/admin", true},
        {"http://shop.example", "http://other.example/", false},
        // A base URL without a host matches only URLs without one.
        {"/shop", "http://shop.example/shop", false},
        {"/shop", "/shop/cart", true},
    };
    LogCapture log({TokenStream.value()});
    for (const UrlCase& c : cases)
        EXPECT_EQ(admits(c.base, QString::fromUtf8(c.url)), c.admitted) << c.base << " " << c.url;
}

TEST(TokenUrl, DotSegmentsAreResolvedBeforeThePathTest) {
    const UrlCase cases[] = {
        {"http://h/shop", "http://h/shop/../admin", false},
        {"http://h/shop", "http://h/shop/x/../../admin", false},
        {"http://h/shop", "http://h/shop/..", false},
        {"http://h/shop", "http://h/admin/../shop/cart", true},
        {"http://h/shop", "http://h/shop/x/../cart", true},
        {"http://h/shop", "http://h/./shop", true},
        {"http://h/shop", "http://h/shop/%2e%2e/admin", false},
        {"http://h/shop", "http://h/shop/.%2E/admin", false},
        {"http://h/shop", "http://h/admin/%2E%2e/shop", true},
        // Decoded once: "%252e" is a directory named "%2e".
        {"http://h/shop", "http://h/shop/%252e%252e/admin", true},
        {"http://h/shop", "http://h/admin/%252e%252e/shop", false},
        // Unreserved characters are the same encoded or not.
        {"http://h/shop", "http://h/%73hop/cart", true},
        {"http://h/shop", "http://h/sh%6Fp", true},
    };
    LogCapture log({TokenStream.value()});
    for (const UrlCase& c : cases)
        EXPECT_EQ(admits(c.base, QString::fromUtf8(c.url)), c.admitted) << c.base << " " << c.url;
}

// Servers differ on encoded slashes and backslashes; a request is admitted only when
// it lies under the token's path however the server reads them.
TEST(TokenUrl, EncodedSlashesAndBackslashesMustNotLeaveThePath) {
    const UrlCase cases[] = {
        {"http://h/shop", "http://h/shop/..%2fadmin", false},
        {"http://h/shop", "http://h/shop/..%2Fadmin", false},
        {"http://h/shop", "http://h/shop%2F..%2Fadmin", false},
        {"http://h/shop", "http://h/admin%2F..%2Fshop/cart", false},
        {"http://h/shop", "http://h/shop\\..\\admin", false},
        {"http://h/shop", "http://h/shop%5C..%5Cadmin", false},
        {"http://h/shop", "http://h/shop%5c..%5cadmin", false},
        {"http://h/shop", "http://h/admin\\..\\shop/cart", false},
        {"http://h/shop", "http://h/shop/x%2F..%5C..%5C..%2F..%2Fadmin", false},
        // Harmless where every reading stays under the path.
        {"http://h/shop", "http://h/shop%2Fcart", true},
        {"http://h/shop", "http://h/shop/a\\b", true},
        {"http://h/shop", "http://h/shop/x%2F..", true},
        {"http://h/shop", "http://h/shop%252F..%252Fadmin", true},
    };
    LogCapture log({TokenStream.value()});
    for (const UrlCase& c : cases)
        EXPECT_EQ(admits(c.base, QString::fromUtf8(c.url)), c.admitted) << c.base << " " << c.url;
}

TEST(TokenUrl, OddBytesAndBrokenUrlsAdmitNothingExtra) {
    const UrlCase cases[] = {
        {"http://h/shop", "http://h/shop%00/../admin", false},
        {"http://h/shop", "http://h/shop/%00", true},
        {"http://h/shop", "http://h/sh%00op", false},
        {"http://h/shop", "http://h/shop/%FF%FE", true},
        {"http://h/shop", "http://h/shop/%C0%AE%C0%AE/admin", true},
        {"http://h/shop", "http://h/shop'; DROP TABLE trel_tokens; --", true},
        {"http://h/shop", "http://h/admin'/**/OR/**/'/shop", false},
        // Invalid URLs have no host; two of them must not pass for the same host.
        {"http://exa mple/shop", "http://exa mple/shop", false},
        {"http://exa mple/shop", "http://\xef\xbf\xbd/shop", false},
        {"http://h/shop", "http://h:99999/shop", false},
        {"http://h/shop", "http://exa mple/shop", false},
        {"http://h%00x/shop", "http://h%00x/shop", false},
        {"http://[::1/shop", "http://[::1/shop", false},
        // A blank base URL is not an empty one.
        {" ", "http://h/", false},
        // A base path with dot segments admits nothing beneath it.
        {"http://h/shop/../admin", "http://h/admin", false},
        {"http://h/shop/../admin", "http://h/shop/../admin", false},
    };
    LogCapture log({TokenStream.value()});
    for (const UrlCase& c : cases)
        EXPECT_EQ(admits(c.base, QString::fromUtf8(c.url)), c.admitted) << c.base << " " << c.url;

    EXPECT_FALSE(admits("http://exa mple/shop", QStringLiteral("http://exa mple/shop"), &log));
    EXPECT_EQ(log.texts(3), QStringList(QStringLiteral(
                                "Token URL or current URL is not a valid URL. Token URL: "
                                "http://exa mple/shop Current URL: http://exa mple/shop")));
}

TEST(TokenUrl, OrdinaryRequestUrlsAreValid) {
    const UrlCase cases[] = {
        {"http://my_host.local/shop", "http://my_host.local/shop/x", true},
        {"http://127.0.0.1/shop", "http://127.0.0.1:8080/shop", true},
        {"http://[::1]/shop", "http://[::1]:8080/shop", true},
        {"http://h/shop", "http://h/shop/a b?c=d e&f=<g>#%", true},
        {"http://h/shop", "http://h/shop/{x}|^`\"<>[]", true},
        {"http://h/shop", "http://h/shop/%zz%", true},
        {"http://h/shop/\xe2\x9c\x93", "http://h/shop/%E2%9C%93/x", true},
        {"http://b\xc3\xbc"
         "cher.example/shop",
         "http://xn--bcher-kva.example/shop", true},
    };
    LogCapture log({TokenStream.value()});
    for (const UrlCase& c : cases)
        EXPECT_EQ(admits(c.base, QString::fromUtf8(c.url)), c.admitted) << c.base << " " << c.url;
    EXPECT_EQ(log.count(QStringLiteral("Token URL or current URL is not a valid URL")), 0);
}

TEST(TokenUrl, NulBytesInTheBaseUrlAreData) {
    LogCapture log({TokenStream.value()});
    KTrelToken token;
    token.setBaseUrl(QByteArray("http://h/shop\0x", 15));
    EXPECT_FALSE(token.isUrlMatches(QStringLiteral("http://h/shop"), TokenStream));
    EXPECT_FALSE(token.isUrlMatches(QStringLiteral("http://h/shopx"), TokenStream));
    EXPECT_TRUE(token.isUrlMatches(QStringLiteral("http://h/shop%00x/y"), TokenStream));
}

TEST(TokenRecord, DefaultsAndTextForm) {
    KTrelToken token;
    EXPECT_FALSE(token.isOk());
    EXPECT_EQ(token.getId(), -1);
    EXPECT_EQ(token.getTtl(), 0);
    token.setId(0);
    EXPECT_TRUE(token.isOk());
    token.setTokenId("t'ok");
    token.setAllowedHosts("a,b");
    token.setTtl(std::numeric_limits<qint64>::max());
    token.setBaseUrl("http://h/");
    EXPECT_EQ(token.toString(), QStringLiteral("id=0. token-id='t'ok'. allowed-hosts='a,b'. "
                                               "ttl=9223372036854775807. base-url=http://h/"));
    const KTrelToken copy(token);
    EXPECT_EQ(copy.toString(), token.toString());
    KTrelToken assigned;
    assigned = token;
    EXPECT_EQ(assigned.toString(), token.toString());
}

} // namespace
