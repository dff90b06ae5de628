#include <trel/ktrel.h>

#include <kolv/kexception.h>

void KTrel::setBacktraceGenerator(IBacktraceGenerator* generator) {
    backtraceGenerator = generator;
}

IBacktraceGenerator* KTrel::getBacktraceGenerator() { return backtraceGenerator; }

int KTrel::addBacktrace(const QString& text) {
    backtraces.append(text);
    return static_cast<int>(backtraces.size() - 1);
}

const QString& KTrel::getBacktraceById(int id) {
    if (id < 0 || id >= backtraces.size())
        throw KException("Could not find backtrace. ID out of bounds");
    return backtraces.at(id);
}

void KTrel::addRequestSqlQuery(SqlQuery& query) {
    if (IBacktraceGenerator* generator = getBacktraceGenerator()) {
        const QString text = generator->generateBacktrace();
        query.backtraceId = static_cast<int>(backtraces.size());
        backtraces.append(text);
        generator->getFileAndLine(query.fileName, query.lineNumber);
    }
    sqlQueries.append(query);
}

QHash<QByteArray, KFunctionStats>& KTrel::getFunctionsStats() { return functionsStats; }

void KTrel::addEventAggKey(const QByteArray& key) {
    if (key.isEmpty())
        return;
    eventAggKeys.insert(key);
}

const std::set<QByteArray>& KTrel::getEventAggKeys() const { return eventAggKeys; }

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

void KTrel::addProcessingBreakdownData(timeval databaseTime, timeval networkTime,
                                       timeval otherTime, timeval localTime) {
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
