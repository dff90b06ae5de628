#include "toollog.h"

#include <QList>

#include <cstdio>

namespace {

struct State {
    int shownLevel = 0;
    int captureLevel = -1;
    QList<ToolLog::Line> lines;
};

State& state() {
    static State s;
    return s;
}

} // namespace

void ToolLog::install() {
    KDebug::setSink([](KDebug::debug_level_t level, KDebug::StreamId, const QString& text) {
        State& s = state();
        if (level <= s.captureLevel)
            s.lines.append(Line{level, text});
        if (level <= s.shownLevel) {
            const QByteArray line =
                QStringLiteral("[%1] %2\n").arg(level).arg(text.simplified()).toLocal8Bit();
            std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
            std::fflush(stderr);
        }
    });
    updateLevel();
}

void ToolLog::setVerbose(bool verbose) {
    state().shownLevel = verbose ? 5 : 0;
    updateLevel();
}

void ToolLog::updateLevel() {
    const State& s = state();
    KDebug::setDebugLevel(Stream, qMax(s.shownLevel, s.captureLevel));
}

void ToolLog::startCapture(int level) {
    state().captureLevel = level;
    state().lines.clear();
    updateLevel();
}

void ToolLog::stopCapture() {
    state().captureLevel = -1;
    updateLevel();
}

QList<ToolLog::Line> ToolLog::captured() {
    return state().lines;
}

bool ToolLog::sawLine(const QString& prefix, int level) {
    for (const Line& line : state().lines) {
        if (line.level <= level && line.text.startsWith(prefix))
            return true;
    }
    return false;
}

QString ToolLog::findLine(const QString& prefix) {
    for (const Line& line : state().lines) {
        if (line.text.startsWith(prefix))
            return line.text;
    }
    return QString();
}
