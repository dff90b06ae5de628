#include "ttlformat.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QTimeZone>

const char* const TtlFormat::Help =
    "seconds from now (3600), a duration (90s, 30m, 12h, 7d, 2w) or a UTC date "
    "(2030-01-01, 2030-01-01T12:00)";

bool TtlFormat::parse(const QString& text, qint64 now, qint64* ttl, QString* error) {
    const QString value = text.trimmed();
    static const QRegularExpression duration(QStringLiteral("^\\+?([0-9]{1,12})([smhdw]?)$"));
    const QRegularExpressionMatch durationMatch = duration.match(value);
    if (durationMatch.hasMatch()) {
        const qint64 amount = durationMatch.captured(1).toLongLong();
        const QString unit = durationMatch.captured(2);
        qint64 factor = 1;
        if (unit == QLatin1String("m"))
            factor = 60;
        else if (unit == QLatin1String("h"))
            factor = 3600;
        else if (unit == QLatin1String("d"))
            factor = 86400;
        else if (unit == QLatin1String("w"))
            factor = 7 * 86400;
        // A century is plenty, and keeps the sum far from overflowing.
        const qint64 maxSeconds = 100LL * 366 * 86400;
        if (amount == 0) {
            *error =
                QStringLiteral("the TTL '%1' is zero; the token would admit nothing").arg(text);
            return false;
        }
        if (amount > maxSeconds / factor) {
            *error = QStringLiteral("the TTL '%1' is longer than a hundred years").arg(text);
            return false;
        }
        *ttl = now + amount * factor;
        return true;
    }

    static const QRegularExpression date(
        QStringLiteral("^([0-9]{4}-[0-9]{2}-[0-9]{2})(?:[T ]([0-9]{2}:[0-9]{2})(:[0-9]{2})?)?Z?$"));
    const QRegularExpressionMatch dateMatch = date.match(value);
    if (dateMatch.hasMatch()) {
        const QDate day = QDate::fromString(dateMatch.captured(1), Qt::ISODate);
        QTime time(0, 0);
        if (!dateMatch.captured(2).isEmpty()) {
            const QString clock =
                dateMatch.captured(2) +
                (dateMatch.captured(3).isEmpty() ? QStringLiteral(":00") : dateMatch.captured(3));
            time = QTime::fromString(clock, QStringLiteral("HH:mm:ss"));
        }
        if (!day.isValid() || !time.isValid()) {
            *error = QStringLiteral("the TTL '%1' is not a valid date").arg(text);
            return false;
        }
        const qint64 at = QDateTime(day, time, Qt::UTC).toSecsSinceEpoch();
        if (at <= now) {
            *error = QStringLiteral("the TTL '%1' is not in the future; the token would admit "
                                    "nothing")
                         .arg(text);
            return false;
        }
        *ttl = at;
        return true;
    }

    *error = QStringLiteral("the TTL '%1' is not %2").arg(text, QString::fromLatin1(Help));
    return false;
}
