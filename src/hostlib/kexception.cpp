#include <kolv/kexception.h>

KException::KException(const char* message) : m_message(message ? message : "") {}

KException::KException(const QString& message) : m_message(message.toUtf8()) {}

KException::KException(const KException& other) = default;

KException& KException::operator=(const KException& other) = default;

KException::~KException() = default;

const char* KException::what() const noexcept { return m_message.constData(); }
