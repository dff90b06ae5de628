#include "checkcommand.h"

#include "agentcommand.h"
#include "format.h"
#include "installation.h"
#include "installationaccess.h"
#include "toolerror.h"
#include "toollog.h"

#include <trel/ktrel.h>

#include <QDateTime>
#include <QUrl>
#include <QVariant>

namespace {

// The text after `marker` up to `end` (or the end of the line).
QString between(const QString& line, const QString& marker, const QString& end = QString()) {
    const int start = line.indexOf(marker);
    if (start < 0)
        return QString();
    const int from = start + marker.size();
    const int to = end.isEmpty() ? -1 : line.indexOf(end, from);
    return (to < 0 ? line.mid(from) : line.mid(from, to - from)).trimmed();
}

} // namespace

QString CheckCommand::summary() const {
    return QStringLiteral(
        "Ask the host's access question for one request: admitted or refused, and why.");
}

void CheckCommand::setUp(QCommandLineParser& parser) {
    parser.setApplicationDescription(QStringLiteral(
        "Takes the decision the host takes for a request: its browser's user agent must match a "
        "pattern, and the token it presents must exist, be unexpired and cover the URL. Prints "
        "'admitted' or 'refused' with the reasons; exits 0 when admitted, 1 when refused."));
    parser.addPositionalArgument(QStringLiteral("ROOT"),
                                 QStringLiteral("The installation's folder."));
    parser.addOption({QStringLiteral("token"),
                      QStringLiteral("The token the browser presents (empty: none)."),
                      QStringLiteral("NAME")});
    parser.addOption(
        {QStringLiteral("url"), QStringLiteral("The request's URL."), QStringLiteral("URL")});
    parser.addOption({QStringLiteral("agent"), QStringLiteral("The browser's User-Agent text."),
                      QStringLiteral("TEXT")});
    parser.addOption({QStringLiteral("farm"),
                      QStringLiteral("This web server is one of several behind a load balancer: "
                                     "warns when the installation cannot serve the bar there.")});
}

