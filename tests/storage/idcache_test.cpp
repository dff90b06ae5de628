// The URL and statement id caches: hits without a statement, texts stored by someone
// else, refused inserts, the bounds of 100 entries, the preload at initialisation and
// empty texts.

#include "storage/storagetest.h"
#include "support/logcapture.h"

#include <trel/trel.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QSqlQuery>
#include <QUuid>

using ::testing::HasSubstr;

namespace {

void ddl(QSqlDatabase db, const QString& sql) {
    QSqlQuery query(db);
    if (!query.exec(sql))
        ADD_FAILURE() << sql.toStdString() << ": " << query.lastError().text().toStdString();
}

class IdCache : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        ASSERT_TRUE(inst.ok());
        trel = KTrel::instance();
        trel->initialize(inst.serverInfo(), 1);
    }
    void TearDown() override { KTrel::release(); }

    bool sqlite() const { return GetParam() == Backend::Sqlite; }
    QSqlDatabase& db() { return trel->getDatabase(); }

    // Stores a URL or statement row with the test's own connection; returns its id.
    qint64 storeUrl(const QString& url) {
        inst.exec(QStringLiteral("INSERT INTO trel_requests_urls (url_hash, url) VALUES (?, ?)"),
                  {QVariant(sha1(url)), QVariant(url)});
        return inst
            .scalar(QStringLiteral("SELECT id FROM trel_requests_urls WHERE url = ?"),
                    {QVariant(url)})
            .toLongLong();
    }
    qint64 storeStatement(const QString& text) {
        inst.exec(
            QStringLiteral("INSERT INTO trel_sql_statements (statement_hash, prepared_statement, "
                           "statement_explain) VALUES (?, ?, '')"),
            {QVariant(sha1(text)), QVariant(text)});
        return inst
            .scalar(
                QStringLiteral("SELECT id FROM trel_sql_statements WHERE prepared_statement = ?"),
                {QVariant(text)})
            .toLongLong();
    }
    qint64 storedUrlId(const QString& url) {
        const QVariant id = inst.scalar(
            QStringLiteral("SELECT id FROM trel_requests_urls WHERE url = ?"), {QVariant(url)});
        return id.isValid() ? id.toLongLong() : -1;
    }

    // Every insert into the table fails with `message` until allowInserts().
    void refuseInserts(const QString& table, const QString& message) {
        if (sqlite())
            ddl(inst.db(), QStringLiteral("CREATE TRIGGER refuse_insert BEFORE INSERT ON %1 BEGIN "
                                          "SELECT RAISE(ABORT, '%2'); END")
                               .arg(table, message));
        else
            ddl(inst.db(),
                QStringLiteral("CREATE TRIGGER refuse_insert BEFORE INSERT ON %1 FOR EACH "
                               "ROW SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = '%2'")
                    .arg(table, message));
    }
    void allowInserts() { ddl(inst.db(), QStringLiteral("DROP TRIGGER refuse_insert")); }

    // Resolves a URL and reports whether that took a statement.
    struct Resolved {
        qint64 id;
        int statements;
        QStringList lines;
        QStringList traced;
    };
    Resolved resolveUrl(const QString& url) {
        LogCapture log;
        SqlTrace trace;
        const qint64 id = trel->getUrlDbId(url, db());
        return Resolved{id, static_cast<int>(trace.statements().size()), log.texts(),
                        trace.statements()};
    }
    Resolved resolveStatement(const QString& text) {
        LogCapture log;
        SqlTrace trace;
        const qint64 id = trel->getStmtDbId(text, db());
        return Resolved{id, static_cast<int>(trace.statements().size()), log.texts(),
                        trace.statements()};
    }

    TestInstallation inst{GetParam()};
    KTrel* trel = nullptr;
};

