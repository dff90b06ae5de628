#ifndef TREL_BENCH_REFERENCEREQUEST_H
#define TREL_BENCH_REFERENCEREQUEST_H

#include <trel/trel.h>

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <random>
#include <vector>

// The reference request of every benchmark: a URL drawn from 50, 30 SQL queries drawn
// from 20 prepared statements (resolved texts of about 150 characters), each with a
// backtrace of about 1.5 KB from an installed generator, a third of them inside
// transactions; 4 PHP errors of mixed types, 2 with backtraces; 200 function
// statistics entries; 8 monitor event keys; 6 superglobal samples of about 1 KB; a
// time breakdown.
class ReferenceRequest {
public:
    explicit ReferenceRequest(unsigned seed = 1);

    // Feeds one request into the collector, as a host does between reset() and write().
    // Installs the backtrace generator on first use.
    void collect(KTrel* trel);

    static const int Urls = 50;
    static const int Statements = 20;
    static const int Queries = 30;
    static const int Errors = 4;
    static const int Functions = 200;
    static const int Events = 8;
    static const int Samples = 6;

    QStringList urls;
    QStringList prepared;
    QStringList resolved;
    QString backtrace;
    std::vector<QByteArray> functionNames, functionScopes, functionFiles;
    std::vector<QByteArray> eventKeys;
    QByteArray sampleData;

private:
    std::mt19937 m_random;
    int m_serial = 0;
};

#endif
