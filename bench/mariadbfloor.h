#ifndef TREL_BENCH_MARIADBFLOOR_H
#define TREL_BENCH_MARIADBFLOOR_H

#include "referencerequest.h"

#include <mysql.h>

#include <random>
#include <string>
#include <unordered_map>
#include <vector>

// The MariaDB floor: the reference request's rows written with MariaDB's C API directly,
// into the same schema, one transaction per request, values escaped by the client
// library into the statement text (one round trip per statement). Row by row, every row
// is its own INSERT; multi-row, the floor is as lean as that shape gets: each table's rows
// of the request go in one INSERT (nine round trips with the commit, once the URL and
// statement ids are known), the session runs without autocommit so that no statement
// begins the transaction, the request's row carries its size, and the backtrace ids are
// taken as consecutive from the first (the floor's server runs InnoDB's default lock mode
// and an increment of 1).
class MariaDbFloor {
public:
    struct Server {
        std::string host, socket, user, password, database;
        unsigned port = 0;
    };
    // An empty socket connects over TCP. Throws std::runtime_error when it cannot connect.
    MariaDbFloor(const Server& server, const ReferenceRequest& reference, bool multiRow);
    ~MariaDbFloor();
    MariaDbFloor(const MariaDbFloor&) = delete;
    MariaDbFloor& operator=(const MariaDbFloor&) = delete;

    // Writes one request; returns false when a statement fails.
    bool write();

private:
    bool query(const std::string& sql);
    std::string text(const QByteArray& bytes);
    long long idFor(std::unordered_map<std::string, long long>& cache, const char* table,
                    const char* columns, const QString& text);
    // Sends the rows as one statement, or one statement each.
    bool insert(const std::string& head, const std::vector<std::string>& rows);

    const ReferenceRequest& m_reference;
    bool m_multiRow;
    MYSQL* m_mysql = nullptr;
    std::unordered_map<std::string, long long> m_urlIds, m_statementIds;
    std::mt19937 m_random{1};
    int m_serial = 0;
};

#endif
