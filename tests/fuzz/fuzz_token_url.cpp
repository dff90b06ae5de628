// Fuzzes the access token's URL test (KTrelToken::isUrlMatches) and the readings of a
// request path that it compares (servedPathReadings). The input is the token's base URL,
// a newline, and the request URL; a request that starts with '+' is the base URL followed
// by the rest, so that the fuzzer works on paths under the token's path. No newline: an
// empty base URL.
//
// What must hold besides not crashing: an empty base URL admits everything; a malformed
// base or request URL admits nothing; an admitted request is on the token's host, and
// each path a web server may serve for it (its "." and ".." segments resolved, with or
// without encoded slashes and backslashes as separators) starts with the token's path,
// so ".." never climbs out of it; a valid request on the token's host whose every
// reading lies under the token's path is admitted. Hosts and paths are recomputed here
// with QUrl and a resolver of this file's own, independent of the library's.

#include "fuzzsupport.h"

#include "access/urlpath.h"

#include <trel/ktreltoken.h>

#include <QStringList>
#include <QUrl>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace {

void removeLastSegment(QString& output) {
    const int slash = output.lastIndexOf(QLatin1Char('/'));
    output.truncate(slash < 0 ? 0 : slash);
}

// Dot-segment removal, step by step as RFC 3986 (5.2.4) writes it.
QString removeDotSegments(QString input) {
    QString output;
    while (!input.isEmpty()) {
        if (input.startsWith(QLatin1String("../"))) {
            input.remove(0, 3);
        } else if (input.startsWith(QLatin1String("./"))) {
            input.remove(0, 2);
        } else if (input.startsWith(QLatin1String("/./"))) {
            input.remove(0, 2);
        } else if (input == QLatin1String("/.")) {
            input = QStringLiteral("/");
        } else if (input.startsWith(QLatin1String("/../"))) {
            input.remove(0, 3);
            removeLastSegment(output);
        } else if (input == QLatin1String("/..")) {
            input = QStringLiteral("/");
            removeLastSegment(output);
        } else if (input == QLatin1String(".") || input == QLatin1String("..")) {
            input.clear();
        } else {
            int end = input.indexOf(QLatin1Char('/'), input.startsWith(QLatin1Char('/')) ? 1 : 0);
            if (end < 0)
                end = input.size();
            output += input.left(end);
            input.remove(0, end);
        }
    }
    return output;
}

// The decoded path a server serves for an absolute, fully encoded path (as QUrl gives
// it: every '%' starts an escape): the separators are '/' and, in the readings that say
// so, %2F and '\' (or %5C). Decoded slashes and percent signs inside a segment are
// re-escaped while the dot segments are removed, so that they separate nothing.
QString servedPath(QString path, bool encodedSlashSeparates, bool backslashSeparates) {
    if (encodedSlashSeparates)
        path.replace(QLatin1String("%2F"), QLatin1String("/"), Qt::CaseInsensitive);
    if (backslashSeparates) {
        path.replace(QLatin1Char('\\'), QLatin1Char('/'));
        path.replace(QLatin1String("%5C"), QLatin1String("/"), Qt::CaseInsensitive);
    }
    QStringList segments = path.split(QLatin1Char('/'));
    for (QString& segment : segments)
        segment = QUrl::fromPercentEncoding(segment.toUtf8())
                      .replace(QLatin1Char('%'), QLatin1String("%25"))
                      .replace(QLatin1Char('/'), QLatin1String("%2F"));
    QString resolved = removeDotSegments(segments.join(QLatin1Char('/')));
    return resolved.replace(QLatin1String("%2F"), QLatin1String("/"))
        .replace(QLatin1String("%25"), QLatin1String("%"));
}

QStringList servedPaths(const QString& encodedPath) {
    QStringList paths;
    for (const bool encodedSlash : {true, false}) {
        for (const bool backslash : {true, false})
            paths << servedPath(encodedPath, encodedSlash, backslash);
    }
    return paths;
}

