#ifndef TREL_TOOL_TOKENCOMMAND_H
#define TREL_TOOL_TOKENCOMMAND_H

#include "command.h"

class InstallationAccess;

// `trel token add|list|remove ROOT ...`: the access tokens a browser presents. The
// library only reads them; this is the program that writes them.
class TokenCommand : public Command {
public:
    QString name() const override { return QStringLiteral("token"); }
    QString summary() const override;

protected:
    void setUp(QCommandLineParser& parser) override;
    int run(QCommandLineParser& parser) override;
    QString usagePrefix() const override;

private:
    int add(QCommandLineParser& parser, const QStringList& arguments);
    int list(InstallationAccess& access);
    int remove(InstallationAccess& access, const QString& name);
};

#endif
