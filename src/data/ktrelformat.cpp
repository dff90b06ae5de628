#include <trel/ktrelformat.h>

#include <QDateTime>

QString KTrelFormat::duration(qint64 us) {
    const qint64 magnitude = us < 0 ? -us : us;
    if (magnitude < 1000)
        return QStringLiteral("%1 us").arg(us);
    if (magnitude < 10000)
        return QStringLiteral("%1 ms").arg(us / 1000.0, 0, 'f', 2);
    if (magnitude < 1000000)
        return QStringLiteral("%1 ms").arg(us / 1000.0, 0, 'f', 1);
    return QStringLiteral("%1 s").arg(us / 1000000.0, 0, 'f', 2);
}

QString KTrelFormat::bytes(qint64 bytes) {
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

QString KTrelFormat::memoryOfLimit(qint64 peak, qint64 limit) {
    if (limit < 0)
        return bytes(peak) + QStringLiteral(" (no limit)");
    return bytes(peak) + QStringLiteral(" of ") + bytes(limit);
}

QString KTrelFormat::localTime(qint64 msecs) {
    return QDateTime::fromMSecsSinceEpoch(msecs).toString(
        QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}
