#ifndef TREL_TOOL_INITCOMMAND_H
#define TREL_TOOL_INITCOMMAND_H

#include "command.h"

// `trel init ROOT`: creates an installation (settings, the bar's templates, the
// database with its schema) in a temporary folder beside ROOT and renames it into
// place, so that a failure leaves nothing behind and an existing installation is
// replaced (with --force) only by a complete one.
class InitCommand : public Command {
public:
    QString name() const override { return QStringLiteral("init"); }
    QString summary() const override;

protected:
    void setUp(QCommandLineParser& parser) override;
    int run(QCommandLineParser& parser) override;

private:
    int addMissingParts(const QString& shownRoot);
};

#endif
