#include "progressbar.h"

#include <cstdio>
#include <unistd.h>

namespace {
const int BarWidth = 30;
}

ProgressBar::ProgressBar(qint64 total) : m_total(total), m_enabled(isatty(STDERR_FILENO) == 1) {}

ProgressBar::~ProgressBar() {
    clear();
}

void ProgressBar::update(qint64 done, const QString& note) {
    if (!m_enabled)
        return;
    if (m_drawn && m_sinceDraw.isValid() && m_sinceDraw.elapsed() < 100 && done < m_total)
        return;
    m_sinceDraw.start();
    const int filled = m_total > 0 ? static_cast<int>(done * BarWidth / m_total) : BarWidth;
    const QString bar =
        QString(filled, QLatin1Char('#')) + QString(BarWidth - filled, QLatin1Char('.'));
    const QByteArray line = QStringLiteral("\r[%1] %2/%3 %4\x1b[K")
                                .arg(bar)
                                .arg(done)
                                .arg(m_total)
                                .arg(note)
                                .toLocal8Bit();
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
    m_drawn = true;
}

void ProgressBar::clear() {
    if (!m_enabled || !m_drawn)
        return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    m_drawn = false;
}

void ProgressBar::finish() {
    clear();
}
