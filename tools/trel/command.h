#ifndef TREL_TOOL_COMMAND_H
#define TREL_TOOL_COMMAND_H

#include "toolerror.h"

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <cstdio>

// One command of the program (`trel init`, `trel show`, ...). A command declares its
// options on a QCommandLineParser, and run() does the work; bad input is reported by
// throwing ToolError before anything is written.
class Command {
public:
    virtual ~Command();

    // The word after `trel`, e.g. "init".
    virtual QString name() const = 0;
    // One line for `trel help`.
    virtual QString summary() const = 0;
    // Hidden commands are not listed by `trel help`.
    virtual bool hidden() const { return false; }

    // Runs the command on its arguments (the words after the command's name). Returns
    // the exit code; throws ToolError on bad input.
    int execute(const QStringList& arguments);

    // The help text of `trel COMMAND --help`.
    QString helpText();

protected:
    // Declares the command's options and positional arguments.
    virtual void setUp(QCommandLineParser& parser) = 0;
    virtual int run(QCommandLineParser& parser) = 0;

    // The command line as it is shown in usage lines, e.g. "trel token add".
    virtual QString usagePrefix() const;

    // The positional arguments, or a ToolError naming what is missing or extra.
    QStringList positionals(const QCommandLineParser& parser, const QStringList& names,
                            int optional = 0) const;
    // A ToolError for a bad value: "trel NAME: MESSAGE; see `trel NAME --help`".
    ToolError usageError(const QString& message) const;

    bool verbose() const { return m_verbose; }

    static void out(const QString& text);
    // Words wrapped at `width` columns; lines that start with a blank are kept.
    static QString wrap(const QString& text, int width);

private:
    void prepare(QCommandLineParser& parser);
    bool m_verbose = false;
};

#endif
