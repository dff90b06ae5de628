#include "access/accesstables.h"
#include "support/logcapture.h"
#include "support/testinstallation.h"

#include <trel/trel.h>

#include <kolv/kexception.h>

#include <gtest/gtest.h>

#include <limits>
#include <memory>

using namespace access_test;

namespace {

const KDebug::StreamId HostStream = 9;
const QString SentinelHosts = QStringLiteral("caller's hosts");
const qint64 SentinelTtl = -424242;

// The host's questions to the collector: does this token admit the current request,
// and which hosts do all valid tokens allow.
class TokenCheck : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        inst = std::make_unique<TestInstallation>(GetParam());
        ASSERT_TRUE(inst->ok());
        trel = KTrel::instance();
        trel->initialize(inst->serverInfo(), 1);
        trel->reset();
        trel->setRequest(QStringLiteral("http://shop.example/shop/cart"));
    }
    void TearDown() override { KTrel::release(); }

    // isTokenOK with out-parameters preset to values of the caller's own.
    bool admit(const QString& name, const QString& url = QString()) {
        if (!url.isNull())
            trel->setRequest(url);
        hosts = SentinelHosts;
        ttl = SentinelTtl;
        return trel->isTokenOK(name, hosts, ttl, HostStream);
    }
    bool untouched() const { return hosts == SentinelHosts && ttl == SentinelTtl; }

    std::unique_ptr<TestInstallation> inst;
    KTrel* trel = nullptr;
    QString hosts;
    qint64 ttl = 0;
};

TEST_P(TokenCheck, AValidMatchingTokenAdmitsAndFillsTheOutParameters) {
    ASSERT_TRUE(insertToken(*inst, 1, QStringLiteral("tok"), QStringLiteral("a.example,b.example"),
                            Year2040, QStringLiteral("http://shop.example/shop")));
    LogCapture log({1, HostStream.value()});
    EXPECT_TRUE(admit(QStringLiteral("tok")));
    EXPECT_EQ(hosts, QStringLiteral("a.example,b.example"));
    EXPECT_EQ(ttl, Year2040);
    EXPECT_EQ(log.count(QStringLiteral("Trel: loaded token ' tok ' from the database:"), 4), 1);
    EXPECT_EQ(log.count(QStringLiteral("Trel: comapring URLs."), 4), 1);
    // Everything goes to the stream the host asked for.
    ASSERT_FALSE(log.lines().empty());
    for (const LogCapture::Line& line : log.lines())
        EXPECT_EQ(line.stream, HostStream.value()) << line.text.toStdString();
}

TEST_P(TokenCheck, EveryRefusalLeavesTheOutParametersAlone) {
    ASSERT_TRUE(insertToken(*inst, 1, QStringLiteral("tok"), QStringLiteral("a.example"), Year2040,
                            QStringLiteral("http://shop.example/shop")));
    ASSERT_TRUE(insertToken(*inst, 2, QStringLiteral("old"), QStringLiteral("a.example"),
                            libraryNow(*inst) - 1000, QStringLiteral("http://shop.example/shop")));
    LogCapture log({HostStream.value()});

    EXPECT_FALSE(admit(QStringLiteral("nope")));
    EXPECT_TRUE(untouched());
    EXPECT_EQ(log.texts(4).mid(1),
              QStringList({QStringLiteral("Trel: could not find token with ID: ' nope '"),
                           QStringLiteral("Trel: Invalid Token. Permission denied")}));
    EXPECT_EQ(log.count(QStringLiteral("Trel: comapring URLs.")), 0);

    log.clear();
    EXPECT_FALSE(admit(QStringLiteral("old")));
    EXPECT_TRUE(untouched());
    EXPECT_EQ(log.count(QStringLiteral("Trel: Current Time is: '"), 4), 1);
    EXPECT_EQ(log.count(QStringLiteral("Trel: Token ' old ' expired"), 4), 1);
    EXPECT_EQ(log.count(QStringLiteral("Trel: comapring URLs.")), 0);

    log.clear();
    EXPECT_FALSE(admit(QStringLiteral("tok"), QStringLiteral("http://evil.example/shop")));
    EXPECT_TRUE(untouched());
    EXPECT_EQ(log.texts(3), QStringList(QStringLiteral(
                                "Token URL and current URL are not for the same host. Token host: "
                                "shop.example Current host: evil.example")));

    log.clear();
    EXPECT_FALSE(admit(QStringLiteral("tok"), QStringLiteral("http://shop.example/shop/../admin")));
    EXPECT_TRUE(untouched());
    EXPECT_EQ(log.texts(3), QStringList(QStringLiteral(
                                "Token path and current URL path do not match. Token path: /shop "
                                "Current path: /admin")));

    EXPECT_TRUE(admit(QStringLiteral("tok"), QStringLiteral("http://shop.example/shop")));
}

