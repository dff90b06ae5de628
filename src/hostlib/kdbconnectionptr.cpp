#include <kolv/kdbconnectionptr.h>

KDbConnectionPtr::KDbConnectionPtr() = default;

KDbConnectionPtr::KDbConnectionPtr(std::shared_ptr<KDbConnection> connection)
    : m_connection(std::move(connection)) {}

KDbConnectionPtr::KDbConnectionPtr(const KDbConnectionPtr& other) = default;

KDbConnectionPtr& KDbConnectionPtr::operator=(const KDbConnectionPtr& other) = default;

KDbConnectionPtr::~KDbConnectionPtr() = default;

void KDbConnectionPtr::reset() { m_connection.reset(); }
