#ifndef TREL_TOOL_FORMAT_H
#define TREL_TOOL_FORMAT_H

#include <QString>

// How the program writes times and columns for people (durations, sizes and local
// times: KTrelFormat).
class Format {
public:
    // Seconds since 1970 UTC as "2030-01-01 00:00:00 UTC".
    static QString utcSeconds(qint64 secsSinceEpoch);
    // "in 2 h 5 min" or "4 d ago" for a time relative to now (both in seconds).
    static QString relative(qint64 secs, qint64 now);
    // The text cut to `width` characters, with "..." at the end when cut.
    static QString clip(const QString& text, int width);
    // Right- and left-aligned columns.
    static QString right(const QString& text, int width);
    static QString left(const QString& text, int width);
};

#endif
