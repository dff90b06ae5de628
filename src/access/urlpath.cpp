#include "access/urlpath.h"

#include <QStringList>

QString resolveDotSegments(const QString& path) {
    if (!path.contains(QLatin1Char('.')))
        return path;
    const bool absolute = path.startsWith(QLatin1Char('/'));
    const QStringList segments = path.split(QLatin1Char('/'));
    QStringList output;
    // The last segment decides whether the result ends with a slash.
    bool trailingSlash = false;
    for (int i = 0; i < segments.size(); ++i) {
        const QString& segment = segments.at(i);
        const bool last = i == segments.size() - 1;
        if (i == 0 && absolute)
            continue;
        if (segment == QLatin1String(".")) {
            trailingSlash = last;
            continue;
        }
        if (segment == QLatin1String("..")) {
            if (!output.isEmpty())
                output.removeLast();
            trailingSlash = last;
            continue;
        }
        output.append(segment);
        trailingSlash = false;
    }
    QString result = output.join(QLatin1Char('/'));
    if (absolute)
        result.prepend(QLatin1Char('/'));
    if (trailingSlash && !result.endsWith(QLatin1Char('/')))
        result.append(QLatin1Char('/'));
    return result;
}
