#include "tokencommand.h"

#include "format.h"
#include "installationaccess.h"
#include "toolerror.h"
#include "ttlformat.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QUrl>
#include <QVariant>

namespace {

bool validName(const QString& name) {
    static const QRegularExpression form(QStringLiteral("^[A-Za-z0-9._~-]{1,200}$"));
    return form.match(name).hasMatch();
}

bool validHosts(const QString& hosts) {
    static const QRegularExpression host(
        QStringLiteral("^[A-Za-z0-9*]([A-Za-z0-9.*-]*[A-Za-z0-9])?(:[0-9]{1,5})?$"));
    for (const QString& piece : hosts.split(QLatin1Char(','))) {
        if (!host.match(piece).hasMatch())
            return false;
    }
    return true;
}

} // namespace

QString TokenCommand::summary() const {
    return QStringLiteral("Add, list or remove access tokens.");
}

QString TokenCommand::usagePrefix() const {
    return QStringLiteral("trel token");
}

void TokenCommand::setUp(QCommandLineParser& parser) {
    parser.setApplicationDescription(QStringLiteral(
        "Access tokens decide which browsers' requests are collected: a request is collected "
        "when its browser presents a token that exists, has not expired and whose base URL "
        "covers the request's URL: the same host, and a path that starts with the base path's "
        "text (a base path /shop also covers /shop-admin/ and /shopping; end it with / to "
        "cover one folder). The bar and the viewer show a token only the requests that it "
        "admitted itself.\n\n"
        "  trel token add ROOT NAME [--ttl T] [--base-url URL] [--allowed-hosts LIST]\n"
        "  trel token list ROOT\n"
        "  trel token remove ROOT NAME\n\n"
        "NAME: letters, digits and . _ ~ -"));
    parser.addPositionalArgument(QStringLiteral("ACTION"), QStringLiteral("add, list or remove."),
                                 QStringLiteral("add|list|remove"));
    parser.addPositionalArgument(QStringLiteral("ROOT"),
                                 QStringLiteral("The installation's folder."));
    parser.addPositionalArgument(QStringLiteral("NAME"),
                                 QStringLiteral("The token's name (add, remove)."),
                                 QStringLiteral("[NAME]"));
    parser.addOption({QStringLiteral("ttl"),
                      QStringLiteral("When the token expires: %1. Default: 24h.")
                          .arg(QString::fromLatin1(TtlFormat::Help)),
                      QStringLiteral("T"), QStringLiteral("24h")});
    parser.addOption({QStringLiteral("base-url"),
                      QStringLiteral("The http(s) URL whose host the requests must have and whose "
                                     "path text their paths must start with; without it the "
                                     "token covers every URL."),
                      QStringLiteral("URL")});
    parser.addOption({QStringLiteral("allowed-hosts"),
                      QStringLiteral("Comma-separated hosts handed to the host with the token "
                                     "(default: the base URL's host)."),
                      QStringLiteral("LIST")});
}

int TokenCommand::run(QCommandLineParser& parser) {
    const QStringList given = parser.positionalArguments();
    const QString action = given.value(0);
    if (action == QLatin1String("add")) {
        const QStringList arguments = positionals(
            parser, {QStringLiteral("ACTION"), QStringLiteral("ROOT"), QStringLiteral("NAME")});
        return add(parser, arguments);
    }
    if (action != QLatin1String("list") && action != QLatin1String("remove"))
        throw usageError(
            action.isEmpty()
                ? QStringLiteral("missing the action (add, list or remove)")
                : QStringLiteral("unknown action '%1' (add, list or remove)").arg(action));
    for (const char* option : {"ttl", "base-url", "allowed-hosts"}) {
        if (parser.isSet(QString::fromLatin1(option)))
            throw usageError(
                QStringLiteral("--%1 goes with `add`").arg(QString::fromLatin1(option)));
    }
    if (action == QLatin1String("list")) {
        const QStringList arguments =
            positionals(parser, {QStringLiteral("ACTION"), QStringLiteral("ROOT")});
        InstallationAccess access(arguments.at(1));
        return list(access);
    }
    const QStringList arguments = positionals(
        parser, {QStringLiteral("ACTION"), QStringLiteral("ROOT"), QStringLiteral("NAME")});
    InstallationAccess access(arguments.at(1));
    return remove(access, arguments.at(2));
}

