#include "format.h"

#include <QDateTime>
#include <QStringList>

QString Format::duration(qint64 us) {
    const qint64 magnitude = us < 0 ? -us : us;
    if (magnitude < 1000)
        return QStringLiteral("%1 us").arg(us);
    if (magnitude < 10000)
        return QStringLiteral("%1 ms").arg(us / 1000.0, 0, 'f', 2);
    if (magnitude < 1000000)
        return QStringLiteral("%1 ms").arg(us / 1000.0, 0, 'f', 1);
    return QStringLiteral("%1 s").arg(us / 1000000.0, 0, 'f', 2);
}

QString Format::bytes(qint64 bytes) {
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = bytes / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QString::fromLatin1(units[unit]));
}

QString Format::memoryOfLimit(qint64 peak, qint64 limit) {
    if (limit < 0)
        return bytes(peak) + QStringLiteral(" (no limit)");
    return bytes(peak) + QStringLiteral(" of ") + bytes(limit);
}

QString Format::localTime(qint64 msecs) {
    return QDateTime::fromMSecsSinceEpoch(msecs).toString(
        QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

QString Format::utcSeconds(qint64 secs) {
    return QDateTime::fromSecsSinceEpoch(secs, Qt::UTC)
               .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) +
           QStringLiteral(" UTC");
}

QString Format::relative(qint64 secs, qint64 now) {
    qint64 delta = secs - now;
    const bool future = delta >= 0;
    if (!future)
        delta = -delta;
    QStringList parts;
    const qint64 days = delta / 86400;
    const qint64 hours = (delta % 86400) / 3600;
    const qint64 minutes = (delta % 3600) / 60;
    if (days > 0)
        parts << QStringLiteral("%1 d").arg(days);
    if (hours > 0 && days < 10)
        parts << QStringLiteral("%1 h").arg(hours);
    if (minutes > 0 && days == 0)
        parts << QStringLiteral("%1 min").arg(minutes);
    if (parts.isEmpty())
        parts << QStringLiteral("%1 s").arg(delta % 60);
    const QString span = parts.join(QLatin1Char(' '));
    return future ? QStringLiteral("in ") + span : span + QStringLiteral(" ago");
}

QString Format::clip(const QString& text, int width) {
    const QString flat = text.simplified();
    if (width <= 3 || flat.size() <= width)
        return flat;
    return flat.left(width - 3) + QStringLiteral("...");
}

QString Format::right(const QString& text, int width) {
    return text.rightJustified(width);
}

QString Format::left(const QString& text, int width) {
    return text.leftJustified(width);
}