TEST_P(IdCache, NewTextIsInsertedOnceThenServedFromTheCache) {
    const QString url = QStringLiteral("http://shop.example/item?id=7");
    const Resolved first = resolveUrl(url);
    EXPECT_GT(first.id, 0);
    EXPECT_EQ(first.id, storedUrlId(url));
    EXPECT_EQ(first.lines, QStringList(QStringLiteral("No cache id for ") + url));
    EXPECT_GE(first.statements, 1);
    EXPECT_EQ(inst.scalar(QStringLiteral("SELECT url_hash FROM trel_requests_urls")).toByteArray(),
              sha1(url));

    const Resolved second = resolveUrl(url);
    EXPECT_EQ(second.id, first.id);
    EXPECT_EQ(second.statements, 0);
    EXPECT_EQ(second.lines, QStringList(QStringLiteral("Cache id for url is %1").arg(first.id)));

    const QString statement = QStringLiteral("SELECT * FROM items WHERE id = ?");
    const Resolved stmt = resolveStatement(statement);
    EXPECT_GT(stmt.id, 0);
    EXPECT_EQ(stmt.lines, QStringList(QStringLiteral("No cache id for ") + statement));
    const Resolved stmtAgain = resolveStatement(statement);
    EXPECT_EQ(stmtAgain.id, stmt.id);
    EXPECT_EQ(stmtAgain.statements, 0);
    EXPECT_EQ(stmtAgain.lines, QStringList(QStringLiteral("Cache id for stmt is %1").arg(stmt.id)));
    const QList<QVariantList> rows =
        inst.rows(QStringLiteral("SELECT id, statement_hash, prepared_statement, statement_explain "
                                 "FROM trel_sql_statements"));
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows.at(0).at(0).toLongLong(), stmt.id);
    EXPECT_EQ(rows.at(0).at(1).toByteArray(), sha1(statement));
    EXPECT_EQ(rows.at(0).at(2).toString(), statement);
    EXPECT_FALSE(rows.at(0).at(3).isNull());
    EXPECT_EQ(rows.at(0).at(3).toString(), QString());
}

TEST_P(IdCache, TextStoredByAnotherConnectionResolvesToItsStoredIdAndIsCached) {
    // Stored after the caches were preloaded, as another worker process would.
    const QString url = QStringLiteral("http://other.example/");
    const qint64 urlId = storeUrl(url);
    const QString statement = QStringLiteral("UPDATE t SET a = ?");
    const qint64 statementId = storeStatement(statement);

    const Resolved resolved = resolveUrl(url);
    EXPECT_EQ(resolved.id, urlId);
    EXPECT_EQ(resolved.lines, QStringList(QStringLiteral("No cache id for ") + url));
    // The insert failed (traced once), the re-select succeeded (traced twice).
    ASSERT_EQ(resolved.traced.size(), 3) << resolved.traced.join('\n').toStdString();
    EXPECT_TRUE(resolved.traced.at(0).startsWith(QLatin1String("INSERT INTO trel_requests_urls")));
    EXPECT_TRUE(resolved.traced.at(1).startsWith(
        QLatin1String("SELECT id from trel_requests_urls where url_hash")));
    EXPECT_EQ(resolveUrl(url).statements, 0);

    const Resolved stmt = resolveStatement(statement);
    EXPECT_EQ(stmt.id, statementId);
    EXPECT_EQ(stmt.lines.size(), 1);
    EXPECT_EQ(resolveStatement(statement).statements, 0);
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests_urls")), 1);
    EXPECT_EQ(inst.count(QStringLiteral("trel_sql_statements")), 1);
}

TEST_P(IdCache, DuplicatePhrasesAreRecognisedInAnyLetterCase) {
    const QString url = QStringLiteral("http://case.example/");
    const qint64 urlId = storeUrl(url);
    refuseInserts(QStringLiteral("trel_requests_urls"), QStringLiteral("dUpLiCaTe EnTrY for key"));
    const Resolved first = resolveUrl(url);
    EXPECT_EQ(first.id, urlId);
    EXPECT_EQ(first.lines.size(), 1) << first.lines.join('\n').toStdString();
    allowInserts();

    const QString statement = QStringLiteral("DELETE FROM t WHERE id = ?");
    const qint64 statementId = storeStatement(statement);
    refuseInserts(QStringLiteral("trel_sql_statements"),
                  QStringLiteral("column statement_hash IS NOT UNIQUE"));
    const Resolved stmt = resolveStatement(statement);
    EXPECT_EQ(stmt.id, statementId);
    EXPECT_EQ(stmt.lines.size(), 1) << stmt.lines.join('\n').toStdString();
    allowInserts();
}