int CheckCommand::run(QCommandLineParser& parser) {
    const QString root = positionals(parser, {QStringLiteral("ROOT")}).at(0);
    for (const char* option : {"token", "url", "agent"}) {
        if (!parser.isSet(QString::fromLatin1(option)))
            throw usageError(QStringLiteral("--%1 is required").arg(QString::fromLatin1(option)));
    }
    const QString tokenName = parser.value(QStringLiteral("token"));
    const QString urlText = parser.value(QStringLiteral("url")).trimmed();
    const QString agent = parser.value(QStringLiteral("agent"));
    const QUrl url(urlText, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() ||
        (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")))
        throw usageError(
            QStringLiteral("--url wants an http or https URL with a host, not '%1'").arg(urlText));

    InstallationAccess access(root);
    KTrel* trel = KTrel::instance();
    ToolLog::startCapture(4);
    trel->initialize(access.settings(), KDebug::StreamId(ToolLog::Stream));
    const QList<ToolLog::Line> loading = ToolLog::captured();
    trel->reset();
    trel->setRequest(urlText);
    const bool agentAllowed = trel->isAgentAllowed(agent);
    bool tokenOk = false;
    QString allowedHosts;
    qint64 ttl = 0;
    ToolLog::startCapture(4);
    if (!tokenName.isEmpty())
        tokenOk = trel->isTokenOK(tokenName, allowedHosts, ttl, KDebug::StreamId(ToolLog::Stream));
    const QList<ToolLog::Line> tokenLines = ToolLog::captured();
    ToolLog::stopCapture();
    KTrel::release();
    const bool admitted = agentAllowed && tokenOk;

    // Why, in the words of the rules: which pattern admitted the agent, what was wrong
    // with the token.
    QString agentReason;
    QSqlQuery patterns = access.run(
        QStringLiteral("reading the patterns"),
        QStringLiteral("SELECT id, user_agent, agent_string FROM trel_user_agent ORDER BY id"));
    int patternCount = 0;
    while (patterns.next()) {
        ++patternCount;
        KTrel::UserAgentEntry entry = AgentCommand::entry(
            patterns.value(0).toInt(), patterns.value(1).toString(), patterns.value(2).toString());
        const bool valid = !patterns.value(2).isNull() && entry.compile();
        if (agentAllowed && agentReason.isEmpty() && valid && entry.matches(agent.trimmed()))
            agentReason = QStringLiteral("admitted by pattern %1 '%2' (%3)")
                              .arg(QString::number(entry.getId()), entry.getUserAgent(),
                                   entry.getAgentString());
    }
    if (agentReason.isEmpty()) {
        if (agentAllowed)
            agentReason = QStringLiteral("admitted");
        else if (agent.trimmed().isEmpty())
            agentReason = QStringLiteral("refused: the user agent is empty");
        else if (patternCount == 0)
            agentReason = QStringLiteral(
                "refused: there is no user-agent pattern (`trel agent add` adds one)");
        else
            agentReason = patternCount == 1
                              ? QStringLiteral("refused: it does not match the only pattern")
                              : QStringLiteral("refused: it matches none of the %1 patterns")
                                    .arg(patternCount);
        int invalid = 0;
        for (const ToolLog::Line& line : loading) {
            if (line.level == 1 &&
                line.text.contains(QLatin1String("contains an invalid agent patter:")))
                ++invalid;
        }
        if (invalid > 0)
            agentReason +=
                QStringLiteral(" (%1 invalid pattern%2 skipped)")
                    .arg(QString::number(invalid), invalid == 1 ? QString() : QStringLiteral("s"));
    }

    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QString tokenReason;
    if (tokenName.isEmpty()) {
        tokenReason = QStringLiteral("refused: no token presented");
    } else if (tokenOk) {
        tokenReason =
            QStringLiteral(
                "admitted: '%1' is valid until %2 (%3) and covers the URL; allowed hosts: %4")
                .arg(tokenName, Format::utcSeconds(ttl), Format::relative(ttl, now),
                     allowedHosts.isEmpty() ? QStringLiteral("none") : allowedHosts);
    } else {
        QStringList why;
        bool expired = false;
        for (const ToolLog::Line& line : tokenLines) {
            const QString& text = line.text;
            if (text.startsWith(QLatin1String("Trel: could not find token with ID:")))
                why << QStringLiteral("there is no token named '%1'").arg(tokenName);
            else if (text.startsWith(QLatin1String("Trel: Token '")) &&
                     text.endsWith(QLatin1String("expired")))
                expired = true;
            else if (text.startsWith(
                         QLatin1String("Token URL and current URL are not for the same host.")))
                why << QStringLiteral("the URL's host '%1' is not the token's host '%2'")
                           .arg(between(text, QStringLiteral("Current host:")),
                                between(text, QStringLiteral("Token host:"),
                                        QStringLiteral("Current host:")));
            else if (text.startsWith(
                         QLatin1String("Token path and current URL path do not match.")))
                why << QStringLiteral("the URL's path '%1' is not under the token's path '%2'")
                           .arg(between(text, QStringLiteral("Current path:")),
                                between(text, QStringLiteral("Token path:"),
                                        QStringLiteral("Current path:")));
        }
        QSqlQuery token = access.run(
            QStringLiteral("reading the token"),
            QStringLiteral("SELECT ttl FROM trel_tokens WHERE token_id = ?"), {tokenName});
        if (token.next()) {
            const qint64 expiry = token.value(0).toLongLong();
            if (expired || expiry <= now)
                why.prepend(
                    QStringLiteral("'%1' expired at %2 (%3)")
                        .arg(tokenName, Format::utcSeconds(expiry), Format::relative(expiry, now)));
        }
        if (why.isEmpty())
            why << QStringLiteral(
                "the token could not be checked (run with --verbose for the library's log)");
        tokenReason = QStringLiteral("refused: ") + why.join(QStringLiteral("; "));
    }

    QString text =
        admitted ? QStringLiteral("admitted: the host collects this request and shows the bar\n")
                 : QStringLiteral("refused: the host collects nothing of this request\n");
    text += QStringLiteral("  url         %1\n").arg(urlText);
    text += QStringLiteral("  user agent  %1\n").arg(agentReason);
    text += QStringLiteral("  token       %1\n").arg(tokenReason);
    QStringList missing = access.missingParts();
    if (missing.removeAll(QStringLiteral("table trel_generation")) > 0)
        text += QStringLiteral("  database    lacks table trel_generation: PHP workers of other "
                               "web servers sharing this database notice a token or pattern "
                               "changed here only after a restart; `trel init %1` adds it\n")
                    .arg(access.shownRoot());
    if (!missing.isEmpty())
        text += QStringLiteral("  database    lacks %1: the bar's views read the whole table, and "
                               "no token sees the requests it admits; `trel init %2` adds them\n")
                    .arg(missing.join(QStringLiteral(", ")), access.shownRoot());
    if (access.isMySql()) {
        const QStringList keyless = Installation::tablesWithoutPrimaryKey(access.db());
        if (!keyless.isEmpty())
            text += QStringLiteral("  schema      warning: %1 without a primary key (a Galera "
                                   "cluster refuses them, replicas delete slowly); `trel init "
                                   "--force` with the installation's --mysql arguments adds "
                                   "it\n")
                        .arg(keyless.join(QStringLiteral(", ")));
    }
    if (parser.isSet(QStringLiteral("farm")) && !access.isMySql())
        text += QStringLiteral(
            "  farm        warning: this SQLite installation holds only the requests this server "
            "served; behind a load balancer the bar asks whichever server the balancer picks, "
            "which finds nothing of a page another one served; run `trel init ROOT --mysql ...` "
            "with the same database on every server\n");
    if (admitted)
        text += QStringLiteral(
            "  functions   counted only where PHP runs the extension with trel.function_stats "
            "= 1 (off by default: when on, PHP's observer runs on every request, collected or "
            "not); at most trel.function_stats_limit functions (100) are stored, the rest as "
            "one row\n");
    out(text);
    return admitted ? 0 : 1;
}
