#include "collectorhost.h"

#include "enginebacktracegenerator.h"
#include "php_trel.h"

#include <trel/ktrel.h>

#include <kolv/kolvdbsqliteinfo.h>
#include <kolv/kolvinstallationwatch.h>
#include <kolv/kolvserverinfo.h>

#include <set>
#include <string>
#include <time.h>
#include <unistd.h>

namespace {

// The process that read the installation; a forked child must not use its parent's
// collector.
pid_t ownerPid = 0;
// The collector was made before this process was forked: it stays without one.
bool inherited = false;
KTrel* collector = nullptr;
bool createdHere = false;
bool unusable = false;
// What the installation was when it was read, and what it says, for phpinfo().
KolvInstallationWatch watch;
// The trel.root the collector was read from: a request that names another (an Apache
// virtual host's php_admin_value) makes the process switch installations.
std::string readRoot;
QString described;
// When follow() looks at the installation next, on the coarse monotonic clock.
qint64 nextLookMs = 0;
constexpr qint64 LookIntervalMs = 1000;
std::set<std::string> reportedFailures;

void configureLog() {
    KDebug::setDebugLevel(CollectorHost::stream(), static_cast<int>(TREL_G(log_level)));
    const char* file = TREL_G(log_file);
    if (file && *file && !KDebug::setStreamFile(CollectorHost::stream(), QString::fromUtf8(file)))
        KDebug::create(CollectorHost::stream(), 0)
            << "trel: cannot open the log file" << QString::fromUtf8(file)
            << "- logging to standard error" << kflush;
}

QString describe(const KolvServerInfo& info) {
    if (!info.isMySQL())
        return QStringLiteral("SQLite database %1")
            .arg(KolvDbSQliteInfo::get(info.getRoot()).databasePath(KolvDbSQliteInfo::DAEMON_TREL));
    const QString server =
        info.getDbSocket().isEmpty()
            ? QStringLiteral("%1:%2").arg(info.getDbHostName()).arg(info.getDbPort())
            : info.getDbSocket();
    return QStringLiteral("MariaDB/MySQL database %1 on %2, user %3")
        .arg(info.getDbName(), server, info.getDbUsername());
}

qint64 coarseMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<qint64>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Releases the collector and its connections; the next acquire() reads the
// installation again.
void forget() {
    if (createdHere)
        CollectorHost::guard("installation change", [] { KTrel::release(); });
    collector = nullptr;
    createdHere = false;
    unusable = false;
    ownerPid = 0;
    readRoot.clear();
    described.clear();
}

void noteChange() {
    const QString root = QString::fromUtf8(TREL_G(root));
    forget();
    if (KDebug::getDebugLevel(CollectorHost::stream()) >= 1)
        KDebug::create(CollectorHost::stream(), 1)
            << "trel: the installation at" << root
            << "changed: its collector is released and made again for the next request "
               "with a token"
            << kflush;
}

void noteSwitch(const char* root) {
    const QString before = QString::fromStdString(readRoot);
    forget();
    if (KDebug::getDebugLevel(CollectorHost::stream()) >= 1)
        KDebug::create(CollectorHost::stream(), 1)
            << "trel: this request names the installation at" << QString::fromUtf8(root)
            << "- the collector of" << before << "is released" << kflush;
}

} // namespace

KTrel* CollectorHost::acquire() {
    const pid_t pid = getpid();
    const char* root = TREL_G(root);
    if (inherited || !root || !*root)
        return nullptr;
    if (ownerPid != 0 && ownerPid != pid) {
        // Inherited from the process that forked this one: its connections are shared
        // with the parent, so this process does without.
        ownerPid = pid;
        inherited = true;
        collector = nullptr;
        failed("start", "the collector was created before this process was forked");
        return nullptr;
    }
    if (ownerPid == pid && readRoot != root)
        noteSwitch(root);
    if (ownerPid == pid) {
        if (!watch.changed())
            return unusable ? nullptr : collector;
        noteChange();
    }
    ownerPid = pid;
    readRoot = root;
    unusable = true;
    nextLookMs = coarseMs() + LookIntervalMs;
    guard("start", [] {
        configureLog();
        const QString root = QString::fromUtf8(TREL_G(root));
        // Looked at before it is read: a change while it is read shows at the next look.
        watch = KolvInstallationWatch(root);
        watch.changed();
        KolvServerInfo info;
        QString error;
        if (!info.load(root, &error)) {
            described = QStringLiteral("none: ") + error;
            KDebug::create(stream(), 0)
                << "trel: the installation at" << root << "cannot be used:" << error
                << "- requests are not collected" << kflush;
            return;
        }
        described = describe(info);
        if (KDebug::getDebugLevel(stream()) >= 1)
            KDebug::create(stream(), 1) << "trel: reading the installation at" << root
                                        << "in process" << getpid() << "-" << described << kflush;
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

void CollectorHost::follow() noexcept {
    // Nothing to follow before the installation was read, nor in a forked child.
    if (ownerPid == 0 || inherited)
        return;
    const qint64 now = coarseMs();
    if (now < nextLookMs)
        return;
    nextLookMs = now + LookIntervalMs;
    if (ownerPid != getpid())
        return;
    guard("installation change", [] {
        if (watch.changed())
            noteChange();
    });
}

QString CollectorHost::installationText() {
    if (inherited)
        return QStringLiteral("none: the collector was created before this process was forked");
    if (ownerPid == 0 || ownerPid != getpid())
        return QStringLiteral("not read yet in this process (at its first request with a token)");
    const char* root = TREL_G(root);
    if (!root || readRoot != root)
        return QStringLiteral("%1, read from the installation at %2 for an earlier request; this "
                              "request's is read at its first request with a token")
            .arg(described, QString::fromStdString(readRoot));
    return described;
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