TEST_P(IdCache, OtherInsertFailureGivesMinusOneAndCachesNothing) {
    const QString url = QStringLiteral("http://refused.example/");
    refuseInserts(QStringLiteral("trel_requests_urls"),
                  QStringLiteral("refused for its own reasons"));
    const Resolved refused = resolveUrl(url);
    EXPECT_EQ(refused.id, -1);
    ASSERT_EQ(refused.lines.size(), 2);
    EXPECT_THAT(refused.lines.at(1).toStdString(),
                HasSubstr("KTrel::getUrlDbId: QSafeSqlQuery::exec"));
    EXPECT_THAT(refused.lines.at(1).toStdString(), HasSubstr("refused for its own reasons"));
    allowInserts();

    const Resolved later = resolveUrl(url);
    EXPECT_EQ(later.lines, QStringList(QStringLiteral("No cache id for ") + url));
    EXPECT_GT(later.id, 0);
    EXPECT_EQ(later.id, storedUrlId(url));

    refuseInserts(QStringLiteral("trel_sql_statements"),
                  QStringLiteral("refused for its own reasons"));
    const Resolved stmt = resolveStatement(QStringLiteral("SELECT 1"));
    EXPECT_EQ(stmt.id, -1);
    ASSERT_EQ(stmt.lines.size(), 2);
    EXPECT_TRUE(stmt.lines.at(1).startsWith(QLatin1String("KTrel::getStmtDbId:")));
    allowInserts();
    EXPECT_GT(resolveStatement(QStringLiteral("SELECT 1")).id, 0);
}

TEST_P(IdCache, DuplicateWithoutAStoredRowGivesMinusOneAndCachesNothing) {
    const QString url = QStringLiteral("http://phantom.example/");
    refuseInserts(QStringLiteral("trel_requests_urls"), QStringLiteral("Duplicate entry for key"));
    const Resolved phantom = resolveUrl(url);
    EXPECT_EQ(phantom.id, -1);
    ASSERT_EQ(phantom.lines.size(), 2);
    EXPECT_EQ(phantom.lines.at(1), QStringLiteral("Could not return id from db: ") + url);
    allowInserts();
    const Resolved later = resolveUrl(url);
    EXPECT_GT(later.id, 0);
    EXPECT_EQ(later.id, storedUrlId(url));
}

TEST_P(IdCache, LeastRecentlyUsedIdIsEvictedAfterAHundredOthers) {
    QList<qint64> ids;
    for (int i = 0; i <= 100; ++i)
        ids << trel->getUrlDbId(QStringLiteral("http://many.example/%1").arg(i), db());
    const Resolved last = resolveUrl(QStringLiteral("http://many.example/100"));
    EXPECT_EQ(last.statements, 0);
    EXPECT_EQ(last.id, ids.at(100));

    const Resolved first = resolveUrl(QStringLiteral("http://many.example/0"));
    EXPECT_GT(first.statements, 0) << "evicted";
    EXPECT_EQ(first.id, ids.at(0));
    EXPECT_EQ(first.lines.first(), QStringLiteral("No cache id for http://many.example/0"));
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests_urls")), 101);
}

TEST_P(IdCache, EmptyTextIsKeyedByTheDigestOfZeroBytes) {
    const QByteArray emptyDigest = QByteArray::fromHex("da39a3ee5e6b4b0d3255bfef95601890afd80709");
    const qint64 urlId = trel->getUrlDbId(QString(), db());
    EXPECT_GT(urlId, 0);
    const Resolved again = resolveUrl(QStringLiteral(""));
    EXPECT_EQ(again.id, urlId);
    EXPECT_EQ(again.statements, 0);
    EXPECT_EQ(inst.scalar(QStringLiteral("SELECT url_hash FROM trel_requests_urls")).toByteArray(),
              emptyDigest);

    const qint64 statementId = trel->getStmtDbId(QString(), db());
    EXPECT_GT(statementId, 0);
    const QList<QVariantList> rows = inst.rows(QStringLiteral(
        "SELECT statement_hash, prepared_statement, statement_explain FROM trel_sql_statements"));
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows.at(0).at(0).toByteArray(), emptyDigest);
    EXPECT_FALSE(rows.at(0).at(1).isNull());
    EXPECT_EQ(rows.at(0).at(1).toString(), QString());
    EXPECT_FALSE(rows.at(0).at(2).isNull());
}

INSTANTIATE_TEST_SUITE_P(Backends, IdCache, ::testing::Values(Backend::Sqlite, Backend::MySql),
                         [](const auto& info) { return backendName(info.param); });

// The preload at initialisation.
class IdCachePreload : public ::testing::TestWithParam<Backend> {
protected:
    void TearDown() override { KTrel::release(); }
};

