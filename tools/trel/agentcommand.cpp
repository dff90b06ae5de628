#include "agentcommand.h"

#include "argumentcheck.h"
#include "format.h"
#include "installationaccess.h"
#include "requestgenerator.h"
#include "toolerror.h"

#include <QSqlField>
#include <QSqlRecord>
#include <QVariant>

KTrel::UserAgentEntry AgentCommand::entry(int id, const QString& label, const QString& pattern) {
    QSqlRecord record;
    const char* names[] = {"id", "user_agent", "extra", "agent_string"};
    const QVariant values[] = {QVariant(id), QVariant(label), QVariant(QString()),
                               QVariant(pattern)};
    for (int i = 0; i < 4; ++i) {
        QSqlField field(QString::fromLatin1(names[i]), values[i].metaType());
        field.setValue(values[i]);
        record.append(field);
    }
    KTrel::UserAgentEntry compiled(record);
    compiled.compile();
    return compiled;
}

QString AgentCommand::summary() const {
    return QStringLiteral("Add, list or remove user-agent patterns.");
}

QString AgentCommand::usagePrefix() const {
    return QStringLiteral("trel agent");
}

void AgentCommand::setUp(QCommandLineParser& parser) {
    parser.setApplicationDescription(QStringLiteral(
        "User-agent patterns decide which browsers may have their requests collected: a "
        "browser is admitted when a pattern (a regular expression, case-insensitive) matches "
        "anywhere in its User-Agent. With no pattern, no browser is. Running PHP workers "
        "follow a change at their next request with a token (the command writes "
        "ROOT/data/trel.stamp afresh for them).\n\n"
        "  trel agent add ROOT LABEL PATTERN\n"
        "  trel agent list ROOT\n"
        "  trel agent remove ROOT ID\n\n"
        "PATTERN example: Mozilla (every common browser), Firefox/, ^curl/"));
    parser.addPositionalArgument(QStringLiteral("ACTION"), QStringLiteral("add, list or remove."),
                                 QStringLiteral("add|list|remove"));
    parser.addPositionalArgument(QStringLiteral("ROOT"),
                                 QStringLiteral("The installation's folder."));
    parser.addPositionalArgument(QStringLiteral("ARGS"),
                                 QStringLiteral("add: LABEL PATTERN; remove: the pattern's ID."),
                                 QStringLiteral("[LABEL PATTERN | ID]"));
}

int AgentCommand::run(QCommandLineParser& parser) {
    const QString action = parser.positionalArguments().value(0);
    if (action == QLatin1String("add"))
        return add(positionals(parser, {QStringLiteral("ACTION"), QStringLiteral("ROOT"),
                                        QStringLiteral("LABEL"), QStringLiteral("PATTERN")}));
    if (action == QLatin1String("list")) {
        const QStringList arguments =
            positionals(parser, {QStringLiteral("ACTION"), QStringLiteral("ROOT")});
        InstallationAccess access(arguments.at(1));
        return list(access);
    }
    if (action == QLatin1String("remove")) {
        const QStringList arguments = positionals(
            parser, {QStringLiteral("ACTION"), QStringLiteral("ROOT"), QStringLiteral("ID")});
        qint64 id = 0;
        if (!ArgumentCheck::wholeNumber(arguments.at(2), 1, 0x7fffffff, &id))
            throw usageError(
                QStringLiteral("ID wants the pattern's id from `trel agent list`, not '%1'")
                    .arg(arguments.at(2)));
        InstallationAccess access(arguments.at(1));
        return remove(access, QString::number(id));
    }
    throw usageError(action.isEmpty()
                         ? QStringLiteral("missing the action (add, list or remove)")
                         : QStringLiteral("unknown action '%1' (add, list or remove)").arg(action));
}

int AgentCommand::add(const QStringList& arguments) {
    const QString label = arguments.at(2).trimmed();
    const QString pattern = arguments.at(3);
    if (label.isEmpty())
        throw usageError(QStringLiteral("the label is empty"));
    if (pattern.trimmed().isEmpty())
        throw usageError(
            QStringLiteral("the pattern is empty and would admit every browser; give '.' "
                           "if that is meant"));
    const KTrel::UserAgentEntry compiled = entry(0, label, pattern);
    QRegExp check(pattern, Qt::CaseInsensitive, QRegExp::RegExp);
    if (!check.isValid())
        throw usageError(QStringLiteral("the pattern '%1' is not a valid regular expression (%2)")
                             .arg(pattern, check.errorString()));

    InstallationAccess access(arguments.at(1));
    access.beginChange();
    const QSqlQuery inserted = access.run(
        QStringLiteral("adding the pattern"),
        QStringLiteral(
            "INSERT INTO trel_user_agent (user_agent, extra, agent_string) VALUES (?, ?, ?)"),
        {label, QStringLiteral(""), pattern});
    const qint64 id = inserted.lastInsertId().toLongLong();
    access.markChanged(QStringLiteral("adding pattern %1").arg(id));
    int admitted = 0;
    const QStringList browsers = RequestGenerator::browsers();
    for (const QString& browser : browsers) {
        if (compiled.matches(browser))
            ++admitted;
    }
    out(QStringLiteral(
            "added user-agent pattern %1 '%2' to %3: %4 (it admits %5 of the %6 browsers "
            "`trel simulate` plays)\n")
            .arg(QString::number(id), label, access.shownRoot(), pattern, QString::number(admitted),
                 QString::number(browsers.size())));
    return 0;
}

int AgentCommand::list(InstallationAccess& access) {
    QSqlQuery query = access.run(
        QStringLiteral("reading the patterns"),
        QStringLiteral("SELECT id, user_agent, agent_string FROM trel_user_agent ORDER BY id"));
    QString text;
    int count = 0;
    while (query.next()) {
        ++count;
        const QString label = query.value(1).toString();
        const QString pattern = query.value(2).toString();
        const bool valid = !query.value(2).isNull() && entry(0, label, pattern).compile();
        text +=
            QStringLiteral("%1  %2  %3%4\n")
                .arg(Format::right(QString::number(query.value(0).toLongLong()), 4), label, pattern,
                     valid ? QString() : QStringLiteral("  (INVALID: the collector skips it)"));
    }
    if (count == 0)
        text = QStringLiteral(
                   "no user-agent pattern in %1, so no browser is admitted; add one with `trel "
                   "agent add %1 LABEL PATTERN`\n")
                   .arg(access.shownRoot());
    out(text);
    return 0;
}

int AgentCommand::remove(InstallationAccess& access, const QString& id) {
    access.beginChange();
    QSqlQuery query =
        access.run(QStringLiteral("removing the pattern"),
                   QStringLiteral("DELETE FROM trel_user_agent WHERE id = ?"), {id.toLongLong()});
    if (query.numRowsAffected() < 1)
        throw ToolError(
            QStringLiteral(
                "%1 has no user-agent pattern with id %2; `trel agent list %1` lists them")
                .arg(access.shownRoot(), id));
    access.markChanged(QStringLiteral("removing pattern %1").arg(id));
    out(QStringLiteral("removed user-agent pattern %1 from %2\n").arg(id, access.shownRoot()));
    return 0;
}
