#include "querymask.h"

#include "php_trel.h"

#include <QList>

QByteArray QueryMask::maskQuery(const QByteArray& query) {
    QList<QByteArray> parts = query.split('&');
    bool changed = false;
    for (QByteArray& part : parts) {
        const int equals = part.indexOf('=');
        if (equals < 0)
            continue;
        // The name as PHP decodes it for $_GET.
        QByteArray name = part.left(equals);
        name.replace('+', ' ');
        name = QByteArray::fromPercentEncoding(name);
        if (!trel_is_masked_key(name.constData(), static_cast<size_t>(name.size())))
            continue;
        part = part.left(equals + 1) + "***";
        changed = true;
    }
    return changed ? parts.join('&') : query;
}

QByteArray QueryMask::maskUrl(const QByteArray& url) {
    const int question = url.indexOf('?');
    if (question < 0)
        return url;
    return url.left(question + 1) + maskQuery(url.mid(question + 1));
}