TEST_P(IdCachePreload, RefreshOverAHundredAndFiftyRowsKeepsTheLastHundredReturned) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    inst.db().transaction();
    for (int i = 0; i < 150; ++i) {
        const QString url = QStringLiteral("http://preload.example/%1").arg(i);
        inst.exec(QStringLiteral("INSERT INTO trel_requests_urls (url_hash, url) VALUES (?, ?)"),
                  {QVariant(sha1(url)), QVariant(url)});
        const QString statement = QStringLiteral("SELECT %1").arg(i);
        inst.exec(
            QStringLiteral("INSERT INTO trel_sql_statements (statement_hash, prepared_statement, "
                           "statement_explain) VALUES (?, ?, '')"),
            {QVariant(sha1(statement)), QVariant(statement)});
    }
    inst.db().commit();
    // The order the refresh reads them in.
    const QList<QVariantList> urls =
        inst.rows(QStringLiteral("SELECT id, url from trel_requests_urls"));
    const QList<QVariantList> statements = inst.rows(
        QStringLiteral("SELECT id, statement_hash, prepared_statement from trel_sql_statements"));
    ASSERT_EQ(urls.size(), 150);
    ASSERT_EQ(statements.size(), 150);

    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    QSqlDatabase& db = trel->getDatabase();
    LogCapture log;
    SqlTrace trace;
    for (int i = 50; i < 150; ++i) {
        EXPECT_EQ(trel->getUrlDbId(urls.at(i).at(1).toString(), db), urls.at(i).at(0).toLongLong());
        EXPECT_EQ(trel->getStmtDbId(statements.at(i).at(2).toString(), db),
                  statements.at(i).at(0).toLongLong());
    }
    EXPECT_TRUE(trace.statements().isEmpty());
    EXPECT_EQ(log.count(QStringLiteral("Cache id for url is"), 5), 100);
    EXPECT_EQ(log.count(QStringLiteral("Cache id for stmt is"), 5), 100);

    for (int i = 0; i < 50; ++i) {
        log.clear();
        EXPECT_EQ(trel->getUrlDbId(urls.at(i).at(1).toString(), db), urls.at(i).at(0).toLongLong());
        EXPECT_EQ(log.count(QStringLiteral("No cache id for"), 5), 1) << i;
    }
    EXPECT_EQ(inst.count(QStringLiteral("trel_requests_urls")), 150);
}

TEST_P(IdCachePreload, RefreshFailureIsLoggedAndTheCollectorStillWorks) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    const bool sqlite = GetParam() == Backend::Sqlite;
    for (const char* table : {"trel_requests_urls", "trel_sql_statements"})
        ddl(inst.db(), QString::fromLatin1(sqlite ? "ALTER TABLE %1 RENAME TO %1_away"
                                                  : "RENAME TABLE %1 TO %1_away")
                           .arg(QLatin1String(table)));
    LogCapture log;
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    EXPECT_EQ(log.count(QStringLiteral("KTrel::refreshUrlsCache: QSafeSqlQuery::exec"), 0), 1);
    EXPECT_EQ(log.count(QStringLiteral("KTrel::refreshStatementsCache: QSafeSqlQuery::exec"), 0),
              1);
    EXPECT_EQ(log.texts(0).size(), 2);
    for (const char* table : {"trel_requests_urls", "trel_sql_statements"})
        ddl(inst.db(), QString::fromLatin1(sqlite ? "ALTER TABLE %1_away RENAME TO %1"
                                                  : "RENAME TABLE %1_away TO %1")
                           .arg(QLatin1String(table)));
    EXPECT_GT(trel->getUrlDbId(QStringLiteral("http://after.example/"), trel->getDatabase()), 0);
}

