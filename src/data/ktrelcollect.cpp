#include <trel/ktrel.h>

#include <kolv/kexception.h>

void KTrel::setBacktraceGenerator(IBacktraceGenerator* generator) {
    backtraceGenerator = generator;
}

IBacktraceGenerator* KTrel::getBacktraceGenerator() {
    return backtraceGenerator;
}

int KTrel::addBacktrace(const QString& text) {
    if (backtraceChars + text.size() > limits.backtraceChars)
        return -1;
    backtraceChars += text.size();
    backtraces.append(text);
    return static_cast<int>(backtraces.size() - 1);
}

void KTrel::setLimits(const Limits& value) {
    limits = value;
}

const KTrel::Limits& KTrel::getLimits() const {
    return limits;
}

const KTrel::NotKept& KTrel::getNotKept() const {
    return notKept;
}

bool KTrel::isErrorBacktraceWanted() const {
    return phpErrors.size() < limits.errors && backtraceChars < limits.backtraceChars;
}

const QString& KTrel::getBacktraceById(int id) {
    if (id < 0 || id >= backtraces.size())
        throw KException("Could not find backtrace. ID out of bounds");
    return backtraces.at(id);
}

void KTrel::addRequestSqlQuery(SqlQuery& query) {
    if (sqlQueries.size() >= limits.queries) {
        ++notKept.queries;
        notKept.queryTime += query.queryTime;
        notKept.rows += query.rowsAffected;
        if (query.status != 0 || !query.errorMessage.isEmpty())
            ++notKept.failedQueries;
        return;
    }
    if (IBacktraceGenerator* generator = getBacktraceGenerator()) {
        if (backtraceChars < limits.backtraceChars)
            query.backtraceId = addBacktrace(generator->generateBacktrace());
        generator->getFileAndLine(query.fileName, query.lineNumber);
    }
    sqlQueries.append(query);
}

QHash<QByteArray, KFunctionStats>& KTrel::getFunctionsStats() {
    return functionsStats;
}

void KTrel::addEventAggKey(const QByteArray& key) {
    if (key.isEmpty())
        return;
    eventAggKeys.insert(key);
}

const std::set<QByteArray>& KTrel::getEventAggKeys() const {
    return eventAggKeys;
}

void KTrel::addSerializedSuperGlobal(const QByteArray& name, const QByteArray& data,
                                     SG_SAMPLING_TYPE type) {
    SuperGlobalSample sample;
    sample.name = name;
    sample.data = data;
    sample.sampleType = type;
    superGlobalSamples.append(sample);
}

namespace {
qint64 toMicroseconds(const timeval& value) {
    // Wraps instead of overflowing on absurd values the host may pass.
    return static_cast<qint64>(static_cast<quint64>(value.tv_sec) * 1000000u +
                               static_cast<quint64>(value.tv_usec));
}
} // namespace

void KTrel::addProcessingBreakdownData(timeval databaseTime, timeval networkTime, timeval otherTime,
                                       timeval localTime) {
    request.setDatabaseTime(toMicroseconds(databaseTime));
    request.addNetworkTime(toMicroseconds(networkTime));
    request.setOtherTime(toMicroseconds(otherTime));
    request.addLocalTime(toMicroseconds(localTime));
}

const char* KTrel::SuperGlobalSample::sampleTypeName() const {
    switch (static_cast<int>(sampleType)) {
    case SAMPLE_START:
        return "SAMPLE_START";
    case SAMPLE_END:
        return "SAMPLE_END";
    default:
        return "";
    }
}

void KTrel::addLogMessage(const QString& message, qint64 startUs) {
    if (context.logMessages.size() >= limits.errors) {
        ++context.logMessagesNotKept;
        return;
    }
    context.logMessages.append(LogMessage{message.left(MaxErrorMessageChars), startUs});
}

void KTrel::addResponseHeader(const QString& name, const QString& value) {
    if (name.compare(QLatin1String("Set-Cookie"), Qt::CaseInsensitive) != 0) {
        context.responseHeaders.append({name, value});
        return;
    }
    // "name=value; Path=/; HttpOnly": the value alone is hidden, here and everywhere else.
    const qsizetype end = value.indexOf(QLatin1Char(';'));
    const QString pair = end < 0 ? value : value.left(end);
    const QString attributes = end < 0 ? QString() : value.mid(end);
    const qsizetype equals = pair.indexOf(QLatin1Char('='));
    const QString cookie = equals < 0 ? QString() : pair.left(equals);
    const QByteArray secret = (equals < 0 ? pair : pair.mid(equals + 1)).trimmed().toUtf8();
    addMaskedValue(secret);
    addMaskedValue(QByteArray::fromPercentEncoding(secret));
    context.responseHeaders.append(
        {name,
         QStringLiteral("%1=***(%2 bytes)%3").arg(cookie).arg(secret.size()).arg(attributes)});
}
