#ifndef TREL_PHP_REQUESTADMISSION_H
#define TREL_PHP_REQUESTADMISSION_H

#include <QString>

class KTrel;

// The start of a request: its facts and the access decision. A request that presents
// no token (cookie trel.token_cookie or header X-Trel-Token) is refused before the
// collector or the database is touched; one that does is admitted when its user agent
// is allowed and the token covers its URL.
class RequestAdmission {
public:
    // The collector, reset and told about the request, when the request is admitted;
    // null when it is refused or the installation cannot be used.
    static KTrel* admit();
    // The token the request presents, or an empty text.
    static QString presentedToken();
    // The request's URL as the token check sees it (the values trel.mask hides masked).
    static QString url();
};

#endif
