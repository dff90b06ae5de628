#include "responseheaders.h"

#include "collector/collectorhost.h"
#include "querymask.h"

#include <trel/ktrel.h>

extern "C" {
#include "SAPI.h"
}

void ResponseHeaders::capture(KTrel* trel) {
    CollectorHost::guard("response headers", [trel] {
        zend_llist_position position;
        for (auto* header = static_cast<sapi_header_struct*>(
                 zend_llist_get_first_ex(&SG(sapi_headers).headers, &position));
             header; header = static_cast<sapi_header_struct*>(
                         zend_llist_get_next_ex(&SG(sapi_headers).headers, &position))) {
            const QByteArray line(header->header, static_cast<int>(header->header_len));
            const int colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            const QString name = QString::fromUtf8(line.left(colon).trimmed());
            QByteArray value = line.mid(colon + 1).trimmed();
            if (name.compare(QLatin1String("Location"), Qt::CaseInsensitive) == 0)
                value = QueryMask::maskUrl(value);
            trel->addResponseHeader(name, QString::fromUtf8(value));
        }
    });
}
