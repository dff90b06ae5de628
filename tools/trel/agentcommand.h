#ifndef TREL_TOOL_AGENTCOMMAND_H
#define TREL_TOOL_AGENTCOMMAND_H

#include "command.h"

#include <trel/ktrel.h>

class InstallationAccess;

// `trel agent add|list|remove ROOT ...`: the user-agent patterns. A browser whose
// User-Agent matches one of them (a regular expression, case-insensitive, anywhere in
// the text) may have its requests collected; with no pattern, none is.
class AgentCommand : public Command {
public:
    QString name() const override { return QStringLiteral("agent"); }
    QString summary() const override;

    // The pattern compiled exactly as the collector compiles the table's rows.
    static KTrel::UserAgentEntry entry(int id, const QString& label, const QString& pattern);

protected:
    void setUp(QCommandLineParser& parser) override;
    int run(QCommandLineParser& parser) override;
    QString usagePrefix() const override;

private:
    int add(const QStringList& arguments);
    int list(InstallationAccess& access);
    int remove(InstallationAccess& access, const QString& id);
};

#endif
