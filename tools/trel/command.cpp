#include "command.h"

#include "toolerror.h"
#include "toollog.h"

#include <cstdio>

namespace {
const char* const VerboseOption = "verbose";
}

Command::~Command() = default;

QString Command::usagePrefix() const {
    return QStringLiteral("trel ") + name();
}

void Command::prepare(QCommandLineParser& parser) {
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    parser.addOption(QCommandLineOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Show this help.")));
    parser.addOption(QCommandLineOption(QString::fromLatin1(VerboseOption),
                                        QStringLiteral("Show every log line of the library.")));
    setUp(parser);
    parser.setApplicationDescription(wrap(parser.applicationDescription(), 79));
}

QString Command::wrap(const QString& text, int width) {
    QStringList lines;
    for (const QString& paragraph : text.split(QLatin1Char('\n'))) {
        // Indented lines are examples: they stay as they are.
        if (paragraph.startsWith(QLatin1Char(' ')) || paragraph.size() <= width) {
            lines << paragraph;
            continue;
        }
        QString line;
        for (const QString& word : paragraph.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            if (!line.isEmpty() && line.size() + 1 + word.size() > width) {
                lines << line;
                line.clear();
            }
            line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
        }
        lines << line;
    }
    return lines.join(QLatin1Char('\n'));
}

QString Command::helpText() {
    QCommandLineParser parser;
    prepare(parser);
    // Qt names the program by its path; the user typed `trel COMMAND`.
    QString text = parser.helpText();
    const int end = text.indexOf(QLatin1Char('\n'));
    QString usage = text.left(end);
    const int options = usage.indexOf(QLatin1String(" [options]"));
    if (options >= 0)
        usage = QStringLiteral("Usage: ") + usagePrefix() + usage.mid(options);
    text = usage + text.mid(end);
    if (!text.endsWith(QLatin1Char('\n')))
        text += QLatin1Char('\n');
    return text;
}

int Command::execute(const QStringList& arguments) {
    QCommandLineParser parser;
    prepare(parser);
    if (!parser.parse(QStringList{usagePrefix()} + arguments))
        throw usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        out(helpText());
        return 0;
    }
    m_verbose = parser.isSet(QString::fromLatin1(VerboseOption));
    ToolLog::setVerbose(m_verbose);
    return run(parser);
}

QStringList Command::positionals(const QCommandLineParser& parser, const QStringList& names,
                                 int optional) const {
    const QStringList given = parser.positionalArguments();
    const int required = names.size() - optional;
    if (given.size() < required)
        throw usageError(QStringLiteral("missing %1").arg(names.at(given.size())));
    if (given.size() > names.size())
        throw usageError(QStringLiteral("unexpected argument '%1'").arg(given.at(names.size())));
    for (const QString& value : given) {
        if (value.isEmpty())
            throw usageError(QStringLiteral("an argument is empty"));
    }
    return given;
}

ToolError Command::usageError(const QString& message) const {
    QString text = message.simplified();
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return ToolError(
        QStringLiteral("%1: %2; see `%3 --help`").arg(usagePrefix().mid(5), text, usagePrefix()));
}

void Command::out(const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}
