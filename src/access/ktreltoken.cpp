#include <trel/ktreltoken.h>

#include "access/urlpath.h"
#include "core/ktrellog.h"
#include "storage/ksafesqlquery.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QSqlRecord>
#include <QUrl>
#include <QVariant>

#include <cmath>

namespace {

QString text(const QByteArray& bytes) {
    return QString::fromUtf8(bytes);
}

bool readInteger(const QVariant& value, qint64* result) {
    if (value.isNull())
        return false;
    if (value.typeId() == QMetaType::Double || value.typeId() == QMetaType::Float) {
        // Out of range, a double has no defined conversion to 64 bits.
        const double number = value.toDouble();
        if (!std::isfinite(number) || std::fabs(number) >= 9.2e18)
            return false;
    }
    bool ok = false;
    *result = value.toLongLong(&ok);
    return ok;
}

// A row that is not a token as this library reads it: missing columns, a NULL, or an id
// or TTL that is no integer. Read anyway, it would pass for a token (a missing or NULL
// base URL reads as the empty one, which admits every URL), so such a row is refused.
bool rowFits(const QSqlRecord& record) {
    if (record.count() < 5)
        return false;
    for (int i = 0; i < 5; ++i) {
        if (record.isNull(i))
            return false;
    }
    qint64 number = 0;
    return readInteger(record.value(0), &number) && readInteger(record.value(3), &number);
}

// Names the row by its id only: the other columns hold the token's name, a secret.
void logMisfit(KDebug::StreamId stream, const QSqlRecord& record) {
    const QString id = record.isNull(0) ? QStringLiteral("NULL") : record.value(0).toString();
    trelLog(stream, 1) << "Trel: a row of trel_tokens is not a valid token, refused. id:" << id
                       << "columns:" << record.count() << kflush;
}

} // namespace

KTrelToken::KTrelToken() : id(-1), ttl(0) {}

KTrelToken::KTrelToken(const KTrelToken& other) = default;

KTrelToken& KTrelToken::operator=(const KTrelToken& other) = default;

KTrelToken::~KTrelToken() = default;

// The TTL is read in 64 bits, so that expiry times beyond January 2038 hold. A row that
// does not fit gives a token that is not OK.
KTrelToken::KTrelToken(const QSqlRecord& record)
    : id(-1), tokenId(record.value(1).toByteArray()), allowedHosts(record.value(2).toByteArray()),
      ttl(0), baseUrl(record.value(4).toByteArray()) {
    if (rowFits(record)) {
        id = record.value(0).toLongLong();
        ttl = record.value(3).toLongLong();
    }
}

bool KTrelToken::isOk() const {
    return id != -1;
}

void KTrelToken::loadByName(QSharedPointer<KDbConnHelper> connection, const QByteArray& name,
                            KDebug::StreamId stream) {
    KSafeSqlQuery query(connection->database());
    query.prepare(QStringLiteral("select * from trel_tokens where token_id=:token_id"));
    // The whole name is bound, zero bytes included, so that a name is never cut short
    // into another token's name.
    query.bindValue(QStringLiteral(":token_id"), QVariant(text(name)));
    query.exec(stream, 3);
    trelLog(stream, 4) << query.executedQuery() << kflush;
    // Names are bytes: a table whose column compares case-insensitively or ignores
    // trailing blanks must still not hand out "tok" for "TOK" or "tok ".
    while (query.next()) {
        const QSqlRecord record = query.record();
        if (record.value(1).toByteArray() != name)
            continue;
        if (!rowFits(record)) {
            logMisfit(stream, record);
            *this = KTrelToken();
            return;
        }
        *this = KTrelToken(record);
        trelLog(stream, 4) << "Trel: loaded token '" << tokenId << "' from the database:" << kflush;
        trelLog(stream, 4) << toString() << kflush;
        return;
    }
    trelLog(stream, 4) << "Trel: could not find token with ID: '" << name << "'" << kflush;
}

bool KTrelToken::isValid(QSharedPointer<KDbConnHelper> connection, KDebug::StreamId stream) const {
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
    // An invalid URL keeps no host: two of them would pass the host test with "" == "".
    if (!tokenUrl.isValid() || !requestUrl.isValid()) {
        trelLog(stream, 3) << "Token URL or current URL is not a valid URL. Token URL:"
                           << text(baseUrl) << "Current URL:" << url << kflush;
        return false;
    }

    bool matches = true;
    if (tokenUrl.host() != requestUrl.host()) {
        trelLog(stream, 3) << "Token URL and current URL are not for the same host. Token host:"
                           << tokenUrl.host() << "Current host:" << requestUrl.host() << kflush;
        matches = false;
    }
    // The path the web server will serve: a token for /shop must not admit /shop/../admin,
    // whichever way the server reads encoded slashes and backslashes.
    const QString tokenPath = tokenUrl.path();
    const QStringList requestPaths = servedPathReadings(requestUrl.path(QUrl::FullyEncoded));
    for (const QString& requestPath : requestPaths) {
        if (!requestPath.startsWith(tokenPath, Qt::CaseSensitive)) {
            trelLog(stream, 3) << "Token path and current URL path do not match. Token path:"
                               << tokenPath << "Current path:" << requestPath << kflush;
            matches = false;
            break;
        }
    }
    return matches;
}

QString KTrelToken::toString() const {
    return QStringLiteral("id=%1. token-id='%2'. allowed-hosts='%3'. ttl=%4. base-url=%5")
        .arg(QString::number(id), text(tokenId), text(allowedHosts), QString::number(ttl),
             text(baseUrl));
}

QByteArray KTrelToken::ownerHash(const QByteArray& name) {
    return QCryptographicHash::hash(name, QCryptographicHash::Sha256);
}

std::list<KTrelToken> KTrelToken::loadAllTokens(QSharedPointer<KDbConnHelper> connection,
                                                KDebug::StreamId stream) {
    std::list<KTrelToken> tokens;
    KSafeSqlQuery query(connection->database());
    query.prepare(QStringLiteral("select * from trel_tokens"));
    query.exec(stream, 3);
    while (query.next()) {
        const QSqlRecord record = query.record();
        if (!rowFits(record))
            logMisfit(stream, record);
        tokens.push_back(KTrelToken(record));
    }
    return tokens;
}
