#ifndef TREL_KTRELREQUESTJSON_H
#define TREL_KTRELREQUESTJSON_H

#include <trel/trel_export.h>

#include <trel/ktrelstoredrequest.h>

#include <QJsonObject>

// A stored request as JSON, the form the viewer renders and the bar reads: the whole
// request (facts, time breakdown, queries slowest first, errors, functions, events and
// the superglobal samples as stored, PHP's serialize() text) or its summary (the bar's
// one line). Times are microseconds ("_us") with a text for people beside the ones the
// bar shows.
class TREL_EXPORT KTrelRequestJson {
public:
    static QJsonObject request(const KTrelStoredRequest& request);
    static QJsonObject summary(const KTrelStoredRequest& request);
    // A list of stored requests: "requests" (each with id, page_id, method, url, status,
    // start, time_us, time, primary, queries, failed_queries, errors), "older", "newer".
    static QJsonObject list(const KTrelStoredRequest::List& list);
};

#endif
