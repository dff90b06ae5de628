#include "cli.h"

#include "agentcommand.h"
#include "checkcommand.h"
#include "cleanupcommand.h"
#include "command.h"
#include "initcommand.h"
#include "requestscommand.h"
#include "showcommand.h"
#include "simulatecommand.h"
#include "simulateworkercommand.h"
#include "tokencommand.h"
#include "toolerror.h"

#include <cstdio>

namespace {

void printLine(FILE* stream, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

Cli::Cli() {
    m_commands.emplace_back(new InitCommand);
    m_commands.emplace_back(new TokenCommand);
    m_commands.emplace_back(new AgentCommand);
    m_commands.emplace_back(new CheckCommand);
    m_commands.emplace_back(new SimulateCommand);
    m_commands.emplace_back(new RequestsCommand);
    m_commands.emplace_back(new ShowCommand);
    m_commands.emplace_back(new CleanupCommand);
    m_commands.emplace_back(new SimulateWorkerCommand);
}

Cli::~Cli() = default;

Command* Cli::find(const QString& name) const {
    for (const auto& command : m_commands) {
        if (command->name() == name)
            return command.get();
    }
    return nullptr;
}

QString Cli::overview() const {
    QString text = QStringLiteral(
        "Usage: trel COMMAND [arguments]\n\n"
        "Creates trel installations, plays the PHP host against the collector, and shows\n"
        "what it stored. Every command works on SQLite and MariaDB/MySQL installations.\n\n"
        "Commands:\n");
    for (const auto& command : m_commands) {
        if (!command->hidden())
            text += QStringLiteral("  %1%2\n")
                        .arg(command->name().leftJustified(10), command->summary());
    }
    text += QStringLiteral(
        "\n`trel help COMMAND` or `trel COMMAND --help` tells more about a command.\n"
        "Exit status: 0 done; 1 done with a negative outcome (a refused check, failed\n"
        "requests in a simulation); 2 bad input or an error, reported in one line.\n");
    return text;
}

int Cli::run(const QStringList& arguments) {
    try {
        const QString first = arguments.value(0);
        if (first.isEmpty()) {
            printLine(stderr, overview());
            return ToolError::Failure;
        }
        if (first == QLatin1String("help") || first == QLatin1String("--help") ||
            first == QLatin1String("-h")) {
            const QString topic = arguments.value(1);
            if (topic.isEmpty()) {
                printLine(stdout, overview());
                return 0;
            }
            Command* command = find(topic);
            if (!command)
                throw ToolError(
                    QStringLiteral("there is no command '%1'; `trel help` lists them").arg(topic));
            printLine(stdout, command->helpText());
            return 0;
        }
        Command* command = find(first);
        if (!command)
            throw ToolError(
                QStringLiteral("there is no command '%1'; `trel help` lists them").arg(first));
        return command->execute(arguments.mid(1));
    } catch (const ToolError& error) {
        printLine(stderr, QStringLiteral("trel: %1\n").arg(error.message().simplified()));
        return error.exitCode();
    }
}
