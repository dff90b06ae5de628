#ifndef TREL_KTRELFORMAT_H
#define TREL_KTRELFORMAT_H

#include <trel/trel_export.h>

#include <QString>

// How trel writes numbers and times for people, in the tool's reports and the bar's
// details alike.
class TREL_EXPORT KTrelFormat {
public:
    // Microseconds as "310 us", "84.2 ms" or "1.24 s".
    static QString duration(qint64 microseconds);
    // Bytes as "512 B", "4.0 KiB", "5.2 MiB".
    static QString bytes(qint64 bytes);
    // "811.5 KiB of 128.0 MiB"; PHP's memory_limit of -1 (or any negative) is no limit.
    static QString memoryOfLimit(qint64 peak, qint64 limit);
    // Milliseconds since 1970 UTC as local "2024-05-01 12:00:01.123".
    static QString localTime(qint64 msecsSinceEpoch);
};

#endif
