#ifndef TREL_TOOL_TOOLLOG_H
#define TREL_TOOL_TOOLLOG_H

#include <kolv/kdebug.h>

#include <QString>
#include <QStringList>

// The program's view of the library's log (stream 1). Every line reaches one sink: the
// lines up to the shown level go to standard error (level 0, the library's errors, or
// every level with --verbose), and while a capture runs the lines up to the capture
// level are also kept, so that a command can tell what the library decided or what
// went wrong (a "KTrel::write:" line is a failed write).
class ToolLog {
public:
    struct Line {
        int level;
        QString text;
    };

    static const std::uint32_t Stream = 1;

    // Installs the sink; called once at start.
    static void install();
    static void setVerbose(bool verbose);

    // Keeps the lines up to `level` from now on (and makes the stream produce them),
    // dropping what an earlier capture kept.
    static void startCapture(int level);
    static void stopCapture();
    static QList<Line> captured();
    // Whether a kept line of at most `level` starts with `prefix`.
    static bool sawLine(const QString& prefix, int level);
    // The first kept line that starts with `prefix`, or an empty text.
    static QString findLine(const QString& prefix);

private:
    static void updateLevel();
};

#endif
