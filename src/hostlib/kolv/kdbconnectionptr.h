#ifndef KOLV_KDBCONNECTIONPTR_H
#define KOLV_KDBCONNECTIONPTR_H

#include <kolv/kdbconnection.h>
#include <kolv/kolv_export.h>

#include <memory>

// Shared handle on a pooled connection. Copies share the connection; when the last
// copy is released the connection goes back to its pool (or is closed when the pool
// is gone). A default handle is empty.
class KOLV_EXPORT KDbConnectionPtr {
public:
    KDbConnectionPtr();
    explicit KDbConnectionPtr(std::shared_ptr<KDbConnection> connection);
    KDbConnectionPtr(const KDbConnectionPtr& other);
    KDbConnectionPtr& operator=(const KDbConnectionPtr& other);
    ~KDbConnectionPtr();

    KDbConnection* operator->() const { return m_connection.get(); }
    KDbConnection* get() const { return m_connection.get(); }
    bool isNull() const { return !m_connection; }
    explicit operator bool() const { return static_cast<bool>(m_connection); }
    void reset();

private:
    std::shared_ptr<KDbConnection> m_connection;
};

#endif
