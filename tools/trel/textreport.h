#ifndef TREL_TOOL_TEXTREPORT_H
#define TREL_TOOL_TEXTREPORT_H

#include <QString>

class KTrelStoredRequest;

// A stored request as text for a terminal: the facts, the time breakdown with bars,
// the SQL queries slowest first, the errors, the functions with most own time, the
// events and the superglobal samples.
class TextReport {
public:
    static QString write(const KTrelStoredRequest& request);
};

#endif
