#ifndef TREL_TOOL_SHOWCOMMAND_H
#define TREL_TOOL_SHOWCOMMAND_H

#include "command.h"

// `trel show ROOT ID [--html FILE]`: one stored request, as text or as a
// self-contained HTML page.
class ShowCommand : public Command {
public:
    QString name() const override { return QStringLiteral("show"); }
    QString summary() const override;

protected:
    void setUp(QCommandLineParser& parser) override;
    int run(QCommandLineParser& parser) override;
};

#endif
