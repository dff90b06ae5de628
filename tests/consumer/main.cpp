// A minimal host: one request through the installed library's whole lifecycle on the
// installation given on the command line, then a look at what was stored.
//
//   trel_consumer ROOT PAGE_ID
//
// Exits 0 when the request was stored and no error line was logged.

#include <trel/trel.h>

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <cstdio>

namespace {

int errorLines = 0;

class HostBacktraces : public IBacktraceGenerator {
public:
    QString generateBacktrace() override {
        return QStringLiteral("#0 main() called at index.php:3");
    }
    void getFileAndLine(QString& fileName, int& line) override {
        fileName = QStringLiteral("index.php");
        line = 3;
    }
};

bool fail(const char* what) {
    std::fprintf(stderr, "consumer: %s\n", what);
    return false;
}

qint64 countRows(QSqlDatabase& db, const QString& sql, const QString& pageId) {
    QSqlQuery query(db);
    query.prepare(sql);
    query.bindValue(QStringLiteral(":page_id"), pageId);
    if (!query.exec() || !query.next()) {
        std::fprintf(stderr, "consumer: %s: %s\n", qPrintable(sql),
                     qPrintable(query.lastError().text()));
        return -1;
    }
    return query.value(0).toLongLong();
}

bool runRequest(const QString& root, const QString& pageId) {
    KolvServerInfo info;
    QString error;
    if (!info.load(root, &error)) {
        std::fprintf(stderr, "consumer: %s\n", qPrintable(error));
        return false;
    }

    KTrel* trel = KTrel::instance();
    trel->initialize(info, 1);
    if (!trel->isInitialized())
        return fail("the collector did not initialise");
    if (trel->getHeaderTemplate().isEmpty() || trel->getFooterTemplate().isEmpty())
        return fail("the bar templates were not read");
    trel->setBacktraceGenerator(new HostBacktraces); // the collector owns it

    trel->reset();
    trel->setPageId(pageId);
    trel->setRequest(QStringLiteral("http://consumer.example/check?page=") + pageId);
    trel->setRequestMethod(QStringLiteral("GET"));
    trel->setRequestStatus(200);
    trel->setRequestStartTime(QDateTime::currentDateTime());
    trel->setRequestTime(1500);
    trel->setIsPrimaryPage(true);

    trel->addPhpError(2, "index.php", 3, "consumer warning", -1);
    KTrel::SqlQuery sql;
    sql.preparedStatement = QStringLiteral("SELECT * FROM items WHERE id = ?");
    sql.resolvedStatement = QStringLiteral("SELECT * FROM items WHERE id = 1");
    sql.hasPreparedStatement = true;
    sql.queryTime = 20;
    trel->addRequestSqlQuery(sql);
    KFunctionStats stats;
    stats.setFunctionName("render");
    stats.setFunctionScope("Page");
    stats.incrementCalls();
    stats.updateTimers(10, 30);
    trel->getFunctionsStats().insert(stats.getFullName(), stats);
    trel->addEventAggKey("consumer.event");

    {
        KTrelDisabler quiet;
        if (KolvIsTrelCollectionEnabled() != 0)
            return fail("the disabler did not switch collection off");
    }
    if (KolvIsTrelCollectionEnabled() != 1)
        return fail("collection was not switched on again");

    trel->write();

    QSqlDatabase& db = trel->getDatabase();
    const QString requests =
        QStringLiteral("SELECT COUNT(*) FROM trel_requests WHERE page_id = :page_id");
    const QString children = QStringLiteral(
        "SELECT (SELECT COUNT(*) FROM trel_sql_queries q WHERE q.request_id = r.id) + "
        "(SELECT COUNT(*) FROM trel_log_entries l WHERE l.request_id = r.id) + "
        "(SELECT COUNT(*) FROM trel_functions_stats f WHERE f.request_id = r.id) + "
        "(SELECT COUNT(*) FROM trel_monitor_events e WHERE e.request_id = r.id) "
        "FROM trel_requests r WHERE r.page_id = :page_id");
    if (countRows(db, requests, pageId) != 1)
        return fail("the request row was not stored");
    if (countRows(db, children, pageId) != 4)
        return fail("the request's sections were not stored");
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s ROOT PAGE_ID\n", argv[0]);
        return 2;
    }
    KDebug::setDebugLevel(1, 5);
    KDebug::setSink([](KDebug::debug_level_t level, KDebug::StreamId, const QString& text) {
        std::fprintf(stderr, "[%d] %s\n", level, qPrintable(text));
        if (level == 0)
            ++errorLines;
    });

    const bool ok = runRequest(QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]));
    KTrel::release();
    KDebug::setSink(KDebug::Sink());
    if (errorLines > 0)
        std::fprintf(stderr, "consumer: %d error line(s) logged\n", errorLines);
    return ok && errorLines == 0 ? 0 : 1;
}
