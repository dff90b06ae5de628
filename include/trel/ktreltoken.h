#ifndef TREL_KTRELTOKEN_H
#define TREL_KTRELTOKEN_H

#include <trel/kdbconnhelper.h>
#include <trel/trel_export.h>

#include <kolv/kdebug.h>

#include <QByteArray>
#include <QSharedPointer>
#include <QString>

#include <list>

class QSqlRecord;

// One access token, a row of trel_tokens read by position: id, token name, allowed
// hosts, TTL (absolute expiry, seconds since the epoch), base URL. A token is OK when
// its id is not -1. The operations that read the database throw KException when a
// statement fails.
class TREL_EXPORT KTrelToken {
public:
    KTrelToken();
    KTrelToken(const KTrelToken& other);
    KTrelToken& operator=(const KTrelToken& other);
    ~KTrelToken();

    const long long& getId() const { return id; }
    void setId(const long long& value) { id = value; }
    const QByteArray& getTokenId() const { return tokenId; }
    void setTokenId(const QByteArray& value) { tokenId = value; }
    const QByteArray& getAllowedHosts() const { return allowedHosts; }
    void setAllowedHosts(const QByteArray& value) { allowedHosts = value; }
    long long getTtl() const { return ttl; }
    void setTtl(long long value) { ttl = value; }
    const QByteArray& getBaseUrl() const { return baseUrl; }
    void setBaseUrl(const QByteArray& value) { baseUrl = value; }

    bool isOk() const;
    void loadByName(QSharedPointer<KDbConnHelper> connection, const QByteArray& name,
                    KDebug::StreamId stream);
    bool isValid(QSharedPointer<KDbConnHelper> connection, KDebug::StreamId stream) const;
    bool isUrlMatches(const QString& url, KDebug::StreamId stream) const;
    QString toString() const;
    // What a stored request keeps of the token that admitted it (trel_request_owners):
    // the SHA-256 of the name, so that the database never holds a name it could be
    // read back from.
    static QByteArray ownerHash(const QByteArray& name);
    static std::list<KTrelToken> loadAllTokens(QSharedPointer<KDbConnHelper> connection,
                                               KDebug::StreamId stream);

private:
    explicit KTrelToken(const QSqlRecord& record);

    long long id;
    QByteArray tokenId;
    QByteArray allowedHosts;
    long long ttl;
    QByteArray baseUrl;
};

#endif
