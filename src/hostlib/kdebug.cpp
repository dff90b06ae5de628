#include <kolv/kdebug.h>

#include <QDateTime>
#include <QFile>

#include <cstdarg>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

namespace {

struct StreamState {
    KDebug::debug_level_t level = KDebug::DefaultLevel;
    std::unique_ptr<QFile> file;
};

struct Registry {
    std::mutex mutex;
    std::map<std::uint32_t, StreamState> streams;
    KDebug::Sink sink;
};

Registry& registry() {
    // Never destroyed: lines may still be written from static destructors.
    static Registry* instance = new Registry;
    return *instance;
}

} // namespace

KDebug::debug_level_t KDebug::getDebugLevel(StreamId stream) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.streams.find(stream.value());
    return it == r.streams.end() ? DefaultLevel : it->second.level;
}

void KDebug::setDebugLevel(StreamId stream, debug_level_t level) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.streams[stream.value()].level = level;
}

bool KDebug::setStreamFile(StreamId stream, const QString& path) {
    std::unique_ptr<QFile> file;
    if (!path.isEmpty()) {
        file = std::make_unique<QFile>(path);
        if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
            return false;
    }
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.streams[stream.value()].file = std::move(file);
    return true;
}

void KDebug::setSink(Sink sink) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.sink = std::move(sink);
}

KDebug KDebug::create(StreamId stream, debug_level_t level) { return KDebug(stream, level, true); }

KDebug KDebug::doHandleCacheEnabled(StreamId stream, debug_level_t level) {
    return KDebug(stream, level, false);
}

KDebug::KDebug(StreamId stream, debug_level_t level, bool enabled)
    : m_stream(stream), m_level(level), m_enabled(enabled) {}

KDebug::KDebug(KDebug&& other) noexcept
    : m_stream(other.m_stream), m_level(other.m_level), m_enabled(other.m_enabled),
      m_hasPieces(other.m_hasPieces), m_line(std::move(other.m_line)) {
    other.m_enabled = false;
    other.m_hasPieces = false;
}

KDebug::~KDebug() {
    try {
        flush();
    } catch (...) {
        // A log line must never take the caller down.
    }
}

KDebug& KDebug::appendf(const char* format, ...) {
    if (!m_enabled || !format)
        return *this;
    va_list args;
    va_start(args, format);
    addPiece(QString::vasprintf(format, args));
    va_end(args);
    return *this;
}

void KDebug::addPiece(const QString& piece) {
    if (m_hasPieces)
        m_line += QLatin1Char(' ');
    m_line += piece;
    m_hasPieces = true;
}

KDebug& KDebug::operator<<(const char* text) {
    if (m_enabled)
        addPiece(QString::fromUtf8(text ? text : ""));
    return *this;
}

KDebug& KDebug::operator<<(const QString& text) {
    if (m_enabled)
        addPiece(text);
    return *this;
}

KDebug& KDebug::operator<<(const QByteArray& text) {
    if (m_enabled)
        addPiece(QString::fromUtf8(text));
    return *this;
}

KDebug& KDebug::operator<<(int value) {
    if (m_enabled)
        addPiece(QString::number(value));
    return *this;
}

KDebug& KDebug::operator<<(unsigned int value) {
    if (m_enabled)
        addPiece(QString::number(value));
    return *this;
}

KDebug& KDebug::operator<<(long value) {
    if (m_enabled)
        addPiece(QString::number(value));
    return *this;
}

KDebug& KDebug::operator<<(unsigned long value) {
    if (m_enabled)
        addPiece(QString::number(value));
    return *this;
}

KDebug& KDebug::operator<<(long long value) {
    if (m_enabled)
        addPiece(QString::number(value));
    return *this;
}

KDebug& KDebug::operator<<(unsigned long long value) {
    if (m_enabled)
        addPiece(QString::number(value));
    return *this;
}

void KDebug::flush() {
    if (!m_enabled || !m_hasPieces)
        return;
    const QString line = std::move(m_line);
    m_line = QString();
    m_hasPieces = false;

    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.sink) {
        r.sink(m_level, m_stream, line);
        return;
    }
    const QByteArray text =
        QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toUtf8() + " [" +
        QByteArray::number(m_level) + "] [" + QByteArray::number(m_stream.value()) + "] " +
        line.toUtf8() + '\n';
    auto it = r.streams.find(m_stream.value());
    if (it != r.streams.end() && it->second.file) {
        it->second.file->write(text);
        it->second.file->flush();
    } else {
        std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stderr);
    }
}

KDebug& kflush(KDebug& debug) {
    debug.flush();
    return debug;
}
