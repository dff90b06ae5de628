#ifndef TREL_TOOL_SIMULATECOMMAND_H
#define TREL_TOOL_SIMULATECOMMAND_H

#include "command.h"

class InstallationAccess;

// `trel simulate ROOT --requests N`: plays a web server's PHP workers against the
// installation. P worker processes (`trel simulate-worker`) each drive their own
// collector as the host does and write to the same database at once; this process
// shows their progress and sums up what the database holds afterwards.
class SimulateCommand : public Command {
public:
    QString name() const override { return QStringLiteral("simulate"); }
    QString summary() const override;

protected:
    void setUp(QCommandLineParser& parser) override;
    int run(QCommandLineParser& parser) override;

private:
    void checkAccessRules(InstallationAccess& access, double unauthorisedShare) const;
};

#endif
