#ifndef KOLV_KEXCEPTION_H
#define KOLV_KEXCEPTION_H

#include <kolv/kolv_export.h>

#include <QByteArray>
#include <QString>

#include <exception>

// The exception of the host library: carries a message, returned by what() as UTF-8.
// Thrown by value, caught by reference.
class KOLV_EXPORT KException : public std::exception {
public:
    explicit KException(const char* message);
    explicit KException(const QString& message);
    KException(const KException& other);
    KException& operator=(const KException& other);
    ~KException() override;

    const char* what() const noexcept override;

private:
    QByteArray m_message;
};

#endif
