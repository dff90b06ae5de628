#include <trel/ktreltoken.h>

#include "access/urlpath.h"
#include "core/ktrellog.h"
#include "storage/ksafesqlquery.h"

#include <QDateTime>
#include <QSqlRecord>
#include <QUrl>
#include <QVariant>

namespace {
QString text(const QByteArray& bytes) { return QString::fromUtf8(bytes); }
} // namespace

KTrelToken::KTrelToken() : id(-1), ttl(0) {}

KTrelToken::KTrelToken(const KTrelToken& other) = default;

KTrelToken& KTrelToken::operator=(const KTrelToken& other) = default;

KTrelToken::~KTrelToken() = default;

// The TTL is read in 64 bits, so that expiry times beyond January 2038 hold.
KTrelToken::KTrelToken(const QSqlRecord& record)
    : id(record.value(0).toLongLong()), tokenId(record.value(1).toByteArray()),
      allowedHosts(record.value(2).toByteArray()), ttl(record.value(3).toLongLong()),
      baseUrl(record.value(4).toByteArray()) {}

bool KTrelToken::isOk() const { return id != -1; }

void KTrelToken::loadByName(QSharedPointer<KDbConnHelper> connection, const QByteArray& name,
                            KDebug::StreamId stream) {
    KSafeSqlQuery query(connection->database());
    query.prepare(QStringLiteral("select * from trel_tokens where token_id=:token_id"));
    // The whole name is bound, zero bytes included, so that a name is never cut short
    // into another token's name.
    query.bindValue(QStringLiteral(":token_id"), QVariant(text(name)));
    query.exec(stream, 3);
    trelLog(stream, 4) << query.executedQuery() << kflush;
    if (query.next()) {
        *this = KTrelToken(query.record());
        trelLog(stream, 4) << "Trel: loaded token '" << tokenId << "' from the database:" << kflush;
        trelLog(stream, 4) << toString() << kflush;
    } else {
        trelLog(stream, 4) << "Trel: could not find token with ID: '" << name << "'" << kflush;
    }
}

bool KTrelToken::isValid(QSharedPointer<KDbConnHelper> connection,
                         KDebug::StreamId stream) const {
    qint64 now = QDateTime::currentSecsSinceEpoch();
    if (connection->isMySQL()) {
        KSafeSqlQuery query(connection->database());
        query.prepare(QStringLiteral("SELECT UNIX_TIMESTAMP()"));
        query.exec(stream, 3);
        if (query.next())
            now = query.value(0).toLongLong();
    }
    if (!isOk()) {
        trelLog(stream, 4) << "Trel: Invalid Token. Permission denied" << kflush;
    } else if (now > ttl) {
        trelLog(stream, 4) << "Trel: Current Time is: '" << static_cast<long long>(now)
                           << "' token TTL is '" << static_cast<long long>(ttl) << "'" << kflush;
        trelLog(stream, 4) << "Trel: Token '" << tokenId << "' expired" << kflush;
    }
    return isOk() && now < ttl;
}

bool KTrelToken::isUrlMatches(const QString& url, KDebug::StreamId stream) const {
    const QUrl tokenUrl(text(baseUrl), QUrl::TolerantMode);
    const QUrl requestUrl(url, QUrl::TolerantMode);
    trelLog(stream, 4) << "Trel: comapring URLs. Request URL is:" << requestUrl.toString()
                       << ". Token URL:" << tokenUrl.toString() << kflush;
    if (tokenUrl.isEmpty())
        return true;

    bool matches = true;
    if (tokenUrl.host() != requestUrl.host()) {
        trelLog(stream, 3) << "Token URL and current URL are not for the same host. Token host:"
                           << tokenUrl.host() << "Current host:" << requestUrl.host() << kflush;
        matches = false;
    }
    // The path the web server will serve: a token for /shop must not admit /shop/../admin.
    const QString tokenPath = tokenUrl.path();
    const QString requestPath = resolveDotSegments(requestUrl.path());
    if (!requestPath.startsWith(tokenPath, Qt::CaseSensitive)) {
        trelLog(stream, 3) << "Token path and current URL path do not match. Token path:"
                           << tokenPath << "Current path:" << requestPath << kflush;
        matches = false;
    }
    return matches;
}

QString KTrelToken::toString() const {
    return QStringLiteral("id=%1. token-id='%2'. allowed-hosts='%3'. ttl=%4. base-url=%5")
        .arg(QString::number(id), text(tokenId), text(allowedHosts), QString::number(ttl),
             text(baseUrl));
}

std::list<KTrelToken> KTrelToken::loadAllTokens(QSharedPointer<KDbConnHelper> connection,
                                                KDebug::StreamId stream) {
    std::list<KTrelToken> tokens;
    KSafeSqlQuery query(connection->database());
    query.prepare(QStringLiteral("select * from trel_tokens"));
    query.exec(stream, 3);
    while (query.next())
        tokens.push_back(KTrelToken(query.record()));
    return tokens;
}
