#include "logtap.h"

LogTap::LogTap(KDebug::StreamId stream, int level) {
    KDebug::setDebugLevel(stream, level);
    KDebug::setSink([this](KDebug::debug_level_t lineLevel, KDebug::StreamId, const QString& text) {
        m_lines.append(Line{lineLevel, text});
    });
}

LogTap::~LogTap() {
    KDebug::setSink(KDebug::Sink());
}

QList<LogTap::Line> LogTap::take() {
    QList<Line> lines;
    lines.swap(m_lines);
    return lines;
}

int LogTap::count(const QList<Line>& lines, int level, const QString& prefix) {
    int n = 0;
    for (const Line& line : lines)
        n += line.level == level && line.text.startsWith(prefix) ? 1 : 0;
    return n;
}

QString LogTap::first(const QList<Line>& lines, int level, const QString& prefix) {
    for (const Line& line : lines)
        if (line.level == level && line.text.startsWith(prefix))
            return line.text;
    return QString();
}
