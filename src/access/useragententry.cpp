#include <trel/ktrel.h>

#include <QSqlRecord>
#include <QVariant>

KTrel::UserAgentEntry::UserAgentEntry() : id(-1) {}

KTrel::UserAgentEntry::UserAgentEntry(const QSqlRecord& record)
    : id(record.value(0).toInt()), userAgent(record.value(1).toString()),
      extra(record.value(2).toString()), agentString(record.value(3).toString()) {}

bool KTrel::UserAgentEntry::compile() {
    regExp = QRegExp(agentString, Qt::CaseInsensitive, QRegExp::RegExp);
    return regExp.isValid();
}

QString KTrel::UserAgentEntry::toString() const {
    return QStringLiteral("User-Agent: %1, Agent String: %2").arg(userAgent, agentString);
}

bool KTrel::UserAgentEntry::matches(const QString& text) const {
    return regExp.indexIn(text, 0) != -1;
}
