#ifndef TREL_STRESS_COLLECTORSESSION_H
#define TREL_STRESS_COLLECTORSESSION_H

#include <trel/ktrel.h>

#include <QString>

// The process's collector, initialised as a host initialises it from an installation's
// settings; released at the end of the scope.
class CollectorSession {
public:
    static const std::uint32_t Stream = 7;

    CollectorSession() = default;
    ~CollectorSession();
    CollectorSession(const CollectorSession&) = delete;
    CollectorSession& operator=(const CollectorSession&) = delete;

    // busyTimeoutMs < 0 keeps the registry's default for SQLite connections.
    bool start(const QString& root, int busyTimeoutMs, QString* error);
    KTrel* trel() const { return m_trel; }

private:
    KTrel* m_trel = nullptr;
};

#endif
