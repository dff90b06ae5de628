#ifndef TREL_BENCH_MARIADBFLOOR_H
#define TREL_BENCH_MARIADBFLOOR_H

#include "referencerequest.h"

#include <mysql.h>

#include <deque>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

// The MariaDB floor: the reference request's rows written with MariaDB's C API directly,
// into the same schema, one transaction per request, as lean as that gets: each table's
// rows of the request go in one multi-row INSERT, prepared once per connection and run
// over the binary protocol with every value bound in place (no text is escaped, encoded
// or parsed by the server's lexer). The session runs without autocommit, so that no
// statement begins the transaction; the request's row carries its size; the backtrace
// ids are taken as consecutive from the first (the floor's server runs InnoDB's default
// lock mode and an increment of 1). Nine round trips with the commit, once the URL and
// statement ids are known.
//
// The other forms send the same statements unprepared, every value written into the text:
// texts and bytes escaped by the client library in quotes, or in hexadecimal.
class MariaDbFloor {
public:
    enum Form { Prepared, Escaped, Hexadecimal };
    struct Server {
        std::string host, socket, user, password, database;
        unsigned port = 0;
    };
    // An empty socket connects over TCP. Throws std::runtime_error when it cannot connect.
    MariaDbFloor(const Server& server, const ReferenceRequest& reference, Form form = Prepared);
    ~MariaDbFloor();
    MariaDbFloor(const MariaDbFloor&) = delete;
    MariaDbFloor& operator=(const MariaDbFloor&) = delete;

    // Writes one request; returns false when a statement fails.
    bool write();

private:
    // The values of one statement's rows, bound where they lie.
    struct Values {
        std::vector<MYSQL_BIND> binds;
        std::deque<long long> numbers;
        void number(long long value);
        void bytes(const char* data, size_t size, enum_field_types type = MYSQL_TYPE_STRING);
        void bytes(const QByteArray& data, enum_field_types type = MYSQL_TYPE_STRING) {
            bytes(data.constData(), static_cast<size_t>(data.size()), type);
        }
    };

    bool query(const std::string& sql);
    std::string escaped(const char* data, size_t size);
    long long idFor(std::unordered_map<std::string, long long>& cache, const char* table,
                    const char* columns, const QString& text);
    // Runs `head` followed by `rows` rows of `row` ("(?, ?)") with `values`; the first
    // row's id goes to `firstId` when given.
    bool insert(const char* head, const char* row, int rows, Values& values,
                long long* firstId = nullptr);

    const ReferenceRequest& m_reference;
    Form m_form;
    MYSQL* m_mysql = nullptr;
    std::map<std::string, MYSQL_STMT*> m_statements;
    std::unordered_map<std::string, long long> m_urlIds, m_statementIds;
    std::vector<QByteArray> m_resolved;
    QByteArray m_backtrace;
    std::mt19937 m_random{1};
    int m_serial = 0;
};

#endif
