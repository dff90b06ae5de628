#include <trel/ktrel.h>

#include "core/ktrellog.h"
#include "storage/ksafesqlquery.h"

#include <kolv/kexception.h>

#include <QSqlRecord>

void KTrel::loadUserAgentTable() {
    trelLog(debugStream, 3) << "Trel: loading user-agent info from the db" << kflush;
    try {
        QSharedPointer<KDbConnHelper> connection = doGetDatabaseConnection();
        KSafeSqlQuery query(connection->database());
        query.prepare(QStringLiteral("select * from trel_user_agent"));
        query.exec(debugStream, 3);
        while (query.next()) {
            const QSqlRecord record = query.record();
            UserAgentEntry entry(record);
            // A row without a pattern (too few columns, NULL or empty) is refused like an
            // invalid pattern: read as the empty expression, it would allow everything.
            const bool hasPattern =
                record.count() > 3 && !record.isNull(3) && !entry.getAgentString().isEmpty();
            if (hasPattern && entry.compile()) {
                trelLog(debugStream, 3) << "Trel: Loaded User-Agent:" << entry.toString() << kflush;
                userAgents.push_back(entry);
            } else {
                trelLog(debugStream, 1)
                    << "User-Agent entry:" << entry.getUserAgent()
                    << "contains an invalid agent patter:" << entry.getAgentString() << kflush;
            }
        }
        trelLog(debugStream, 3) << "Trel: loading user-agent info from the db.. completed"
                                << kflush;
    } catch (const KException& e) {
        trelLog(debugStream, 0) << "KTrel::loadUserAgentTable:" << e.what() << kflush;
    }
}

bool KTrel::isAgentAllowed(const QString& userAgent) const {
    const QString text = userAgent.trimmed();
    if (text.isEmpty())
        return false;
    for (const UserAgentEntry& entry : userAgents) {
        if (entry.matches(text))
            return true;
    }
    return false;
}
