#ifndef TREL_TEST_LOGCAPTURE_H
#define TREL_TEST_LOGCAPTURE_H

#include <kolv/kdebug.h>

#include <QString>
#include <QStringList>

#include <vector>

// Captures every log line while alive (the host library's sink), and sets the levels
// of the streams it is told about so that every line up to level 5 is kept.
class LogCapture {
public:
    struct Line {
        int level;
        std::uint32_t stream;
        QString text;
    };

    explicit LogCapture(std::vector<std::uint32_t> streams = {1}, int level = 5);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::vector<Line>& lines() const { return m_lines; }
    // The texts of the captured lines, optionally only those of one level.
    QStringList texts() const;
    QStringList texts(int level) const;
    // How many lines start with `prefix` (of the given level, or any level with -1).
    int count(const QString& prefix, int level = -1) const;
    bool contains(const QString& text) const;
    void clear() { m_lines.clear(); }

private:
    std::vector<Line> m_lines;
    std::vector<std::uint32_t> m_streams;
    std::vector<int> m_oldLevels;
};

#endif
