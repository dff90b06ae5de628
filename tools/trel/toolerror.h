#ifndef TREL_TOOL_TOOLERROR_H
#define TREL_TOOL_TOOLERROR_H

#include <QString>

// What stops a command: one line for the user saying what is wrong and what to do.
// main() prints it after "trel: " and exits with the code.
class ToolError {
public:
    // Exit codes of the program: 0 done; 1 done, with a negative outcome (a refused
    // check, a simulation with failed requests); 2 bad input or an error.
    static constexpr int Failure = 2;

    explicit ToolError(const QString& message, int exitCode = Failure)
        : m_message(message), m_exitCode(exitCode) {}

    const QString& message() const { return m_message; }
    int exitCode() const { return m_exitCode; }

private:
    QString m_message;
    int m_exitCode;
};

#endif
