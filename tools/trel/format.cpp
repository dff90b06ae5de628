#include "format.h"

#include <QDateTime>
#include <QStringList>

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
