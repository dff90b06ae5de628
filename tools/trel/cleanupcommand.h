#ifndef TREL_TOOL_CLEANUPCOMMAND_H
#define TREL_TOOL_CLEANUPCOMMAND_H

#include "command.h"

// `trel cleanup ROOT --keep N`: the host's trim of the database, through the
// collector's cleanupDb: all but the newest N requests go, with what refers to them.
class CleanupCommand : public Command {
public:
    QString name() const override { return QStringLiteral("cleanup"); }
    QString summary() const override;

protected:
    void setUp(QCommandLineParser& parser) override;
    int run(QCommandLineParser& parser) override;
};

#endif