TEST_P(TokenCheck, ExpiryAtTheBoundarySecond) {
    ASSERT_TRUE(insertToken(*inst, 1, QStringLiteral("tok"), QStringLiteral("h"), 0, Empty));
    struct Outcome {
        bool admitted = false;
        qint64 now = 0;
        int expiryLines = 0;
        int invalidLines = 0;
        QString timeLine;
    };
    const auto at = [&](qint64 offset) {
        Outcome outcome;
        const bool steady = withinOneSecond(*inst, [&](qint64 now) {
            inst->exec(QStringLiteral("UPDATE trel_tokens SET ttl = ?"), {now + offset});
            LogCapture log({HostStream.value()});
            outcome.now = now;
            outcome.admitted = admit(QStringLiteral("tok"));
            outcome.expiryLines = log.count(QStringLiteral("Trel: Current Time is:")) +
                                  log.count(QStringLiteral("Trel: Token ' tok ' expired"));
            outcome.invalidLines = log.count(QStringLiteral("Trel: Invalid Token"));
            const QStringList times = log.texts(4).filter(QStringLiteral("Current Time"));
            outcome.timeLine = times.value(0);
        });
        EXPECT_TRUE(steady);
        return outcome;
    };

    const Outcome later = at(1);
    EXPECT_TRUE(later.admitted);
    EXPECT_EQ(ttl, later.now + 1);
    EXPECT_EQ(later.expiryLines, 0);

    const Outcome now = at(0);
    EXPECT_FALSE(now.admitted);
    EXPECT_TRUE(untouched());
    EXPECT_EQ(now.expiryLines, 0);
    EXPECT_EQ(now.invalidLines, 0);

    const Outcome past = at(-1);
    EXPECT_FALSE(past.admitted);
    EXPECT_TRUE(untouched());
    EXPECT_EQ(past.expiryLines, 2);
    EXPECT_EQ(past.timeLine, QStringLiteral("Trel: Current Time is: ' %1 ' token TTL is ' %2 '")
                                 .arg(past.now)
                                 .arg(past.now - 1));
}

TEST_P(TokenCheck, TtlsAreSixtyFourBit) {
    const qint64 big[] = {qint64(std::numeric_limits<qint32>::max()) + 1, Year2040,
                          (qint64(1) << 32) + 5, std::numeric_limits<qint64>::max()};
    const qint64 small[] = {-1, 0, 1, std::numeric_limits<qint32>::min(),
                            std::numeric_limits<qint64>::min()};
    ASSERT_TRUE(insertToken(*inst, 1, QStringLiteral("tok"), QStringLiteral("h"), 0, Empty));
    for (qint64 value : big) {
        inst->exec(QStringLiteral("UPDATE trel_tokens SET ttl = ?"), {value});
        EXPECT_TRUE(admit(QStringLiteral("tok"))) << value;
        EXPECT_EQ(ttl, value);
    }
    for (qint64 value : small) {
        inst->exec(QStringLiteral("UPDATE trel_tokens SET ttl = ?"), {value});
        LogCapture log({HostStream.value()});
        EXPECT_FALSE(admit(QStringLiteral("tok"))) << value;
        EXPECT_TRUE(untouched());
        EXPECT_EQ(log.count(QStringLiteral("Trel: Current Time is:")), 1) << value;
        EXPECT_TRUE(log.contains(QStringLiteral("token TTL is ' %1 '").arg(value))) << value;
    }
}

TEST_P(TokenCheck, NamesAreMatchedExactly) {
    ASSERT_TRUE(insertToken(*inst, 1, QStringLiteral("tok"), QStringLiteral("h"), Year2040, Empty));
    const QString refused[] = {
        QStringLiteral("TOK"),
        QStringLiteral("tok "),
        QStringLiteral("tok\t"),
        QStringLiteral("tok") + QChar(0) + QStringLiteral("x"),
        QStringLiteral("tok") + QChar(0),
        QStringLiteral("tok' OR '1'='1"),
        QStringLiteral("' OR token_id LIKE '%"),
        QStringLiteral("tok\"; DROP TABLE trel_tokens; --"),
        QStringLiteral("t%"),
        QString(QChar(0xD800)),
        QString(),
    };
    for (const QString& name : refused) {
        EXPECT_FALSE(admit(name)) << name.toStdString();
        EXPECT_TRUE(untouched());
    }
    EXPECT_EQ(inst->count(QStringLiteral("trel_tokens")), 1);
    EXPECT_TRUE(admit(QStringLiteral("tok")));
}

