#ifndef TREL_FUZZ_FUZZSUPPORT_H
#define TREL_FUZZ_FUZZSUPPORT_H

// Shared by the fuzz targets: a SQLite installation made once per process, a connection
// of the target's own for checking rows, the captured log lines, and how a broken
// promise of the library stops the run (an abort, which libFuzzer saves as a crash).

#include "installation.h"

#include <kolv/kdebug.h>
#include <kolv/kolvserverinfo.h>

#include <QDir>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QTemporaryDir>
#include <QVariant>
#include <QVariantList>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace fuzz {

// The stream the targets hand to the library.
const KDebug::StreamId Stream(1);

[[noreturn]] inline void violation(const char* what, const QString& detail = QString()) {
    std::fprintf(stderr, "\n*** ORACLE VIOLATION: %s\n", what);
    if (!detail.isEmpty())
        std::fprintf(stderr, "    %s\n", detail.left(2000).toUtf8().constData());
    std::fflush(stderr);
    std::abort();
}

struct LogLine {
    int level;
    QString text;
};

// Every line the library logs on any stream, from the first call on.
inline std::vector<LogLine>& logLines() {
    static std::vector<LogLine>* lines = new std::vector<LogLine>;
    return *lines;
}

inline void captureLog(int level) {
    KDebug::setDebugLevel(Stream, level);
    KDebug::setSink([](KDebug::debug_level_t lineLevel, KDebug::StreamId, const QString& text) {
        logLines().push_back(LogLine{lineLevel, text});
    });
}

inline int countLines(const QString& prefix, int level = -1) {
    int n = 0;
    for (const LogLine& line : logLines())
        if ((level < 0 || line.level == level) && line.text.startsWith(prefix))
            ++n;
    return n;
}

// A fresh SQLite installation, made on first use under $TMPDIR and removed at exit. Its
// settings are what the host hands to KTrel::initialize.
inline const KolvServerInfo& installation() {
    static KolvServerInfo* info = nullptr;
    if (!info) {
        static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/trel-fuzz-XXXXXX"));
        QString error;
        if (!dir.isValid())
            violation("cannot create a temporary folder");
        if (!Installation::createSqlite(dir.path(), &error))
            violation("cannot create the SQLite installation", error);
        info = new KolvServerInfo;
        if (!info->load(dir.path(), &error))
            violation("cannot load the installation's settings", error);
    }
    return *info;
}

// The target's own connection on the installation's database; the library never uses it.
inline QSqlDatabase& checkDb() {
    static QSqlDatabase* db = nullptr;
    if (!db) {
        db = new QSqlDatabase(
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fuzz_check")));
        db->setDatabaseName(Installation::databasePath(installation().getRoot()));
        db->setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
        if (!db->open())
            violation("cannot open the check connection", db->lastError().text());
        // What the targets write here need not survive a crash of the machine.
        QSqlQuery(*db).exec(QStringLiteral("PRAGMA synchronous = OFF"));
    }
    return *db;
}

inline QSqlQuery run(const QString& sql, const QVariantList& binds = {}) {
    QSqlQuery query(checkDb());
    query.setForwardOnly(true);
    if (!query.prepare(sql))
        violation("check statement does not prepare",
                  sql + QStringLiteral(": ") + query.lastError().text());
    for (int i = 0; i < binds.size(); ++i)
        query.bindValue(i, binds.at(i));
    if (!query.exec())
        violation("check statement fails", sql + QStringLiteral(": ") + query.lastError().text());
    return query;
}

inline QVariant scalar(const QString& sql, const QVariantList& binds = {}) {
    QSqlQuery query = run(sql, binds);
    return query.next() ? query.value(0) : QVariant();
}

inline qint64 count(const QString& table, const QString& where = QString()) {
    QString sql = QStringLiteral("SELECT COUNT(*) FROM %1").arg(table);
    if (!where.isEmpty())
        sql += QStringLiteral(" WHERE ") + where;
    return scalar(sql).toLongLong();
}

} // namespace fuzz

#endif
