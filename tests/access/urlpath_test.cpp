#include "access/urlpath.h"

#include <gtest/gtest.h>

#include <QUrl>

namespace {

std::string show(const QStringList& list) {
    return ("[" + list.join(QStringLiteral("] [")) + "]").toStdString();
}

// The one path every reading gives; fails when the readings disagree.
QString served(const QString& encodedPath) {
    const QStringList readings = servedPathReadings(encodedPath);
    EXPECT_EQ(readings.size(), 4);
    for (const QString& reading : readings)
        EXPECT_EQ(reading, readings.first()) << encodedPath.toStdString() << ": " << show(readings);
    return readings.value(0);
}

TEST(ServedPath, PathsWithoutDotSegmentsAreOnlyDecoded) {
    EXPECT_EQ(served(QString()), QString());
    EXPECT_EQ(served(QStringLiteral("/")), QStringLiteral("/"));
    EXPECT_EQ(served(QStringLiteral("/shop/cart")), QStringLiteral("/shop/cart"));
    EXPECT_EQ(served(QStringLiteral("/shop/cart/")), QStringLiteral("/shop/cart/"));
    EXPECT_EQ(served(QStringLiteral("/a%20b/c%C3%A9")), QStringLiteral("/a b/c\u00e9"));
    // Empty segments are kept, as the server keeps them.
    EXPECT_EQ(served(QStringLiteral("/a//b")), QStringLiteral("/a//b"));
    // Names that only look like dot segments.
    EXPECT_EQ(served(QStringLiteral("/a/.../b")), QStringLiteral("/a/.../b"));
    EXPECT_EQ(served(QStringLiteral("/a/..b/c")), QStringLiteral("/a/..b/c"));
    EXPECT_EQ(served(QStringLiteral("/a/b../c")), QStringLiteral("/a/b../c"));
    EXPECT_EQ(served(QStringLiteral("/a/.hidden")), QStringLiteral("/a/.hidden"));
    EXPECT_EQ(served(QStringLiteral("/a/.. /b")), QStringLiteral("/a/.. /b"));
}

TEST(ServedPath, DotSegmentsAreResolved) {
    EXPECT_EQ(served(QStringLiteral("/a/./b")), QStringLiteral("/a/b"));
    EXPECT_EQ(served(QStringLiteral("/a/b/../c")), QStringLiteral("/a/c"));
    EXPECT_EQ(served(QStringLiteral("/shop/../admin")), QStringLiteral("/admin"));
    EXPECT_EQ(served(QStringLiteral("/admin/../shop/cart")), QStringLiteral("/shop/cart"));
    // ".." never climbs above the root.
    EXPECT_EQ(served(QStringLiteral("/a/../../b")), QStringLiteral("/b"));
    EXPECT_EQ(served(QStringLiteral("/../../../etc/passwd")), QStringLiteral("/etc/passwd"));
    // An empty segment is a segment: ".." removes it.
    EXPECT_EQ(served(QStringLiteral("/a//../b")), QStringLiteral("/a/b"));
    EXPECT_EQ(served(QStringLiteral("/a/./././b/.")), QStringLiteral("/a/b/"));
}

TEST(ServedPath, TrailingDotSegmentsLeaveTheDirectory) {
    EXPECT_EQ(served(QStringLiteral("/a/b/..")), QStringLiteral("/a/"));
    EXPECT_EQ(served(QStringLiteral("/shop/..")), QStringLiteral("/"));
    EXPECT_EQ(served(QStringLiteral("/..")), QStringLiteral("/"));
    EXPECT_EQ(served(QStringLiteral("/.")), QStringLiteral("/"));
    EXPECT_EQ(served(QStringLiteral("/shop/.")), QStringLiteral("/shop/"));
    EXPECT_EQ(served(QStringLiteral("/shop/cart/..")), QStringLiteral("/shop/"));
}

TEST(ServedPath, PercentEncodedDotsAreDots) {
    EXPECT_EQ(served(QStringLiteral("/shop/%2e%2E/admin")), QStringLiteral("/admin"));
    EXPECT_EQ(served(QStringLiteral("/shop/.%2e/admin")), QStringLiteral("/admin"));
    EXPECT_EQ(served(QStringLiteral("/shop/%2E./admin")), QStringLiteral("/admin"));
    EXPECT_EQ(served(QStringLiteral("/shop/%2e/cart")), QStringLiteral("/shop/cart"));
    EXPECT_EQ(served(QStringLiteral("/shop/%2e%2e")), QStringLiteral("/"));
}

TEST(ServedPath, DecodesOnlyOnce) {
    // "%252e" is the text "%2e", not a dot: a server decodes a request path once.
    EXPECT_EQ(served(QStringLiteral("/shop/%252e%252e/admin")),
              QStringLiteral("/shop/%2e%2e/admin"));
    EXPECT_EQ(served(QStringLiteral("/shop/%252E%252E")), QStringLiteral("/shop/%2E%2E"));
    // Nor is "%252F" a separator in any reading.
    EXPECT_EQ(served(QStringLiteral("/shop%252F..%252Fadmin")),
              QStringLiteral("/shop%2F..%2Fadmin"));
    EXPECT_EQ(served(QStringLiteral("/shop%255C..%255Cadmin")),
              QStringLiteral("/shop%5C..%5Cadmin"));
}

TEST(ServedPath, EncodedSlashesAreReadBothWays) {
    const QStringList escaped = servedPathReadings(QStringLiteral("/shop/..%2fadmin"));
    EXPECT_TRUE(escaped.contains(QStringLiteral("/admin"))) << show(escaped);
    EXPECT_TRUE(escaped.contains(QStringLiteral("/shop/../admin"))) << show(escaped);

    const QStringList upper = servedPathReadings(QStringLiteral("/admin%2F..%2Fshop/cart"));
    EXPECT_TRUE(upper.contains(QStringLiteral("/shop/cart"))) << show(upper);
    EXPECT_TRUE(upper.contains(QStringLiteral("/admin/../shop/cart"))) << show(upper);
    for (const QString& reading : upper)
        EXPECT_TRUE(reading == QLatin1String("/shop/cart") ||
                    reading == QLatin1String("/admin/../shop/cart"))
            << show(upper);
}

TEST(ServedPath, BackslashesAreReadBothWays) {
    const QStringList encoded = servedPathReadings(QStringLiteral("/shop%5C..%5Cadmin"));
    EXPECT_TRUE(encoded.contains(QStringLiteral("/admin"))) << show(encoded);
    EXPECT_TRUE(encoded.contains(QStringLiteral("/shop\\..\\admin"))) << show(encoded);
    const QStringList lower = servedPathReadings(QStringLiteral("/shop%5c..%5cadmin"));
    EXPECT_TRUE(lower.contains(QStringLiteral("/admin"))) << show(lower);
    const QStringList raw = servedPathReadings(QStringLiteral("/shop\\..\\admin"));
    EXPECT_TRUE(raw.contains(QStringLiteral("/admin"))) << show(raw);
    EXPECT_TRUE(raw.contains(QStringLiteral("/shop\\..\\admin"))) << show(raw);
}

TEST(ServedPath, MixedSeparatorsGiveEveryCombination) {
    // An encoded slash and a backslash in one path: each reading decides them apart.
    const QStringList readings =
        servedPathReadings(QStringLiteral("/shop/x%2F..%5C..%5C..%2F..%2Fadmin"));
    ASSERT_EQ(readings.size(), 4);
    EXPECT_TRUE(readings.contains(QStringLiteral("/admin"))) << show(readings);
    EXPECT_TRUE(readings.contains(QStringLiteral("/shop/x/..\\..\\../../admin"))) << show(readings);
}

TEST(ServedPath, OddBytesAreData) {
    EXPECT_EQ(served(QStringLiteral("/a%00/../b")), QStringLiteral("/b"));
    EXPECT_EQ(served(QStringLiteral("/a/%00..")), QStringLiteral("/a/") + QChar(0) + "..");
    EXPECT_EQ(served(QStringLiteral("/a%FFb")), QStringLiteral("/a\ufffdb"));
    // Overlong UTF-8 for "." is not a dot.
    EXPECT_EQ(
        served(QStringLiteral("/shop/%C0%AE%C0%AE/admin")).startsWith(QLatin1String("/shop/")),
        true);
    // Truncated escapes do not run past the end.
    EXPECT_EQ(served(QStringLiteral("/a/%2")), QStringLiteral("/a/%2"));
    EXPECT_EQ(served(QStringLiteral("/a/%")), QStringLiteral("/a/%"));
    EXPECT_EQ(servedPathReadings(QStringLiteral("/a%2")).size(), 4);
    EXPECT_EQ(servedPathReadings(QStringLiteral("/a%5")).size(), 4);
}

// The form isUrlMatches hands over: QUrl's fully encoded path of the request.
TEST(ServedPath, AgreesWithQUrlsEncodedForm) {
    const auto servedFor = [](const char* url) {
        return servedPathReadings(
            QUrl(QString::fromUtf8(url), QUrl::TolerantMode).path(QUrl::FullyEncoded));
    };
    EXPECT_EQ(servedFor("http://h/shop/%2e%2E/admin"), QStringList(4, QStringLiteral("/admin")));
    EXPECT_EQ(servedFor("http://h/admin/../shop/cart?x=/.."),
              QStringList(4, QStringLiteral("/shop/cart")));
    EXPECT_TRUE(servedFor("http://h/shop\\..\\admin").contains(QStringLiteral("/admin")));
    EXPECT_TRUE(servedFor("http://h/shop/..%2Fadmin").contains(QStringLiteral("/admin")));
    EXPECT_EQ(servedFor("http://h/%252e%252e/x"), QStringList(4, QStringLiteral("/%2e%2e/x")));
}

} // namespace
