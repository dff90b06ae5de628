#include "data/phperrortypename.h"

#include <trel/trel.h>

#include <gtest/gtest.h>

#include <QDateTime>

#include <climits>
#include <cstdarg>

namespace {

class PhpErrors : public ::testing::Test {
protected:
    void SetUp() override {
        trel = KTrel::instance();
        trel->reset();
    }
    void TearDown() override { KTrel::release(); }

    // Hands the collector a va_list the way the engine does: from its own variadic call.
    void addFormatted(int type, const char* filename, unsigned int line, int backtraceId,
                      const char* format, ...) {
        va_list args;
        va_start(args, format);
        trel->addPhpErrorWithArgs(type, filename, line, format, backtraceId, args);
        va_end(args);
    }

    KTrel* trel = nullptr;
};

TEST(PhpErrorTypeName, NamesEveryPhpErrorConstant) {
    const std::pair<int, const char*> names[] = {
        {1, "E_ERROR"},
        {2, "E_WARNING"},
        {4, "E_PARSE"},
        {8, "E_NOTICE"},
        {16, "E_CORE_ERROR"},
        {32, "E_CORE_WARNING"},
        {64, "E_COMPILE_ERROR"},
        {128, "E_COMPILE_WARNING"},
        {256, "E_USER_ERROR"},
        {512, "E_USER_WARNING"},
        {1024, "E_USER_NOTICE"},
        {2048, "E_STRICT "},
        {4096, "E_RECOVERABLE_ERROR"},
        {8192, "E_DEPRECATED"},
        {16384, "E_USER_DEPRECATED"},
    };
    for (const auto& [type, name] : names)
        EXPECT_EQ(phpErrorTypeName(type), QString::fromLatin1(name)) << type;
    // The stored name of E_STRICT keeps its trailing blank.
    EXPECT_EQ(phpErrorTypeName(2048).size(), 9);
}

TEST(PhpErrorTypeName, AnyOtherValueIsUnknownWithItsDecimalValue) {
    EXPECT_EQ(phpErrorTypeName(3), QStringLiteral("[unknown 3]")); // E_ERROR | E_WARNING
    EXPECT_EQ(phpErrorTypeName(0), QStringLiteral("[unknown 0]"));
    EXPECT_EQ(phpErrorTypeName(-1), QStringLiteral("[unknown -1]"));
    EXPECT_EQ(phpErrorTypeName(32767), QStringLiteral("[unknown 32767]")); // E_ALL
    EXPECT_EQ(phpErrorTypeName(INT_MIN), QStringLiteral("[unknown -2147483648]"));
}

TEST_F(PhpErrors, LastErrorBeforeAnyAddIsTheSharedEmptyEntry) {
    const KTrel::PhpError& none = trel->getLastPHPError();
    EXPECT_TRUE(none.time.isNull());
    EXPECT_TRUE(none.type.isEmpty());
    EXPECT_TRUE(none.message.isEmpty());
    EXPECT_TRUE(none.filename.isEmpty());
    EXPECT_EQ(none.line, 0);
    EXPECT_FALSE(none.silenced);
    EXPECT_EQ(none.backtraceId, 0);
    EXPECT_EQ(&trel->getLastPHPError(), &none);
}

TEST_F(PhpErrors, AddPhpErrorStoresTheEntryAsGiven) {
    const QDateTime before = QDateTime::currentDateTime();
    trel->addPhpError(8, "/srv/www/index.php", 12, "Undefined index: 100% \"%s\" %d", 4);
    const QDateTime after = QDateTime::currentDateTime();

    const KTrel::PhpError& last = trel->getLastPHPError();
    EXPECT_EQ(last.type, QStringLiteral("E_NOTICE"));
    // Not a format: percent signs stay as they are.
    EXPECT_EQ(last.message, QStringLiteral("Undefined index: 100% \"%s\" %d"));
    EXPECT_EQ(last.filename, QStringLiteral("/srv/www/index.php"));
    EXPECT_EQ(last.line, 12);
    EXPECT_EQ(last.backtraceId, 4);
    EXPECT_FALSE(last.silenced);
    EXPECT_FALSE(last.time.isNull());
    EXPECT_LE(before, last.time);
    EXPECT_LE(last.time, after);
    EXPECT_EQ(last.time.timeSpec(), Qt::LocalTime);
}

TEST_F(PhpErrors, TextsAreUtf8CStrings) {
    trel->addPhpError(2, "/srv/\xc3\xa9t\xc3\xa9.php", 1,
                      "Gr\xc3\xb6\xc3\x9f"
                      "e \xe2\x82\xac",
                      -1);
    EXPECT_EQ(trel->getLastPHPError().filename, QString::fromUtf8("/srv/\u00e9t\u00e9.php"));
    EXPECT_EQ(trel->getLastPHPError().message, QString::fromUtf8("Gr\u00f6\u00dfe \u20ac"));
    EXPECT_EQ(trel->getLastPHPError().backtraceId, -1);
}

TEST_F(PhpErrors, NullTextsGiveEmptyFields) {
    trel->addPhpError(2, nullptr, 1, nullptr, -1);
    EXPECT_TRUE(trel->getLastPHPError().message.isEmpty());
    EXPECT_TRUE(trel->getLastPHPError().filename.isEmpty());
    addFormatted(2, nullptr, 1, -1, nullptr);
    EXPECT_TRUE(trel->getLastPHPError().message.isEmpty());
    EXPECT_TRUE(trel->getLastPHPError().filename.isEmpty());
}

TEST_F(PhpErrors, LineAboveTheSignedRangeWraps) {
    trel->addPhpError(2, "a.php", 4294967295u, "m", -1);
    EXPECT_EQ(trel->getLastPHPError().line, -1);
    addFormatted(2, "a.php", 2147483648u, -1, "m");
    EXPECT_EQ(trel->getLastPHPError().line, INT_MIN);
}

TEST_F(PhpErrors, WithArgsFormatsTheVariableArguments) {
    addFormatted(512, "/srv/lib.php", 30, 2, "%s failed after %d tries", "x", 7);
    const KTrel::PhpError& last = trel->getLastPHPError();
    EXPECT_EQ(last.message, QStringLiteral("x failed after 7 tries"));
    EXPECT_EQ(last.type, QStringLiteral("E_USER_WARNING"));
    EXPECT_EQ(last.filename, QStringLiteral("/srv/lib.php"));
    EXPECT_EQ(last.line, 30);
    EXPECT_EQ(last.backtraceId, 2);
    EXPECT_FALSE(last.time.isNull());

    addFormatted(2, "a.php", 1, -1, "[%5.2f|%-4s|%lld|%u|%x|%c|%%|%s]", 3.14159, "ab",
                 1099511627776LL, 4000000000u, 255u, 'Z', "\xc3\xa9");
    EXPECT_EQ(trel->getLastPHPError().message,
              QString::fromUtf8("[ 3.14|ab  |1099511627776|4000000000|ff|Z|%|\u00e9]"));
}

TEST_F(PhpErrors, OnlyWithArgsTakesTheSilencedFlag) {
    addFormatted(2, "a.php", 1, -1, "before");
    EXPECT_FALSE(trel->getLastPHPError().silenced);

    trel->getRequest().setErrorsSilenced(true);
    addFormatted(2, "a.php", 2, -1, "silenced %d", 1);
    EXPECT_TRUE(trel->getLastPHPError().silenced);
    trel->addPhpError(2, "a.php", 3, "never silenced", -1);
    EXPECT_FALSE(trel->getLastPHPError().silenced);

    // The flag is read at the moment of the call, not kept.
    trel->getRequest().setErrorsSilenced(false);
    addFormatted(2, "a.php", 4, -1, "after");
    EXPECT_FALSE(trel->getLastPHPError().silenced);
}

TEST_F(PhpErrors, LastErrorFollowsTheListAndResetEmptiesIt) {
    trel->addPhpError(8, "a.php", 1, "notice", -1);
    EXPECT_EQ(trel->getLastPHPError().type, QStringLiteral("E_NOTICE"));
    trel->addPhpError(2, "a.php", 2, "warning", -1);
    EXPECT_EQ(trel->getLastPHPError().type, QStringLiteral("E_WARNING"));
    EXPECT_EQ(trel->getLastPHPError().message, QStringLiteral("warning"));

    trel->reset();
    const KTrel::PhpError& none = trel->getLastPHPError();
    EXPECT_TRUE(none.type.isEmpty());
    EXPECT_TRUE(none.message.isEmpty());
    EXPECT_TRUE(none.time.isNull());
    EXPECT_EQ(none.backtraceId, 0);
}

} // namespace
