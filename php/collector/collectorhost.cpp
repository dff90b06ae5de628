#include "collectorhost.h"

#include "enginebacktracegenerator.h"
#include "php_trel.h"

#include <trel/ktrel.h>

#include <kolv/kolvserverinfo.h>

#include <QString>

#include <set>
#include <string>
#include <unistd.h>

namespace {

// The process that created the collector; a forked child must not use its parent's.
pid_t ownerPid = 0;
KTrel* collector = nullptr;
bool createdHere = false;
bool unusable = false;
std::set<std::string> reportedFailures;

void configureLog() {
    KDebug::setDebugLevel(CollectorHost::stream(), static_cast<int>(TREL_G(log_level)));
    const char* file = TREL_G(log_file);
    if (file && *file && !KDebug::setStreamFile(CollectorHost::stream(), QString::fromUtf8(file)))
        KDebug::create(CollectorHost::stream(), 0)
            << "trel: cannot open the log file" << QString::fromUtf8(file)
            << "- logging to standard error" << kflush;
}

} // namespace

KTrel* CollectorHost::acquire() {
    const pid_t pid = getpid();
    if (ownerPid == pid)
        return unusable ? nullptr : collector;
    if (ownerPid != 0) {
        // Inherited from the process that forked this one: its connections are shared
        // with the parent, so this process does without.
        ownerPid = pid;
        unusable = true;
        collector = nullptr;
        failed("start", "the collector was created before this process was forked");
        return nullptr;
    }
    ownerPid = pid;
    unusable = true;
    guard("start", [] {
        configureLog();
        const QString root = QString::fromUtf8(TREL_G(root));
        KolvServerInfo info;
        QString error;
        if (!info.load(root, &error)) {
            KDebug::create(stream(), 0)
                << "trel: the installation at" << root << "cannot be used:" << error
                << "- requests are not collected" << kflush;
            return;
        }
        KTrel* trel = KTrel::instance();
        createdHere = true;
        trel->initialize(info, stream());
        // The collector owns the generator from here on.
        if (!trel->getBacktraceGenerator())
            trel->setBacktraceGenerator(new EngineBacktraceGenerator);
        collector = trel;
        unusable = false;
    });
    return unusable ? nullptr : collector;
}

KTrel* CollectorHost::current() {
    return ownerPid == getpid() && !unusable ? collector : nullptr;
}

void CollectorHost::release() {
    if (ownerPid != getpid() || !createdHere)
        return;
    guard("shutdown", [] { KTrel::release(); });
    collector = nullptr;
    createdHere = false;
    unusable = true;
}

void CollectorHost::failed(const char* where, const char* what) noexcept {
    try {
        if (!reportedFailures.insert(where).second)
            return;
        KDebug::create(stream(), 0)
            << QString::fromUtf8("trel: %1:").arg(QString::fromUtf8(where)) << what << kflush;
    } catch (...) {
    }
}
