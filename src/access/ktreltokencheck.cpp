#include <trel/ktrel.h>
#include <trel/ktreltoken.h>

#include <kolv/kexception.h>

#include <QStringList>

bool KTrel::isTokenOK(const QString& tokenName, QString& allowedHosts, qint64& ttl,
                      KDebug::StreamId stream) {
    try {
        KTrelToken token;
        QSharedPointer<KDbConnHelper> connection = doGetDatabaseConnection();
        token.loadByName(connection, tokenName.toLocal8Bit(), stream);
        if (!token.isValid(connection, stream))
            return false;
        if (!token.isUrlMatches(request.getUrl(), stream))
            return false;
        ttl = token.getTtl();
        allowedHosts = QString::fromUtf8(token.getAllowedHosts());
        ownerHash = KTrelToken::ownerHash(token.getTokenId());
        return true;
    } catch (const KException&) {
        return false;
    }
}

KTrelToken KTrel::validToken(const QString& tokenName, KDebug::StreamId stream) {
    try {
        KTrelToken token;
        QSharedPointer<KDbConnHelper> connection = doGetDatabaseConnection();
        token.loadByName(connection, tokenName.toLocal8Bit(), stream);
        if (token.isValid(connection, stream))
            return token;
    } catch (const KException&) {
    }
    return KTrelToken();
}

QString KTrel::createAllowedHostsValue(KDebug::StreamId stream) {
    QSharedPointer<KDbConnHelper> connection = doGetDatabaseConnection();
    const std::list<KTrelToken> tokens = KTrelToken::loadAllTokens(connection, stream);
    QStringList hosts;
    for (const KTrelToken& token : tokens) {
        if (token.isValid(connection, stream))
            hosts += QString::fromUtf8(token.getAllowedHosts()).split(QLatin1Char(','));
    }
    QString value;
    for (const QString& host : qAsConst(hosts))
        value += host + QLatin1Char(',');
    if (!value.isEmpty())
        value.chop(1);
    return value;
}