bool hasDotSegment(const QString& path) {
    const QStringList segments = path.split(QLatin1Char('/'));
    return segments.contains(QStringLiteral(".")) || segments.contains(QStringLiteral(".."));
}

// A URL with a host has an absolute or an empty path; others are left to the host test.
bool checkedPath(const QString& encodedPath) {
    return encodedPath.isEmpty() || encodedPath.startsWith(QLatin1Char('/'));
}

void checkReadings(const QString& encodedPath) {
    QStringList readings = servedPathReadings(encodedPath);
    if (!checkedPath(encodedPath))
        return;
    if (readings.isEmpty())
        fuzz::violation("a path has no reading", encodedPath);
    for (const QString& reading : qAsConst(readings)) {
        if (!encodedPath.isEmpty() && !reading.startsWith(QLatin1Char('/')))
            fuzz::violation("an absolute path reads as a relative one",
                            encodedPath + " -> " + reading);
    }
    // In the reading where every separator separates, no dot segment may be left.
    if (hasDotSegment(servedPath(encodedPath, true, true)))
        fuzz::violation("this file's resolver leaves a dot segment", encodedPath);
    QStringList expected = servedPaths(encodedPath);
    std::sort(readings.begin(), readings.end());
    std::sort(expected.begin(), expected.end());
    if (readings != expected)
        fuzz::violation("a path is read unlike RFC 3986 resolves it",
                        encodedPath + " -> " + readings.join(" | ") + " expected " +
                            expected.join(" | "));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The comparison lines are logged at levels 3 and 4 with the URLs in them.
    fuzz::captureLog(5);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<int>(size));
    QByteArray base;
    QByteArray request = input;
    const int newline = input.indexOf('\n');
    if (newline >= 0) {
        base = input.left(newline);
        request = input.mid(newline + 1);
        if (request.startsWith('+'))
            request = base + request.mid(1);
    }
    const QString requestText = QString::fromUtf8(request);

    KTrelToken token;
    token.setId(1);
    token.setTokenId(QByteArrayLiteral("fuzz"));
    token.setBaseUrl(base);
    fuzz::logLines().clear();
    const bool admitted = token.isUrlMatches(requestText, fuzz::Stream);
    fuzz::logLines().clear();

    const QUrl tokenUrl(QString::fromUtf8(base), QUrl::TolerantMode);
    const QUrl requestUrl(requestText, QUrl::TolerantMode);
    const QString encodedPath = requestUrl.path(QUrl::FullyEncoded);
    checkReadings(encodedPath);
    // Whatever a caller passes, even no URL's path at all, is read without harm.
    servedPathReadings(QString::fromUtf8(input));

    const QString detail =
        QStringLiteral("base '%1' request '%2'").arg(QString::fromUtf8(base), requestText);
    if (base.isEmpty()) {
        if (!admitted)
            fuzz::violation("an empty base URL refuses a request", detail);
        return 0;
    }
    const bool valid = tokenUrl.isValid() && requestUrl.isValid();
    const bool sameHost = tokenUrl.host() == requestUrl.host();
    const bool checked = checkedPath(encodedPath);
    bool underPath = true;
    QString outside;
    if (checked) {
        for (const QString& path : servedPaths(encodedPath)) {
            if (!path.startsWith(tokenUrl.path())) {
                underPath = false;
                outside = path;
            }
        }
    }
    if (admitted) {
        if (!tokenUrl.isValid())
            fuzz::violation("a malformed base URL admits a request", detail);
        if (!requestUrl.isValid())
            fuzz::violation("a malformed request URL is admitted", detail);
        if (!sameHost)
            fuzz::violation("a request on another host is admitted", detail);
        if (!underPath)
            fuzz::violation("a request outside the token's path is admitted",
                            detail + " served path " + outside);
    } else if (valid && sameHost && checked && underPath) {
        fuzz::violation("a request under the token's path is refused", detail);
    }
    return 0;
}
