#include "argumentcheck.h"

#include <QRegularExpression>

#include <cmath>

bool ArgumentCheck::wholeNumber(const QString& text, qint64 min, qint64 max, qint64* value) {
    static const QRegularExpression digits(QStringLiteral("^[+-]?[0-9]{1,18}$"));
    const QString trimmed = text.trimmed();
    if (!digits.match(trimmed).hasMatch())
        return false;
    bool ok = false;
    const qint64 parsed = trimmed.toLongLong(&ok);
    if (!ok || parsed < min || parsed > max)
        return false;
    *value = parsed;
    return true;
}

bool ArgumentCheck::share(const QString& text, double* value) {
    QString trimmed = text.trimmed();
    double divisor = 1.0;
    if (trimmed.endsWith(QLatin1Char('%'))) {
        trimmed.chop(1);
        divisor = 100.0;
    }
    static const QRegularExpression decimal(QStringLiteral("^[0-9]*\\.?[0-9]+$|^[0-9]+\\.$"));
    if (!decimal.match(trimmed).hasMatch())
        return false;
    bool ok = false;
    const double parsed = trimmed.toDouble(&ok) / divisor;
    if (!ok || !std::isfinite(parsed) || parsed < 0.0 || parsed > 1.0)
        return false;
    *value = parsed;
    return true;
}

bool ArgumentCheck::hostAndPort(const QString& text, QString* host, int* port) {
    static const QRegularExpression form(
        QStringLiteral("^(?:\\[([0-9A-Fa-f:.]+)\\]|([A-Za-z0-9._-]+)):([0-9]{1,5})$"));
    const QRegularExpressionMatch match = form.match(text.trimmed());
    if (!match.hasMatch())
        return false;
    const int parsed = match.captured(3).toInt();
    if (parsed < 1 || parsed > 65535)
        return false;
    *host = match.captured(1).isEmpty() ? match.captured(2) : match.captured(1);
    *port = parsed;
    return true;
}
