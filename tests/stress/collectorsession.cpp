#include "collectorsession.h"

#include <kolv/kolvdbsqliteinfo.h>
#include <kolv/kolvserverinfo.h>

#include <QDir>

CollectorSession::~CollectorSession() {
    if (m_trel)
        KTrel::release();
}

bool CollectorSession::start(const QString& root, int busyTimeoutMs, QString* error) {
    KolvServerInfo info;
    const QString absolute = QDir(root).absolutePath();
    if (!info.load(absolute, error))
        return false;
    info.setRoot(absolute);
    if (busyTimeoutMs >= 0)
        KolvDbSQliteInfo::setBusyTimeout(busyTimeoutMs);
    m_trel = KTrel::instance();
    m_trel->initialize(info, KDebug::StreamId(Stream));
    return true;
}
