#ifndef TREL_URLPATH_H
#define TREL_URLPATH_H

#include <QString>

// The path a web server serves for a request path: the "." and ".." segments
// resolved as RFC 3986 (5.2.4) removes them. The path is taken decoded (QUrl's
// fully decoded form), so that percent-encoded dots and slashes count as the
// characters they stand for.
QString resolveDotSegments(const QString& path);

#endif
