#ifndef TREL_TOOL_FORMAT_H
#define TREL_TOOL_FORMAT_H

#include <QString>

// How the program writes numbers and times for people.
class Format {
public:
    // Microseconds as "310 us", "84.2 ms" or "1.24 s".
    static QString duration(qint64 microseconds);
    // Bytes as "512 B", "4.0 KiB", "5.2 MiB".
    static QString bytes(qint64 bytes);
    // "811.5 KiB of 128.0 MiB"; PHP's memory_limit of -1 (or any negative) is no limit.
    static QString memoryOfLimit(qint64 peak, qint64 limit);
    // Milliseconds since 1970 UTC as local "2024-05-01 12:00:01.123".
    static QString localTime(qint64 msecsSinceEpoch);
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
