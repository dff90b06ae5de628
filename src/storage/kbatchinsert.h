#ifndef TREL_KBATCHINSERT_H
#define TREL_KBATCHINSERT_H

#include "storage/kstatementcache.h"

#include <kolv/kdebug.h>

#include <QByteArray>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include <limits>
#include <memory>

// The rows of one table that a write stores, all of one single-row INSERT text
// ("INSERT INTO t (...) VALUES (NULL, :a, :b)"), sent the way the connection takes them
// best; what is stored is the same either way.
//
// Row by row (batching switched off, or rows whose ids are needed on SQLite) every row
// runs at once through the write's prepared executor (KStatementCache), as it always did.
// On SQLite the other rows are collected and sent as multi-row statements of bound
// values, of 64, 32, ... 2 rows, prepared once and kept with the connection: SQLite then
// opens one statement journal per statement rather than one per row, which is most of
// what a row of a "replace into" costs. Batched (MySQL) the rows
// are collected and sent as multi-row INSERTs of the same text through
// KSafeSqlQuery::execText, with the same retries, log lines and traces; a statement
// holds at most Limits::maxStatementBytes bytes and Limits::maxRows rows. Values are
// written as literals: numbers in decimal, texts (as UTF-8, which is what a bound text
// sends) and bytes in hexadecimal, so that no sql_mode or character set can change them;
// a null text or byte array is NULL, as when bound. A row too long for any statement
// alone is sent on its own, prepared, and fails there as it always did when the server
// refuses it.
//
// A row may wait in the object until flush(), which the caller makes after its last row.
// addRow() and flush() throw KException when a statement fails; rows not yet flushed
// are then dropped with the object (the writer rolls its transaction back).
class KBatchInsert {
public:
    struct Limits {
        bool batched = false;
        // What one statement may hold on MySQL (max_allowed_packet less room for the
        // command), whether or not rows are batched; unbounded elsewhere.
        qint64 maxStatementBytes = std::numeric_limits<qint64>::max();
        int maxRows = 1000;
        // The distance between the auto-increment ids of the rows of one multi-row
        // insert, when the server guarantees it; 0 when it does not, and then rows whose
        // ids are needed go one at a time.
        qint64 idStep = 0;
    };

    // The limits for a write on `database`: on MySQL max_allowed_packet,
    // innodb_autoinc_lock_mode and auto_increment_increment of the session, read once per
    // session, and rows are batched unless batching is switched off; anything else is row
    // by row. Throws KException when the statement fails.
    static Limits limits(QSqlDatabase& database, KDebug::StreamId stream, int retries);
    // Multi-row inserts of one statement get ids `increment` apart only in InnoDB's
    // "traditional" (0) and "consecutive" (1) lock modes; in "interleaved" mode (2) other
    // sessions' rows may take ids in between.
    static qint64 consecutiveIdStep(qint64 lockMode, qint64 increment);

    // Batching is on unless switched off (tests compare both paths); process-wide.
    static void setEnabled(bool enabled);
    static bool isEnabled();

    // `needIds`: ids() gives the id of every row.
    KBatchInsert(QSqlDatabase& database, const QString& singleRowSql, const Limits& limits,
                 KDebug::StreamId stream, int retries, bool needIds = false);
    KBatchInsert(const KBatchInsert&) = delete;
    KBatchInsert& operator=(const KBatchInsert&) = delete;

    // Sets a value of the next row; every placeholder is bound for every row.
    void bind(const QString& placeholder, const QVariant& value);
    void addRow();
    void flush();
    // The ids of the rows added and flushed so far, in their order.
    const QVector<qint64>& ids() const { return m_ids; }
    // The statements sent so far.
    int statements() const { return m_statements; }

    // A value as a literal of a MySQL statement.
    static void appendLiteral(QByteArray& out, const QVariant& value);

private:
    void sendAlone();
    void sendSqliteRows();
    const QString& sqliteRowsSql(int rows) const;
    struct RowTemplate;
    static std::shared_ptr<RowTemplate> rowTemplate(const QString& singleRowSql);
    KSafeSqlQuery& single();
    bool rowsBatched() const;

    QSqlDatabase& m_database;
    QString m_singleRowSql;
    Limits m_limits;
    KDebug::StreamId m_stream;
    int m_retries;
    bool m_needIds;

    // The text taken apart: its head, the row's pieces and placeholders.
    std::shared_ptr<RowTemplate> m_template;
    QVector<QVariant> m_values; // the next row's values, by placeholder
    QByteArray m_pending;       // rows not yet sent, joined by commas
    int m_pendingRows = 0;
    int m_next = 0; // the placeholder the next bind() is likely for
    QVector<qint64> m_ids;
    int m_statements = 0;
    bool m_bindDirectly = false;
    // SQLite rows collected for multi-row statements of bound values.
    bool m_sqliteRows = false;
    QVector<QVariant> m_rowValues;
    // The single-row prepared statement, once a row went alone.
    std::unique_ptr<KStatementCache::Statement> m_single;
};

#endif