TEST_P(IdCachePreload, TextsOutsideAsciiAreFoundAgainByTheNextProcess) {
    TestInstallation inst(GetParam());
    ASSERT_TRUE(inst.ok());
    const QString url = QStringLiteral("http://b\u00fccher.example/stra\u00dfe?q=\u65e5\u672c");
    const QString statement = QStringLiteral("SELECT * FROM \u00e9t\u00e9 WHERE nom = ?");
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    const qint64 urlId = trel->getUrlDbId(url, trel->getDatabase());
    const qint64 statementId = trel->getStmtDbId(statement, trel->getDatabase());
    ASSERT_GT(urlId, 0);
    ASSERT_GT(statementId, 0);
    EXPECT_EQ(inst.scalar(QStringLiteral("SELECT url FROM trel_requests_urls")).toString(), url);
    KTrel::release();

    // A new collector preloads them: the stored text hashes to the same key.
    trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    SqlTrace trace;
    EXPECT_EQ(trel->getUrlDbId(url, trel->getDatabase()), urlId);
    EXPECT_EQ(trel->getStmtDbId(statement, trel->getDatabase()), statementId);
    EXPECT_TRUE(trace.statements().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Backends, IdCachePreload,
                         ::testing::Values(Backend::Sqlite, Backend::MySql),
                         [](const auto& info) { return backendName(info.param); });

// MariaDB: another worker commits a statement while this worker's write is under way
// (after the write has read something); the write's insert meets the row, and its
// re-select must see it although the row is newer than the write's snapshot.
using IdCacheOnMariaDb = CollectorTest;

TEST_F(IdCacheOnMariaDb, RowCommittedByAnotherWorkerDuringAWriteIsFound) {
    TestInstallation inst(Backend::MySql);
    ASSERT_TRUE(inst.ok());
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    // Stored after the preload, so that the write starts with a re-select of it.
    const QString url = QStringLiteral("http://snapshot.example/");
    inst.exec(QStringLiteral("INSERT INTO trel_requests_urls (url_hash, url) VALUES (?, ?)"),
              {QVariant(sha1(url)), QVariant(url)});
    const QString statement = QStringLiteral("SELECT * FROM orders WHERE id = ?");
    setRequestFacts(trel, url);
    KTrel::SqlQuery query;
    query.preparedStatement = statement;
    query.resolvedStatement = QStringLiteral("SELECT * FROM orders WHERE id = 3");
    query.hasPreparedStatement = true;
    trel->addRequestSqlQuery(query);

    LogCapture log;
    bool inserted = false;
    {
        SqlTrace trace([&](const QString& traced) {
            if (inserted || !traced.startsWith(QLatin1String("SELECT id from trel_requests_urls")))
                return;
            inserted = true;
            inst.exec(QStringLiteral(
                          "INSERT INTO trel_sql_statements (statement_hash, prepared_statement, "
                          "statement_explain) VALUES (?, ?, '')"),
                      {QVariant(sha1(statement)), QVariant(statement)});
        });
        trel->write();
    }
    ASSERT_TRUE(inserted);
    EXPECT_TRUE(log.texts(0).isEmpty()) << log.texts(0).join('\n').toStdString();
    const qint64 statementId =
        inst.scalar(QStringLiteral("SELECT id FROM trel_sql_statements")).toLongLong();
    EXPECT_EQ(inst.scalar(QStringLiteral("SELECT prepared_statement_id FROM trel_sql_queries"))
                  .toLongLong(),
              statementId);
    EXPECT_EQ(inst.count(QStringLiteral("trel_sql_statements")), 1);
}

// A re-select that fails after a duplicate: MariaDB, as a user who may insert URLs but
// not read them.
TEST_F(IdCacheOnMariaDb, FailedReselectGivesMinusOneAndCachesNothing) {
    TestInstallation inst(Backend::MySql);
    ASSERT_TRUE(inst.ok());
    KTrel* trel = KTrel::instance();
    trel->initialize(inst.serverInfo(), 1);
    // Stored after the preload.
    const QString url = QStringLiteral("http://noselect.example/");
    inst.exec(QStringLiteral("INSERT INTO trel_requests_urls (url_hash, url) VALUES (?, ?)"),
              {QVariant(sha1(url)), QVariant(url)});
    const qint64 storedId =
        inst.scalar(QStringLiteral("SELECT id FROM trel_requests_urls")).toLongLong();

    KolvServerInfo limited = inst.serverInfo();
    const QString user =
        QStringLiteral("trel_ins_%1").arg(QUuid::createUuid().toString(QUuid::Id128).left(12));
    limited.setDbUsername(user);
    limited.setDbPassword(QStringLiteral("insert-only"));
    const QString table = QStringLiteral("%1.trel_requests_urls").arg(limited.getDbName());
    for (const char* host : {"127.0.0.1", "localhost"}) {
        ddl(inst.db(), QStringLiteral("CREATE USER '%1'@'%2' IDENTIFIED BY 'insert-only'")
                           .arg(user, QLatin1String(host)));
        ddl(inst.db(), QStringLiteral("GRANT INSERT ON %1 TO '%2'@'%3'")
                           .arg(table, user, QLatin1String(host)));
    }
    {
        OwnConnection insertOnly(limited);
        LogCapture log;
        EXPECT_EQ(trel->getUrlDbId(url, insertOnly.db()), -1);
        EXPECT_EQ(log.count(QStringLiteral("KTrel::getUrlDbId:"), 0), 1);
        EXPECT_TRUE(log.contains(QStringLiteral("SELECT command denied")))
            << log.texts().join('\n').toStdString();

        // A passing failure does not stick to the URL.
        log.clear();
        EXPECT_EQ(trel->getUrlDbId(url, trel->getDatabase()), storedId);
        EXPECT_EQ(log.count(QStringLiteral("No cache id for"), 5), 1);
        KTrel::release();
    }
    for (const char* host : {"127.0.0.1", "localhost"})
        ddl(inst.db(), QStringLiteral("DROP USER '%1'@'%2'").arg(user, QLatin1String(host)));
}

} // namespace
