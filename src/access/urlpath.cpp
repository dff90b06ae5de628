#include "access/urlpath.h"

#include <QUrl>

namespace {

// `segments` are the decoded pieces between separators; the first is the text before
// the first separator (empty for an absolute path).
QString resolveSegments(const QStringList& segments) {
    const bool absolute = segments.size() > 1 && segments.first().isEmpty();
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
    // An empty segment before the last dot segment stays: "/a//." is "/a//", not "/a/".
    if (trailingSlash)
        output.append(QString());
    QString result = output.join(QLatin1Char('/'));
    if (absolute)
        result.prepend(QLatin1Char('/'));
    return result;
}

bool isEscape(const QString& text, int at, char high, char low) {
    return at + 2 < text.size() && text.at(at) == QLatin1Char('%') &&
           text.at(at + 1) == QLatin1Char(high) && text.at(at + 2).toUpper() == QLatin1Char(low);
}

QStringList decodedSegments(const QString& encodedPath, bool encodedSlashSeparates,
                            bool backslashSeparates) {
    QStringList segments;
    QString current;
    for (int i = 0; i < encodedPath.size(); ++i) {
        const bool escapedSeparator =
            (encodedSlashSeparates && isEscape(encodedPath, i, '2', 'F')) ||
            (backslashSeparates && isEscape(encodedPath, i, '5', 'C'));
        const QChar c = encodedPath.at(i);
        if (escapedSeparator || c == QLatin1Char('/') ||
            (backslashSeparates && c == QLatin1Char('\\'))) {
            segments.append(QUrl::fromPercentEncoding(current.toUtf8()));
            current.clear();
            if (escapedSeparator)
                i += 2;
        } else {
            current += c;
        }
    }
    segments.append(QUrl::fromPercentEncoding(current.toUtf8()));
    return segments;
}

} // namespace

QStringList servedPathReadings(const QString& encodedPath) {
    QStringList readings;
    for (const bool encodedSlashSeparates : {true, false}) {
        for (const bool backslashSeparates : {true, false})
            readings.append(resolveSegments(
                decodedSegments(encodedPath, encodedSlashSeparates, backslashSeparates)));
    }
    return readings;
}
