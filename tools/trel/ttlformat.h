#ifndef TREL_TOOL_TTLFORMAT_H
#define TREL_TOOL_TTLFORMAT_H

#include <QString>

// The expiry of a token as the user writes it: a duration from now ("3600" seconds,
// "90s", "30m", "12h", "7d", "2w", optionally with a leading "+") or a UTC date and
// time ("2030-01-01", "2030-01-01T12:00", "2030-01-01T12:00:00", optionally ending in
// "Z"). The result is an absolute time in seconds since 1970-01-01 UTC, the form the
// token table stores.
class TtlFormat {
public:
    static const char* const Help;

    // Returns false with the reason in *error; a time that is not in the future is
    // refused, since such a token would admit nothing.
    static bool parse(const QString& text, qint64 now, qint64* ttl, QString* error);
};

#endif
