#ifndef TREL_TOOL_CHECKCOMMAND_H
#define TREL_TOOL_CHECKCOMMAND_H

#include "command.h"

// `trel check ROOT --token NAME --url URL --agent TEXT`: the host's access decision for
// one request, taken by the collector (isAgentAllowed, isTokenOK), with the reasons.
// Exits 0 when the request is admitted and 1 when it is refused.
class CheckCommand : public Command {
public:
    QString name() const override { return QStringLiteral("check"); }
    QString summary() const override;

protected:
    void setUp(QCommandLineParser& parser) override;
    int run(QCommandLineParser& parser) override;
};

#endif
