#ifndef KOLV_KDEBUG_H
#define KOLV_KDEBUG_H

#include <kolv/kolv_export.h>

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>

// Logging streams. A line is opened with create() (or doHandleCacheEnabled() when the
// stream's level is below the line's), pieces are streamed with operator<<, and the
// kflush manipulator (or the destructor) ends it. A finished line is the streamed
// pieces joined by one blank; it goes to the installed sink when there is one,
// otherwise to the stream's file or standard error, prefixed with a timestamp, the
// level and the stream. Lines above the stream's level are dropped.
class KOLV_EXPORT KDebug {
public:
    // A 4-byte stream identifier; the default stream is 1.
    class KOLV_EXPORT StreamId {
    public:
        StreamId() = default;
        StreamId(std::uint32_t value) : m_value(value) {}
        std::uint32_t value() const { return m_value; }
        bool operator==(const StreamId& other) const { return m_value == other.m_value; }
        bool operator!=(const StreamId& other) const { return m_value != other.m_value; }

    private:
        std::uint32_t m_value = 1;
    };
    typedef int debug_level_t;

    // Receives every finished line while installed: level, stream and the line's text.
    using Sink = std::function<void(debug_level_t, StreamId, const QString&)>;

    static constexpr debug_level_t DefaultLevel = 3;

    static debug_level_t getDebugLevel(StreamId stream);
    static void setDebugLevel(StreamId stream, debug_level_t level);
    // Sends the stream's lines to a file (appended, flushed at each line); an empty
    // path sends them back to standard error. Returns false when the file cannot be opened.
    static bool setStreamFile(StreamId stream, const QString& path);
    // Installs a sink that receives every line of every stream instead of the
    // files; an empty function removes it.
    static void setSink(Sink sink);

    // Opens a line that will be written.
    static KDebug create(StreamId stream, debug_level_t level);
    // Opens a line for a level the stream does not show; it is dropped.
    static KDebug doHandleCacheEnabled(StreamId stream, debug_level_t level);

    KDebug(KDebug&& other) noexcept;
    KDebug& operator=(KDebug&&) = delete;
    KDebug(const KDebug&) = delete;
    KDebug& operator=(const KDebug&) = delete;
    ~KDebug();

    // Appends a printf-style formatted piece; with no format it appends nothing.
    KDebug& appendf(const char* format = nullptr, ...);

    KDebug& operator<<(const char* text);
    KDebug& operator<<(const QString& text);
    KDebug& operator<<(const QByteArray& text);
    KDebug& operator<<(int value);
    KDebug& operator<<(unsigned int value);
    KDebug& operator<<(long value);
    KDebug& operator<<(unsigned long value);
    KDebug& operator<<(long long value);
    KDebug& operator<<(unsigned long long value);
    KDebug& operator<<(KDebug& (*manipulator)(KDebug&)) { return manipulator(*this); }

    // Ends the line: writes it (when enabled and not empty) and starts a new one.
    void flush();

    bool isEnabled() const { return m_enabled; }

private:
    KDebug(StreamId stream, debug_level_t level, bool enabled);
    void addPiece(const QString& piece);

    StreamId m_stream;
    debug_level_t m_level;
    bool m_enabled;
    bool m_hasPieces = false;
    QString m_line;
};

// The manipulator that ends a line.
KOLV_EXPORT KDebug& kflush(KDebug& debug);

#endif
