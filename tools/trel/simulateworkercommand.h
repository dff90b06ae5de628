#ifndef TREL_TOOL_SIMULATEWORKERCOMMAND_H
#define TREL_TOOL_SIMULATEWORKERCOMMAND_H

#include "command.h"
#include "requestgenerator.h"

class InstallationAccess;

// `trel simulate-worker`: one worker process of `trel simulate`, like one process of a
// web server. It serves the requests whose number leaves the remainder WORKER when
// divided by the number of processes, with a collector of its own, and reports each
// on standard output as "<outcome> <number>" (written, failed or refused).
class SimulateWorkerCommand : public Command {
public:
    QString name() const override { return QStringLiteral("simulate-worker"); }
    QString summary() const override;
    bool hidden() const override { return true; }

    // The tokens a simulated browser can present: those still valid, in the order of
    // their rows, and the names of those that have expired.
    static void loadTokens(InstallationAccess& access, QList<RequestGenerator::Token>* valid,
                           QStringList* expired);

protected:
    void setUp(QCommandLineParser& parser) override;
    int run(QCommandLineParser& parser) override;
};

#endif
