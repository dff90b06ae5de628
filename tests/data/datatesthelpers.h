#ifndef TREL_TEST_DATATESTHELPERS_H
#define TREL_TEST_DATATESTHELPERS_H

// Shared by the tests of the collected request data: database set-ups that are spelled
// differently on SQLite and MariaDB.

#include "support/testinstallation.h"

#include <kolv/kdb.h>
#include <kolv/kdbconnection.h>
#include <kolv/kdbconnectionptr.h>

#include <gtest/gtest.h>

#include <QSqlError>
#include <QSqlQuery>

#include <memory>

namespace datatest {

// Runs a statement unprepared (trigger bodies and ALTER TABLE do not go through the
// prepared-statement protocol everywhere).
inline bool rawExec(TestInstallation& inst, const QString& sql) {
    QSqlQuery query(inst.db());
    if (!query.exec(sql)) {
        ADD_FAILURE() << sql.toStdString() << ": " << query.lastError().text().toStdString();
        return false;
    }
    return true;
}

// Makes every insert into `table` fail with "refused by test" while `condition` (an
// SQL expression over NEW) holds.
inline bool refuseInserts(TestInstallation& inst, const QString& table,
                          const QString& condition = QStringLiteral("1 = 1")) {
    const QString name = QStringLiteral("refuse_%1").arg(table);
    if (inst.backend() == Backend::Sqlite)
        return rawExec(inst, QStringLiteral("CREATE TRIGGER %1 BEFORE INSERT ON %2 WHEN %3 "
                                            "BEGIN SELECT RAISE(ABORT, 'refused by test'); END")
                                 .arg(name, table, condition));
    return rawExec(inst, QStringLiteral("CREATE TRIGGER %1 BEFORE INSERT ON %2 FOR EACH ROW IF %3 "
                                        "THEN SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused "
                                        "by test'; END IF")
                             .arg(name, table, condition));
}

// The next request row the library inserts gets `id` (ids only grow: call with
// increasing values).
inline bool setNextRequestId(TestInstallation& inst, qint64 id) {
    if (inst.backend() == Backend::Sqlite) {
        // AUTOINCREMENT remembers the highest id ever used, also after the delete.
        return rawExec(inst, QStringLiteral("INSERT INTO trel_requests (id, page_id, method) "
                                            "VALUES (%1, 'placeholder', 'GET')")
                                 .arg(id - 1)) &&
               rawExec(inst, QStringLiteral("DELETE FROM trel_requests WHERE id = %1").arg(id - 1));
    }
    return rawExec(inst, QStringLiteral("ALTER TABLE trel_requests AUTO_INCREMENT = %1").arg(id));
}

// A connection handle for KTrelBacktrace::load: from a pool configured with the
// installation's settings on MariaDB; on SQLite, which has no pool, a handle around the
// test's own connection.
class LoadConnection {
public:
    explicit LoadConnection(TestInstallation& inst) {
        if (inst.backend() == Backend::MySql) {
            const KolvServerInfo& info = inst.serverInfo();
            EXPECT_TRUE(pool.initMySQL(info.getDbHostName(), info.getDbUsername(),
                                       info.getDbPassword(), info.getDbName(),
                                       static_cast<unsigned int>(info.getDbPort()), QString()));
            handle = pool.getTemporaryConnection();
        } else {
            handle = KDbConnectionPtr(
                std::make_shared<KDbConnection>(inst.db(), inst.db().connectionName()));
        }
        EXPECT_FALSE(handle.isNull());
    }
    ~LoadConnection() { handle.reset(); }

    KDbConnectionPtr get() const { return handle; }

private:
    KDb pool;
    KDbConnectionPtr handle;
};

} // namespace datatest

#endif
