#include "responsefinisher.h"

extern "C" {
#include "SAPI.h"
#include "zend.h"
}

#include <cstring>

namespace {

bool isSapi(const char* name) {
    return sapi_module.name && strcmp(sapi_module.name, name) == 0;
}

} // namespace

void ResponseFinisher::finish() {
    if (!SG(sapi_started) || !SG(server_context))
        return;
    // A client that has gone away ends in a bailout (unless ignore_user_abort is on);
    // it must end only this, not the rest of the request's end.
    zend_try {
        if (isSapi("fpm-fcgi") || isSapi("cgi-fcgi")) {
            // The FastCGI servers' own request end: it finishes the FastCGI request once
            // (an application's fastcgi_finish_request() included) and is called again,
            // to no effect, when the server ends the request.
            if (sapi_module.deactivate)
                sapi_module.deactivate();
        } else if (isSapi("apache2handler")) {
            if (sapi_module.flush)
                sapi_module.flush(SG(server_context));
        }
    }
    zend_end_try();
}