int TokenCommand::add(QCommandLineParser& parser, const QStringList& arguments) {
    const QString name = arguments.at(2);
    if (!validName(name))
        throw usageError(
            QStringLiteral("the token name '%1' may hold only letters, digits and . _ ~ - "
                           "(at most 200)")
                .arg(name));
    qint64 ttl = 0;
    QString error;
    if (!TtlFormat::parse(parser.value(QStringLiteral("ttl")), QDateTime::currentSecsSinceEpoch(),
                          &ttl, &error))
        throw usageError(error);
    QString baseUrl;
    QString defaultHosts;
    if (parser.isSet(QStringLiteral("base-url"))) {
        baseUrl = parser.value(QStringLiteral("base-url")).trimmed();
        const QUrl url(baseUrl, QUrl::StrictMode);
        const bool web =
            url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
        if (!url.isValid() || !web || url.host().isEmpty() || url.hasQuery() || url.hasFragment() ||
            !url.userInfo().isEmpty())
            throw usageError(QStringLiteral("--base-url wants an http or https URL with a host and "
                                            "no query, like https://shop.example/app, not '%1'")
                                 .arg(baseUrl));
        defaultHosts = url.port() > 0
                           ? QStringLiteral("%1:%2").arg(url.host(), QString::number(url.port()))
                           : url.host();
    }
    const QString hosts = parser.isSet(QStringLiteral("allowed-hosts"))
                              ? parser.value(QStringLiteral("allowed-hosts")).trimmed()
                              : defaultHosts;
    if (!hosts.isEmpty() && !validHosts(hosts))
        throw usageError(
            QStringLiteral("--allowed-hosts wants host names separated by commas, like "
                           "shop.example,www.shop.example, not '%1'")
                .arg(hosts));

    InstallationAccess access(arguments.at(1));
    QSqlQuery existing =
        access.run(QStringLiteral("reading the tokens"),
                   QStringLiteral("SELECT COUNT(*) FROM trel_tokens WHERE token_id = ?"), {name});
    if (existing.next() && existing.value(0).toLongLong() > 0)
        throw ToolError(
            QStringLiteral("%1 already has a token named '%2'; remove it first with `trel "
                           "token remove %1 %2`")
                .arg(access.shownRoot(), name));
    // Texts are bound as text: the collector looks the name up as text, and on SQLite a
    // blob would never equal it.
    access.beginChange();
    access.run(
        QStringLiteral("adding the token"),
        QStringLiteral(
            "INSERT INTO trel_tokens (token_id, allowed_hosts, ttl, base_url) VALUES (?, ?, ?, ?)"),
        {name, hosts.isNull() ? QStringLiteral("") : hosts, QVariant(static_cast<qlonglong>(ttl)),
         baseUrl.isNull() ? QStringLiteral("") : baseUrl});
    access.markChanged(QStringLiteral("adding token '%1'").arg(name));
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    out(QStringLiteral("added token '%1' to %2: valid until %3 (%4), %5, allowed hosts: %6\n")
            .arg(name, access.shownRoot(), Format::utcSeconds(ttl), Format::relative(ttl, now),
                 baseUrl.isEmpty() ? QStringLiteral("covers every URL")
                                   : QStringLiteral("covers ") + baseUrl,
                 hosts.isEmpty() ? QStringLiteral("none") : hosts));
    return 0;
}

int TokenCommand::list(InstallationAccess& access) {
    QSqlQuery query = access.run(
        QStringLiteral("reading the tokens"),
        QStringLiteral(
            "SELECT id, token_id, ttl, base_url, allowed_hosts FROM trel_tokens ORDER BY id"));
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QString text;
    int count = 0;
    while (query.next()) {
        ++count;
        const qint64 ttl = query.value(2).toLongLong();
        const QString state = ttl > now
                                  ? QStringLiteral("valid until %1 (%2)")
                                        .arg(Format::utcSeconds(ttl), Format::relative(ttl, now))
                                  : QStringLiteral("EXPIRED %1 (%2)")
                                        .arg(Format::utcSeconds(ttl), Format::relative(ttl, now));
        const QString baseUrl = QString::fromUtf8(query.value(3).toByteArray());
        const QString hosts = QString::fromUtf8(query.value(4).toByteArray());
        text += QStringLiteral("%1  %2  %3\n      base URL: %4; allowed hosts: %5\n")
                    .arg(Format::right(QString::number(query.value(0).toLongLong()), 4),
                         QString::fromUtf8(query.value(1).toByteArray()), state,
                         baseUrl.isEmpty() ? QStringLiteral("none (every URL)") : baseUrl,
                         hosts.isEmpty() ? QStringLiteral("none") : hosts);
    }
    if (count == 0)
        text = QStringLiteral("no token in %1; add one with `trel token add %1 NAME`\n")
                   .arg(access.shownRoot());
    out(text);
    return 0;
}

int TokenCommand::remove(InstallationAccess& access, const QString& name) {
    access.beginChange();
    QSqlQuery query =
        access.run(QStringLiteral("removing the token"),
                   QStringLiteral("DELETE FROM trel_tokens WHERE token_id = ?"), {name});
    if (query.numRowsAffected() < 1)
        throw ToolError(
            QStringLiteral("%1 has no token named '%2'; `trel token list %1` lists them")
                .arg(access.shownRoot(), name));
    access.markChanged(QStringLiteral("removing token '%1'").arg(name));
    out(QStringLiteral("removed token '%1' from %2\n").arg(name, access.shownRoot()));
    return 0;
}
