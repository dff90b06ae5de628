#ifndef TREL_URLPATH_H
#define TREL_URLPATH_H

#include <QString>
#include <QStringList>

// The paths a web server may serve for a request path given percent-encoded (QUrl's
// fully encoded form): each is decoded, once, and has its "." and ".." segments resolved
// as RFC 3986 (5.2.4) removes them, percent-encoded dots included. Servers
// disagree on whether an encoded slash (%2F) and a backslash separate segments (some
// decode %2F before resolving "..", Windows servers read "\" as "/"), so there is one
// path for each of the four readings: a request lies under a path only if every
// reading does.
QStringList servedPathReadings(const QString& encodedPath);

#endif
