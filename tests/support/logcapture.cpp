#include "support/logcapture.h"

LogCapture::LogCapture(std::vector<std::uint32_t> streams, int level) : m_streams(streams) {
    for (std::uint32_t stream : m_streams) {
        m_oldLevels.push_back(KDebug::getDebugLevel(stream));
        KDebug::setDebugLevel(stream, level);
    }
    KDebug::setSink([this](KDebug::debug_level_t lineLevel, KDebug::StreamId stream,
                           const QString& text) {
        m_lines.push_back(Line{lineLevel, stream.value(), text});
    });
}

LogCapture::~LogCapture() {
    KDebug::setSink(KDebug::Sink());
    for (size_t i = 0; i < m_streams.size(); ++i)
        KDebug::setDebugLevel(m_streams[i], m_oldLevels[i]);
}

QStringList LogCapture::texts() const {
    QStringList result;
    for (const Line& line : m_lines)
        result << line.text;
    return result;
}

QStringList LogCapture::texts(int level) const {
    QStringList result;
    for (const Line& line : m_lines)
        if (line.level == level)
            result << line.text;
    return result;
}

int LogCapture::count(const QString& prefix, int level) const {
    int n = 0;
    for (const Line& line : m_lines)
        if ((level < 0 || line.level == level) && line.text.startsWith(prefix))
            ++n;
    return n;
}

bool LogCapture::contains(const QString& text) const {
    for (const Line& line : m_lines)
        if (line.text.contains(text))
            return true;
    return false;
}
