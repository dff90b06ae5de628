#ifndef TREL_TOOL_CLI_H
#define TREL_TOOL_CLI_H

#include <QStringList>

#include <memory>
#include <vector>

class Command;

// The program's front door: picks the command named by the first argument, answers
// `trel help [COMMAND]`, and turns a ToolError into one line on standard error and the
// error's exit code.
class Cli {
public:
    Cli();
    ~Cli();

    // `arguments` without the program's name. Returns the exit code.
    int run(const QStringList& arguments);

private:
    Command* find(const QString& name) const;
    QString overview() const;

    std::vector<std::unique_ptr<Command>> m_commands;
};

#endif
