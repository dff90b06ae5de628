#ifndef TREL_STRESS_LOGTAP_H
#define TREL_STRESS_LOGTAP_H

#include <kolv/kdebug.h>

#include <QList>
#include <QString>

// Receives the log lines of the process (the host library's sink) up to a level, for
// a stress program to learn what the library reported: "KTrel::write:" failures,
// "Deleted requests:" counts, retry lines.
class LogTap {
public:
    struct Line {
        int level;
        QString text;
    };

    LogTap(KDebug::StreamId stream, int level);
    ~LogTap();
    LogTap(const LogTap&) = delete;
    LogTap& operator=(const LogTap&) = delete;

    // The lines received since the last call.
    QList<Line> take();

    static int count(const QList<Line>& lines, int level, const QString& prefix);
    // The first line of that level and prefix, or an empty text.
    static QString first(const QList<Line>& lines, int level, const QString& prefix);

private:
    QList<Line> m_lines;
};

#endif
