#include "simbacktracegenerator.h"

void SimBacktraceGenerator::moveTo(const QStringList& frames, const QString& file, int line) {
    m_frames = frames;
    m_file = file;
    m_line = line;
}

QString SimBacktraceGenerator::generateBacktrace() {
    return m_frames.join(QLatin1Char('\n'));
}

void SimBacktraceGenerator::getFileAndLine(QString& fileName, int& line) {
    fileName = m_file;
    line = m_line;
}
