#ifndef TREL_TEST_ACCESSTABLES_H
#define TREL_TEST_ACCESSTABLES_H

// Rows and tables for the access tests: tokens and user-agent patterns written into the
// installation's real tables (or into replacement tables of a test's own shape), and the
// clock the library reads for token expiry.

#include "support/testinstallation.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QSqlQuery>
#include <QVariant>

#include <functional>
#include <ostream>

// Readable failure messages for texts and lists of texts.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace access_test {

// Empty text, stored as such (a null QString would be stored as NULL).
const QString Empty = QStringLiteral("");

// A far-future expiry (2040), valid on every clock these tests meet.
const qint64 Year2040 = 2208988800LL;

inline bool insertToken(TestInstallation& inst, qint64 id, const QVariant& name,
                        const QVariant& allowedHosts, const QVariant& ttl,
                        const QVariant& baseUrl) {
    return inst.exec(QStringLiteral("INSERT INTO trel_tokens (id, token_id, allowed_hosts, ttl, "
                                    "base_url) VALUES (?, ?, ?, ?, ?)"),
                     {id, name, allowedHosts, ttl, baseUrl});
}

inline bool insertAgent(TestInstallation& inst, int id, const QVariant& label,
                        const QVariant& pattern) {
    return inst.exec(QStringLiteral("INSERT INTO trel_user_agent (id, user_agent, extra, "
                                    "agent_string) VALUES (?, ?, '', ?)"),
                     {id, label, pattern});
}

// Replaces `table` with one of the given columns, written for each database.
inline bool replaceTable(TestInstallation& inst, const QString& table, const QString& sqlite,
                         const QString& mysql) {
    const QString columns = inst.backend() == Backend::Sqlite ? sqlite : mysql;
    return inst.exec(QStringLiteral("DROP TABLE %1").arg(table)) &&
           inst.exec(QStringLiteral("CREATE TABLE %1 (%2)").arg(table, columns));
}

// The current time as the library reads it: the server's clock on MySQL, the local
// clock on SQLite.
inline qint64 libraryNow(TestInstallation& inst) {
    if (inst.backend() == Backend::MySql)
        return inst.scalar(QStringLiteral("SELECT UNIX_TIMESTAMP()")).toLongLong();
    return QDateTime::currentSecsSinceEpoch();
}

// Runs `attempt(now)` until the clock shows the same second before and after it, so
// that whatever the library read during the attempt was `now`. Assert on what the last
// attempt recorded, and only when this returned true.
inline bool withinOneSecond(TestInstallation& inst, const std::function<void(qint64)>& attempt) {
    for (int i = 0; i < 20; ++i) {
        const qint64 before = libraryNow(inst);
        attempt(before);
        if (libraryNow(inst) == before)
            return true;
    }
    ADD_FAILURE() << "the clock moved during every attempt";
    return false;
}

} // namespace access_test

#endif
