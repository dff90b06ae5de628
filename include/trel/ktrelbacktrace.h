#ifndef TREL_KTRELBACKTRACE_H
#define TREL_KTRELBACKTRACE_H

#include <trel/trel_export.h>

#include <kolv/kdbconnectionptr.h>
#include <kolv/kdebug.h>

#include <QByteArray>
#include <QSqlDatabase>
#include <QString>

class KBatchInsert;

class QSqlRecord;

// One row of trel_backtrace. The id is -1 until save() or load() gives it one.
class TREL_EXPORT KTrelBacktrace {
public:
    KTrelBacktrace();
    KTrelBacktrace(const KTrelBacktrace& other);
    KTrelBacktrace& operator=(const KTrelBacktrace& other);
    virtual ~KTrelBacktrace();

    void setBacktrace(const QByteArray& text) { backtrace = text; }
    const QByteArray& getBacktrace() const { return backtrace; }
    void setId(long long value) { id = value; }
    long long getId() const { return id; }

    // Reads the row whose id is getId(); false, with the record unchanged, when there is
    // none. Throws KException when the statement fails.
    bool load(KDbConnectionPtr connection, KDebug::StreamId stream);
    // Inserts a new row and takes its id. Throws KException when the statement fails.
    void save(QSqlDatabase& database, KDebug::StreamId stream);

    // The library's writer sends its rows with insertStatement(), each bound by bindRow().
    static QString insertStatement();
    void bindRow(KBatchInsert& rows) const;

private:
    explicit KTrelBacktrace(const QSqlRecord& record);

    long long id;
    QByteArray backtrace;
};

#endif
