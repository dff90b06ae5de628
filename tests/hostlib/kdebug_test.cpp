#include "core/ktrellog.h"

#include <kolv/kdebug.h>

#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <vector>

namespace {

struct SunkLine {
    int level;
    std::uint32_t stream;
    QString text;
};

// Installs a sink for the test's lifetime and removes it again, so that lines of the
// other tests go to their files.
class ScopedSink {
public:
    ScopedSink() {
        KDebug::setSink(
            [this](KDebug::debug_level_t level, KDebug::StreamId stream, const QString& text) {
                lines.push_back(SunkLine{level, stream.value(), text});
            });
    }
    ~ScopedSink() { KDebug::setSink(KDebug::Sink()); }
    QStringList texts() const {
        QStringList result;
        for (const SunkLine& line : lines)
            result << line.text;
        return result;
    }
    std::vector<SunkLine> lines;
};

// Restores a stream's level at the end of a test.
class ScopedLevel {
public:
    ScopedLevel(KDebug::StreamId stream, int level)
        : m_stream(stream), m_old(KDebug::getDebugLevel(stream)) {
        KDebug::setDebugLevel(stream, level);
    }
    ~ScopedLevel() { KDebug::setDebugLevel(m_stream, m_old); }

private:
    KDebug::StreamId m_stream;
    int m_old;
};

QStringList fileLines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

TEST(KDebugStream, StreamIdIsFourBytesAndDefaultsToOne) {
    static_assert(sizeof(KDebug::StreamId) == 4, "the host passes stream ids by value as 4 bytes");
    EXPECT_EQ(KDebug::StreamId().value(), 1u);
    EXPECT_EQ(KDebug::StreamId(7).value(), 7u);
    EXPECT_TRUE(KDebug::StreamId(7) == KDebug::StreamId(7));
    EXPECT_TRUE(KDebug::StreamId(7) != KDebug::StreamId(8));
}

TEST(KDebugStream, LevelsAreKeptPerStream) {
    EXPECT_EQ(KDebug::getDebugLevel(9101), KDebug::DefaultLevel);
    ScopedLevel a(9101, 0);
    ScopedLevel b(9102, 5);
    EXPECT_EQ(KDebug::getDebugLevel(9101), 0);
    EXPECT_EQ(KDebug::getDebugLevel(9102), 5);
    EXPECT_EQ(KDebug::getDebugLevel(9103), KDebug::DefaultLevel);
}

TEST(KDebugStream, LinesAboveTheStreamLevelAreDropped) {
    ScopedSink sink;
    ScopedLevel a(9111, 2);
    ScopedLevel b(9112, 4);
    for (int level = 0; level <= 5; ++level) {
        trelLog(9111, level) << "a" << level << kflush;
        trelLog(9112, level) << "b" << level << kflush;
    }
    EXPECT_EQ(sink.texts(), QStringList({"a 0", "b 0", "a 1", "b 1", "a 2", "b 2", "b 3", "b 4"}));
    for (const SunkLine& line : sink.lines)
        EXPECT_LE(line.level, line.stream == 9111 ? 2 : 4);
}

TEST(KDebugStream, ALineOpenedForAHiddenLevelIsNeverWritten) {
    ScopedSink sink;
    KDebug line = KDebug::doHandleCacheEnabled(9121, 0);
    EXPECT_FALSE(line.isEnabled());
    line << "dropped" << 1 << kflush;
    line << "also dropped";
    line.appendf("%d", 2);
    line.flush();
    EXPECT_TRUE(sink.lines.empty());
}

TEST(KDebugLine, PiecesOfEveryStreamedTypeAreJoinedByOneBlank) {
    ScopedSink sink;
    KDebug::create(9131, 3) << "text" << QStringLiteral("qstring") << QByteArray("bytes") << -12
                            << 4000000000u << -5000000000LL << 123L << 456UL
                            << 18446744073709551615ULL << kflush;
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_EQ(sink.lines[0].text,
              "text qstring bytes -12 4000000000 -5000000000 123 456 18446744073709551615");
    EXPECT_EQ(sink.lines[0].level, 3);
    EXPECT_EQ(sink.lines[0].stream, 9131u);
}

TEST(KDebugLine, TextPiecesAreDecodedAsUtf8) {
    ScopedSink sink;
    KDebug::create(9132, 3) << "caf\xc3\xa9" << QByteArray("\xe2\x82\xac") << kflush;
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_EQ(sink.lines[0].text, QString::fromUtf8("caf\xc3\xa9 \xe2\x82\xac"));
}

TEST(KDebugLine, ANullTextIsAnEmptyPiece) {
    ScopedSink sink;
    const char* none = nullptr;
    KDebug::create(9133, 3) << "before" << none << "after" << kflush;
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_EQ(sink.lines[0].text, "before  after");
}

TEST(KDebugLine, AppendfWithoutFormatAddsNoPieceAndWithAFormatAddsOne) {
    ScopedSink sink;
    {
        KDebug line = KDebug::create(9134, 3);
        line.appendf();
        line << "first" << kflush;
        line.appendf("%s=%d", "n", 42);
        line << "tail" << kflush;
    }
    EXPECT_EQ(sink.texts(), QStringList({"first", "n=42 tail"}));
}

TEST(KDebugLine, TheCollectorsLineHelperStartsWithoutALeadingBlank) {
    ScopedSink sink;
    ScopedLevel level(9135, 5);
    trelLog(9135, 4) << "Trel: bar should appear" << kflush;
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_EQ(sink.lines[0].text, "Trel: bar should appear");
    EXPECT_EQ(sink.lines[0].level, 4);
}

TEST(KDebugLine, KflushEndsALineAndStartsTheNext) {
    ScopedSink sink;
    KDebug line = KDebug::create(9141, 2);
    line << "one" << 1 << kflush;
    EXPECT_EQ(sink.texts(), QStringList({"one 1"}));
    line << "two" << kflush << "three" << kflush;
    EXPECT_EQ(sink.texts(), QStringList({"one 1", "two", "three"}));
    // Nothing streamed since the last flush: no empty line.
    line.flush();
    line << kflush;
    EXPECT_EQ(sink.lines.size(), 3u);
}

TEST(KDebugLine, TheDestructorWritesAPendingLineOnce) {
    ScopedSink sink;
    {
        KDebug line = KDebug::create(9142, 1);
        line << "pending" << 7;
        EXPECT_TRUE(sink.lines.empty());
        KDebug moved(std::move(line));
        moved << "more";
    }
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_EQ(sink.lines[0].text, "pending 7 more");
    EXPECT_EQ(sink.lines[0].level, 1);
}

TEST(KDebugLine, TheSinkReceivesLevelStreamAndTextOfEveryStream) {
    ScopedSink sink;
    KDebug::create(9151, 0) << "zero" << kflush;
    KDebug::create(9152, 5) << "five" << kflush;
    ASSERT_EQ(sink.lines.size(), 2u);
    EXPECT_EQ(sink.lines[0].level, 0);
    EXPECT_EQ(sink.lines[0].stream, 9151u);
    EXPECT_EQ(sink.lines[0].text, "zero");
    EXPECT_EQ(sink.lines[1].level, 5);
    EXPECT_EQ(sink.lines[1].stream, 9152u);
    EXPECT_EQ(sink.lines[1].text, "five");
}

TEST(KDebugFile, StreamLinesAreAppendedToTheFileWithTimestampLevelAndStream) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("stream.log"));
    {
        QFile existing(path);
        ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
        existing.write("earlier line\n");
    }
    ASSERT_TRUE(KDebug::setStreamFile(9161, path));
    KDebug::create(9161, 2) << "hello" << 5 << kflush;
    KDebug::create(9162, 2) << "other stream" << kflush; // not to this file
    // Written at each line: readable before the stream lets go of the file.
    QStringList lines = fileLines(path);
    ASSERT_EQ(lines.size(), 2) << lines.join('\n').toStdString();
    EXPECT_EQ(lines[0], "earlier line");
    const QRegularExpression format(QStringLiteral(
        "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\[2\\] \\[9161\\] hello 5$"));
    EXPECT_TRUE(format.match(lines[1]).hasMatch()) << lines[1].toStdString();

    // Setting the file again appends rather than truncating.
    ASSERT_TRUE(KDebug::setStreamFile(9161, path));
    KDebug::create(9161, 4) << "again" << kflush;
    lines = fileLines(path);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[2].endsWith(QStringLiteral(" [4] [9161] again"))) << lines[2].toStdString();

    // An empty path sends the stream back to standard error.
    ASSERT_TRUE(KDebug::setStreamFile(9161, QString()));
    KDebug::create(9161, 4) << "to stderr" << kflush;
    EXPECT_EQ(fileLines(path).size(), 3);
}

TEST(KDebugFile, ASinkTakesLinesInsteadOfTheFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("sink.log"));
    ASSERT_TRUE(KDebug::setStreamFile(9171, path));
    {
        ScopedSink sink;
        KDebug::create(9171, 3) << "to the sink" << kflush;
        EXPECT_EQ(sink.texts(), QStringList({"to the sink"}));
    }
    KDebug::create(9171, 3) << "to the file" << kflush;
    const QStringList lines = fileLines(path);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("to the file")));
    KDebug::setStreamFile(9171, QString());
}

TEST(KDebugFile, AFileThatCannotBeOpenedIsRefusedAndTheStreamKeepsItsFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("keep.log"));
    ASSERT_TRUE(KDebug::setStreamFile(9181, path));
    EXPECT_FALSE(KDebug::setStreamFile(9181, dir.filePath(QStringLiteral("no/such/dir/x.log"))));
    KDebug::create(9181, 3) << "still here" << kflush;
    const QStringList lines = fileLines(path);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("still here")));
    KDebug::setStreamFile(9181, QString());
}

} // namespace