TEST_P(TokenCheck, RequestPathsAreTestedAsServed) {
    ASSERT_TRUE(insertToken(*inst, 1, QStringLiteral("tok"), QStringLiteral("h"), Year2040,
                            QStringLiteral("http://shop.example/shop")));
    const struct {
        const char* url;
        bool admitted;
    } cases[] = {
        {"http://shop.example/shop", true},
        {"http://shop.example/shopping", true},
        {"http://shop.example/admin/../shop/cart", true},
        {"http://shop.example/Shop", false},
        {"http://shop.example/", false},
        {"http://shop.example/shop/../admin", false},
        {"http://shop.example/shop/%2e%2E/admin", false},
        {"http://shop.example/shop/..%2fadmin", false},
        {"http://shop.example/shop%5C..%5Cadmin", false},
        {"http://shop.example/shop/%252e%252e/admin", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(admit(QStringLiteral("tok"), QString::fromUtf8(c.url)), c.admitted) << c.url;
        EXPECT_EQ(untouched(), !c.admitted) << c.url;
    }
}

TEST_P(TokenCheck, BaseUrlBytesAreData) {
    ASSERT_TRUE(insertToken(*inst, 1, QStringLiteral("tok"), QStringLiteral("h"), Year2040,
                            QByteArray("http://shop.example/shop\xff", 25)));
    ASSERT_TRUE(insertToken(*inst, 2, QStringLiteral("nul"), QStringLiteral("h"), Year2040,
                            QByteArray("http://shop.example/shop\0/admin", 31)));
    ASSERT_TRUE(insertToken(*inst, 3, QStringLiteral("sql"), QStringLiteral("h"), Year2040,
                            QStringLiteral("http://shop.example/shop' OR '1'='1")));
    EXPECT_FALSE(admit(QStringLiteral("tok"), QStringLiteral("http://shop.example/shop")));
    EXPECT_FALSE(admit(QStringLiteral("tok"), QStringLiteral("http://shop.example/shopping")));
    EXPECT_FALSE(admit(QStringLiteral("nul"), QStringLiteral("http://shop.example/shop")));
    EXPECT_FALSE(admit(QStringLiteral("nul"), QStringLiteral("http://shop.example/shop/admin")));
    EXPECT_TRUE(
        admit(QStringLiteral("nul"), QStringLiteral("http://shop.example/shop%00/admin/x")));
    EXPECT_FALSE(admit(QStringLiteral("sql"), QStringLiteral("http://shop.example/shop/x")));
    EXPECT_TRUE(
        admit(QStringLiteral("sql"), QStringLiteral("http://shop.example/shop' OR '1'='1")));
}

TEST_P(TokenCheck, AnEmptyBaseUrlAdmitsEveryRequest) {
    ASSERT_TRUE(insertToken(*inst, 1, QStringLiteral("tok"), QStringLiteral("h"), Year2040, Empty));
    EXPECT_TRUE(admit(QStringLiteral("tok"), QStringLiteral("http://any.example/admin")));
    EXPECT_TRUE(admit(QStringLiteral("tok"), QStringLiteral("http://other.example/")));
}

TEST_P(TokenCheck, ADatabaseFailureRefusesAndIsThrownFromTheHostList) {
    ASSERT_TRUE(insertToken(*inst, 1, QStringLiteral("tok"), QStringLiteral("h"), Year2040, Empty));
    ASSERT_TRUE(admit(QStringLiteral("tok")));
    ASSERT_TRUE(inst->exec(QStringLiteral("DROP TABLE trel_tokens")));

    LogCapture log({HostStream.value()});
    EXPECT_FALSE(admit(QStringLiteral("tok")));
    EXPECT_TRUE(untouched());
    EXPECT_EQ(log.count(QStringLiteral("Trel: loaded token")), 0);
    EXPECT_EQ(log.count(QStringLiteral("Trel: Invalid Token")), 0);

    EXPECT_THROW(trel->createAllowedHostsValue(HostStream), KException);
}

// Rows of a shape the library cannot read as tokens, in tables the installation should
// not have made, are refused with a line: never admitted, never a crash.
TEST_P(TokenCheck, RowsThatAreNoTokensAreRefused) {
    const QString sqliteColumns =
        QStringLiteral("id INTEGER, token_id TEXT, allowed_hosts TEXT, ttl INTEGER, base_url TEXT");
    const QString mysqlColumns = QStringLiteral(
        "id BIGINT, token_id VARBINARY(64), allowed_hosts BLOB, ttl BIGINT, base_url BLOB");
    const struct {
        const char* what;
        QString sqlite;
        QString mysql;
        QString insert;
    } shapes[] = {
        {"NULL base URL", sqliteColumns, mysqlColumns,
         "INSERT INTO trel_tokens VALUES (1, 'tok', 'h', 2208988800, NULL)"},
        {"NULL TTL", sqliteColumns, mysqlColumns,
         "INSERT INTO trel_tokens VALUES (1, 'tok', 'h', NULL, 'http://shop.example/shop')"},
        {"NULL id", sqliteColumns, mysqlColumns,
         "INSERT INTO trel_tokens VALUES (NULL, 'tok', 'h', 2208988800, '')"},
        {"NULL allowed hosts", sqliteColumns, mysqlColumns,
         "INSERT INTO trel_tokens VALUES (1, 'tok', NULL, 2208988800, '')"},
        {"no base URL column", "id INTEGER, token_id TEXT, allowed_hosts TEXT, ttl INTEGER",
         "id BIGINT, token_id VARBINARY(64), allowed_hosts BLOB, ttl BIGINT",
         "INSERT INTO trel_tokens VALUES (1, 'tok', 'h', 2208988800)"},
        {"two columns", "id INTEGER, token_id TEXT", "id BIGINT, token_id VARBINARY(64)",
         "INSERT INTO trel_tokens VALUES (1, 'tok')"},
        {"TTL that is text",
         "id INTEGER, token_id TEXT, allowed_hosts TEXT, ttl TEXT, base_url TEXT",
         "id BIGINT, token_id VARBINARY(64), allowed_hosts BLOB, ttl VARCHAR(20), base_url BLOB",
         "INSERT INTO trel_tokens VALUES (1, 'tok', 'h', 'never', '')"},
        {"TTL out of range",
         "id INTEGER, token_id TEXT, allowed_hosts TEXT, ttl REAL, base_url TEXT",
         "id BIGINT, token_id VARBINARY(64), allowed_hosts BLOB, ttl DOUBLE, base_url BLOB",
         "INSERT INTO trel_tokens VALUES (1, 'tok', 'h', 1e300, '')"},
        {"id that is text",
         "id TEXT, token_id TEXT, allowed_hosts TEXT, ttl INTEGER, base_url TEXT",
         "id VARCHAR(20), token_id VARBINARY(64), allowed_hosts BLOB, ttl BIGINT, base_url BLOB",
         "INSERT INTO trel_tokens VALUES ('first', 'tok', 'h', 2208988800, '')"},
    };
    for (const auto& shape : shapes) {
        SCOPED_TRACE(shape.what);
        ASSERT_TRUE(replaceTable(*inst, QStringLiteral("trel_tokens"), shape.sqlite, shape.mysql));
        ASSERT_TRUE(inst->exec(shape.insert));
        LogCapture log({HostStream.value()});
        EXPECT_FALSE(admit(QStringLiteral("tok"), QStringLiteral("http://any.example/admin")));
        EXPECT_TRUE(untouched());
        EXPECT_EQ(log.count(QStringLiteral("Trel: a row of trel_tokens is not a valid token"), 1),
                  1)
            << log.texts().join('\n').toStdString();
        EXPECT_EQ(log.count(QStringLiteral("Trel: Invalid Token. Permission denied"), 4), 1);

        log.clear();
        EXPECT_EQ(trel->createAllowedHostsValue(HostStream), QString());
        EXPECT_EQ(log.count(QStringLiteral("Trel: a row of trel_tokens is not a valid token"), 1),
                  1);
    }
}

// Well-formed rows in tables of other shapes keep working.
TEST_P(TokenCheck, RowsThatFitAreReadWhateverTheTableLooksLike) {
    const struct {
        const char* what;
        QString sqlite;
        QString mysql;
        QString insert;
    } shapes[] = {
        {"an extra column",
         "id INTEGER, token_id TEXT, allowed_hosts TEXT, ttl INTEGER, base_url TEXT, note TEXT",
         "id BIGINT, token_id VARBINARY(64), allowed_hosts BLOB, ttl BIGINT, base_url BLOB, note "
         "TEXT",
         "INSERT INTO trel_tokens VALUES (1, 'tok', 'h', 2208988800, 'http://shop.example/shop', "
         "NULL)"},
        {"TTL digits as text",
         "id INTEGER, token_id TEXT, allowed_hosts TEXT, ttl TEXT, base_url TEXT",
         "id BIGINT, token_id VARBINARY(64), allowed_hosts BLOB, ttl VARCHAR(20), base_url BLOB",
         "INSERT INTO trel_tokens VALUES (1, 'tok', 'h', '2208988800', "
         "'http://shop.example/shop')"},
        {"TTL as a floating-point number",
         "id INTEGER, token_id TEXT, allowed_hosts TEXT, ttl REAL, base_url TEXT",
         "id BIGINT, token_id VARBINARY(64), allowed_hosts BLOB, ttl DOUBLE, base_url BLOB",
         "INSERT INTO trel_tokens VALUES (1, 'tok', 'h', 2208988800.0, "
         "'http://shop.example/shop')"},
    };
    for (const auto& shape : shapes) {
        SCOPED_TRACE(shape.what);
        ASSERT_TRUE(replaceTable(*inst, QStringLiteral("trel_tokens"), shape.sqlite, shape.mysql));
        ASSERT_TRUE(inst->exec(shape.insert));
        LogCapture log({HostStream.value()});
        EXPECT_TRUE(admit(QStringLiteral("tok"), QStringLiteral("http://shop.example/shop/x")));
        EXPECT_EQ(hosts, QStringLiteral("h"));
        EXPECT_EQ(ttl, Year2040);
        EXPECT_EQ(log.texts(1), QStringList());
        EXPECT_EQ(trel->createAllowedHostsValue(HostStream), QStringLiteral("h"));
    }
}

TEST_P(TokenCheck, AllowedHostsOfValidTokensAreJoinedInTableOrder) {
    EXPECT_EQ(trel->createAllowedHostsValue(HostStream), QString());

    const qint64 past = libraryNow(*inst) - 1000;
    ASSERT_TRUE(insertToken(*inst, 1, QStringLiteral("t1"), QStringLiteral("a,b"), Year2040,
                            QStringLiteral("http://elsewhere.example/x")));
    ASSERT_TRUE(insertToken(*inst, 2, QStringLiteral("t2"), QStringLiteral("x,y"), past, Empty));
    ASSERT_TRUE(
        insertToken(*inst, 3, QStringLiteral("t3"), QStringLiteral("b,c"), Year2040, Empty));
    LogCapture log({HostStream.value()});
    EXPECT_EQ(trel->createAllowedHostsValue(HostStream), QStringLiteral("a,b,b,c"));
    EXPECT_EQ(log.count(QStringLiteral("Trel: Token ' t2 ' expired"), 4), 1);
    EXPECT_EQ(log.count(QStringLiteral("Trel: Current Time is:"), 4), 1);

    // Only expired tokens: nothing.
    ASSERT_TRUE(inst->exec(QStringLiteral("DELETE FROM trel_tokens WHERE id <> 2")));
    EXPECT_EQ(trel->createAllowedHostsValue(HostStream), QString());
}

TEST_P(TokenCheck, AllowedHostsKeepEmptyPiecesAndTheirBytes) {
    ASSERT_TRUE(insertToken(*inst, 1, QStringLiteral("t1"), Empty, Year2040, Empty));
    EXPECT_EQ(trel->createAllowedHostsValue(HostStream), QString());

    ASSERT_TRUE(inst->exec(QStringLiteral("DELETE FROM trel_tokens")));
    ASSERT_TRUE(insertToken(*inst, 1, QStringLiteral("t1"), QStringLiteral("a"), Year2040, Empty));
    ASSERT_TRUE(insertToken(*inst, 2, QStringLiteral("t2"), Empty, Year2040, Empty));
    EXPECT_EQ(trel->createAllowedHostsValue(HostStream), QStringLiteral("a,"));

    ASSERT_TRUE(inst->exec(QStringLiteral("DELETE FROM trel_tokens")));
    ASSERT_TRUE(
        insertToken(*inst, 1, QStringLiteral("t1"), QStringLiteral(" a , b,,"), Year2040, Empty));
    ASSERT_TRUE(insertToken(*inst, 2, QStringLiteral("t2"),
                            QString::fromUtf8("b\xc3\xbc"
                                              "cher.example,x'); DROP TABLE t; --"),
                            Year2040, Empty));
    EXPECT_EQ(trel->createAllowedHostsValue(HostStream),
              QString::fromUtf8(" a , b,,,b\xc3\xbc"
                                "cher.example,x'); DROP TABLE t; --"));
}

INSTANTIATE_TEST_SUITE_P(Backends, TokenCheck, ::testing::Values(Backend::Sqlite, Backend::MySql),
                         [](const auto& info) { return backendName(info.param); });

} // namespace
