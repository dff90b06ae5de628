#ifndef TREL_TOOL_REQUESTSCOMMAND_H
#define TREL_TOOL_REQUESTSCOMMAND_H

#include "command.h"

// `trel requests ROOT [--last N]`: the newest stored requests, oldest of them first,
// one line each.
class RequestsCommand : public Command {
public:
    QString name() const override { return QStringLiteral("requests"); }
    QString summary() const override;

protected:
    void setUp(QCommandLineParser& parser) override;
    int run(QCommandLineParser& parser) override;
};

#endif
