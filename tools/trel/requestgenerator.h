#ifndef TREL_TOOL_REQUESTGENERATOR_H
#define TREL_TOOL_REQUESTGENERATOR_H

#include "simulatedrequest.h"

#include <QList>
#include <QString>
#include <QStringList>

// Makes up the requests of a simulated shop: pages, cart and checkout, search, an
// API, a blog and an admin report, each with the SQL statements, PHP errors, function
// calls, events and superglobals such a request has. Every PHP error type turns up
// within the first twenty requests; queries run inside and outside transactions, and
// some fail. Request i depends only on the seed, i and the tokens.
class RequestGenerator {
public:
    struct Token {
        QString name;
        QString baseUrl;
    };

    // `valid` must not be empty. `expired` names tokens the database holds whose time
    // is over; requests without a valid token present one of them, an unknown name or
    // none.
    RequestGenerator(quint64 seed, const QList<Token>& valid, const QStringList& expired,
                     double unauthorisedShare);

    SimulatedRequest make(int index) const;

    // The user agents of the simulated browsers.
    static QStringList browsers();
    // The PHP error types, in the order the first requests raise them.
    static QList<int> errorTypes();

private:
    quint64 m_seed;
    QList<Token> m_valid;
    QStringList m_expired;
    double m_unauthorisedShare;
};

#endif
