#include <trel/ktrel.h>

#include "data/phperrortypename.h"

QString phpErrorTypeName(int type) {
    switch (type) {
    case 1:
        return QStringLiteral("E_ERROR");
    case 2:
        return QStringLiteral("E_WARNING");
    case 4:
        return QStringLiteral("E_PARSE");
    case 8:
        return QStringLiteral("E_NOTICE");
    case 16:
        return QStringLiteral("E_CORE_ERROR");
    case 32:
        return QStringLiteral("E_CORE_WARNING");
    case 64:
        return QStringLiteral("E_COMPILE_ERROR");
    case 128:
        return QStringLiteral("E_COMPILE_WARNING");
    case 256:
        return QStringLiteral("E_USER_ERROR");
    case 512:
        return QStringLiteral("E_USER_WARNING");
    case 1024:
        return QStringLiteral("E_USER_NOTICE");
    case 2048:
        return QStringLiteral("E_STRICT "); // the stored name keeps its trailing blank
    case 4096:
        return QStringLiteral("E_RECOVERABLE_ERROR");
    case 8192:
        return QStringLiteral("E_DEPRECATED");
    case 16384:
        return QStringLiteral("E_USER_DEPRECATED");
    default:
        return QStringLiteral("[unknown %1]").arg(type, 0, 10, QLatin1Char(' '));
    }
}

namespace {

void cutMessage(QString& message) {
    if (message.size() <= KTrel::MaxErrorMessageChars)
        return;
    const int size = message.size();
    message.truncate(KTrel::MaxErrorMessageChars);
    message += QStringLiteral(" [cut, %1 characters in all]").arg(size);
}

} // namespace

void KTrel::addPhpError(int type, const char* filename, unsigned int line, const char* message,
                        int backtraceId) {
    lastErrorKept = false;
    if (phpErrors.size() >= limits.errors) {
        ++notKept.errors;
        return;
    }
    PhpError entry;
    entry.time = QDateTime::currentDateTime();
    entry.message = QString::fromUtf8(message);
    cutMessage(entry.message);
    entry.filename = QString::fromUtf8(filename);
    entry.line = static_cast<int>(line);
    entry.type = phpErrorTypeName(type);
    entry.backtraceId = backtraceId;
    phpErrors.append(entry);
    lastErrorKept = true;
}

void KTrel::addPhpErrorWithArgs(int type, const char* filename, unsigned int line,
                                const char* format, int backtraceId, va_list args) {
    lastErrorKept = false;
    if (phpErrors.size() >= limits.errors) {
        ++notKept.errors;
        return;
    }
    PhpError entry;
    entry.time = QDateTime::currentDateTime();
    entry.message = QString::vasprintf(format ? format : "", args);
    cutMessage(entry.message);
    entry.filename = QString::fromUtf8(filename);
    entry.line = static_cast<int>(line);
    entry.type = phpErrorTypeName(type);
    entry.backtraceId = backtraceId;
    entry.silenced = request.isErrorsSilenced();
    phpErrors.append(entry);
    lastErrorKept = true;
}

const KTrel::PhpError& KTrel::getLastPHPError() {
    static const PhpError noError;
    if (phpErrors.isEmpty())
        return noError;
    return phpErrors.last();
}

void KTrel::setLastErrorDetails(qint64 startUs,
                                const QSharedPointer<UncaughtException>& exception) {
    if (!lastErrorKept || phpErrors.isEmpty())
        return;
    PhpError& error = phpErrors.last();
    error.startUs = startUs;
    error.exception = exception;
}
