#ifndef TREL_TOOL_HOSTSIMULATOR_H
#define TREL_TOOL_HOSTSIMULATOR_H

#include "simulatedrequest.h"

#include <kolv/kolvserverinfo.h>

class KTrel;
class SimBacktraceGenerator;

// Plays the PHP host's part for the requests of one process: it initialises the
// process's collector from the installation's settings, installs a backtrace generator,
// and serves each request the way the host does: reset, the request's facts, the access
// decision and the switches, the diagnostics as the script produces them, the bar,
// and write().
class HostSimulator {
public:
    enum Outcome { Written, Failed, Refused };

    explicit HostSimulator(const KolvServerInfo& settings);
    ~HostSimulator();
    HostSimulator(const HostSimulator&) = delete;
    HostSimulator& operator=(const HostSimulator&) = delete;

    // Refused: the access check turned the request away and nothing was stored.
    // Failed: the collector logged a failed write ("KTrel::write:").
    Outcome serve(const SimulatedRequest& request);

private:
    bool decideAccess(const SimulatedRequest& request);
    void runScript(const SimulatedRequest& request);
    void addError(const SimulatedError& error);

    KTrel* m_trel;
    SimBacktraceGenerator* m_generator; // owned by the collector
};

#endif
