#ifndef TREL_BENCH_FLOORWRITER_H
#define TREL_BENCH_FLOORWRITER_H

#include "referencerequest.h"

#include <sqlite3.h>

#include <string>
#include <unordered_map>

// The floor: the reference request's rows written with SQLite's C API directly, into
// the same schema, with every statement prepared once and reused, one transaction per
// request and the library's pragmas. What the library's writer is measured against.
class FloorWriter {
public:
    FloorWriter(const std::string& path, const ReferenceRequest& reference);
    ~FloorWriter();
    FloorWriter(const FloorWriter&) = delete;
    FloorWriter& operator=(const FloorWriter&) = delete;

    // Writes one request; returns false when a statement fails.
    bool write();

private:
    enum Statement {
        InsertRequest,
        UpdateSize,
        InsertUrl,
        InsertStatement,
        InsertBacktrace,
        InsertQuery,
        InsertLog,
        InsertFunction,
        InsertEvent,
        InsertBreakdown,
        InsertSample,
        Begin,
        Commit,
        StatementCount
    };
    bool run(Statement s);
    sqlite3_int64 idFor(std::unordered_map<std::string, sqlite3_int64>& cache, Statement insert,
                        const QString& text);

    const ReferenceRequest& m_reference;
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_statements[StatementCount] = {};
    std::unordered_map<std::string, sqlite3_int64> m_urlIds, m_statementIds;
    std::mt19937 m_random{1};
    int m_serial = 0;
};

#endif
