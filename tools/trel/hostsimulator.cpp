#include "hostsimulator.h"

#include "simbacktracegenerator.h"
#include "toollog.h"

#include <trel/ktrel.h>

#include <QDateTime>

#include <cstdarg>

namespace {

timeval toTimeval(qint64 microseconds) {
    timeval value;
    value.tv_sec = static_cast<time_t>(microseconds / 1000000);
    value.tv_usec = static_cast<suseconds_t>(microseconds % 1000000);
    return value;
}

// The engine hands a warning's format and arguments over as it got them.
void addFormattedError(KTrel* trel, int type, const char* file, unsigned int line, int backtraceId,
                       const char* format, ...) {
    va_list args;
    va_start(args, format);
    trel->addPhpErrorWithArgs(type, file, line, format, backtraceId, args);
    va_end(args);
}

} // namespace

HostSimulator::HostSimulator(const KolvServerInfo& settings)
    : m_trel(KTrel::instance()), m_generator(new SimBacktraceGenerator) {
    m_trel->initialize(settings, KDebug::StreamId(ToolLog::Stream));
    m_trel->setBacktraceGenerator(m_generator);
}

HostSimulator::~HostSimulator() {
    KTrel::release();
}

HostSimulator::Outcome HostSimulator::serve(const SimulatedRequest& request) {
    ToolLog::startCapture(0);
    m_trel->reset();
    m_trel->setPageId(request.pageId);
    m_trel->setRequest(request.url);
    m_trel->setRequestMethod(request.method);
    m_trel->setRequestStartTime(QDateTime::currentDateTime());
    m_trel->setIsPrimaryPage(request.primaryPage);
    if (request.primaryPage)
        m_trel->setPrimaryUrl(request.url);
    m_trel->getRequest().setMemoryLimit(request.memoryLimit);

    const bool allowed = decideAccess(request);
    if (allowed)
        runScript(request);

    // The host always ends the request with write(); the collector stores nothing for
    // a request it was told not to collect.
    m_trel->write();
    const bool failed = ToolLog::sawLine(QStringLiteral("KTrel::write:"), 0);
    m_trel->setWrittenToDb(allowed && !failed);
    ToolLog::stopCapture();
    if (!allowed)
        return Refused;
    return failed ? Failed : Written;
}

bool HostSimulator::decideAccess(const SimulatedRequest& request) {
    // A browser that presents no token is not asked about; the others must be an
    // allowed user agent with a token that covers the URL.
    bool allowed = false;
    if (!request.token.isEmpty() && m_trel->isAgentAllowed(request.userAgent)) {
        QString allowedHosts;
        qint64 ttl = 0;
        allowed =
            m_trel->isTokenOK(request.token, allowedHosts, ttl, KDebug::StreamId(ToolLog::Stream));
    }
    m_trel->setCollectionEnabled(allowed);
    m_trel->setBarEnabled(allowed);
    m_trel->setEventCollectionEnabled(allowed);
    return allowed;
}

void HostSimulator::addError(const SimulatedError& error) {
    int backtraceId = -1;
    if (!error.frames.isEmpty()) {
        m_generator->moveTo(error.frames, error.file, error.line);
        backtraceId = m_trel->addBacktrace(m_generator->generateBacktrace());
    }
    const QByteArray file = error.file.toUtf8();
    const unsigned int line = static_cast<unsigned int>(error.line);
    if (error.format.isEmpty()) {
        m_trel->addPhpError(error.type, file.constData(), line, error.message.toUtf8().constData(),
                            backtraceId);
        return;
    }
    // Errors under PHP's @ operator carry the request's silenced flag.
    m_trel->getRequest().setErrorsSilenced(error.silenced);
    if (error.format.contains("%s"))
        addFormattedError(m_trel, error.type, file.constData(), line, backtraceId,
                          error.format.constData(), error.textArgument.constData());
    else
        addFormattedError(m_trel, error.type, file.constData(), line, backtraceId,
                          error.format.constData(), error.numberArgument);
    m_trel->getRequest().setErrorsSilenced(false);
}

void HostSimulator::runScript(const SimulatedRequest& request) {
    for (const SimulatedSample& sample : request.samples) {
        if (sample.type == KTrel::SAMPLE_START)
            m_trel->addSerializedSuperGlobal(sample.name, sample.data, sample.type);
    }

    qint64 databaseTime = 0;
    for (int i = 0; i <= request.queries.size(); ++i) {
        for (const SimulatedError& error : request.errors) {
            if (error.afterQuery == i)
                addError(error);
        }
        if (i == request.queries.size())
            break;
        const SimulatedQuery& simulated = request.queries.at(i);
        KTrel::SqlQuery query;
        query.preparedStatement = simulated.prepared;
        query.resolvedStatement = simulated.resolved;
        query.hasPreparedStatement = simulated.hasPrepared;
        query.status = simulated.status;
        query.errorMessage = simulated.error;
        query.rowsAffected = simulated.rows;
        query.queryTime = simulated.time;
        query.transactionId = simulated.transaction;
        // The collector asks the generator for the stack, the file and the line.
        m_generator->moveTo(simulated.frames, simulated.file, simulated.line);
        m_trel->addRequestSqlQuery(query);
        databaseTime += simulated.time;
    }

    // The engine reports the breakdown as the request goes: the database time so far
    // (replaced each time), and each outbound call and piece of local work (summed).
    const timeval none = toTimeval(0);
    for (qint64 call : request.networkCalls)
        m_trel->addProcessingBreakdownData(toTimeval(databaseTime), toTimeval(call),
                                           toTimeval(request.otherTime), none);
    for (qint64 work : request.localWork)
        m_trel->addProcessingBreakdownData(toTimeval(databaseTime), none,
                                           toTimeval(request.otherTime), toTimeval(work));
    m_trel->addProcessingBreakdownData(toTimeval(databaseTime), none, toTimeval(request.otherTime),
                                       none);

    QHash<QByteArray, KFunctionStats>& stats = m_trel->getFunctionsStats();
    for (const SimulatedCall& call : request.calls) {
        const QByteArray key = call.scope + "::" + call.name;
        auto it = stats.find(key);
        if (it == stats.end()) {
            KFunctionStats entry;
            entry.setFunctionScope(call.scope);
            entry.setFunctionName(call.name);
            entry.setFilename(call.file);
            entry.setLine(call.line);
            it = stats.insert(key, entry);
        }
        for (int i = 0; i < call.calls; ++i)
            it->incrementCalls();
        it->updateTimers(call.exclusive, call.inclusive);
    }

    if (m_trel->isEventCollectionEnabled()) {
        for (const QByteArray& key : request.events)
            m_trel->addEventAggKey(key);
    }

    for (const SimulatedSample& sample : request.samples) {
        if (sample.type != KTrel::SAMPLE_START)
            m_trel->addSerializedSuperGlobal(sample.name, sample.data, sample.type);
    }

    m_trel->setRequestStatus(request.status);
    m_trel->setRequestTime(request.requestTime);
    m_trel->getRequest().setPeakMemoryUsage(request.peakMemory);

    if (m_trel->isBarEnabled()) {
        m_trel->setBodyStarted();
        m_trel->appendRequestOutput(m_trel->getHeaderTemplate());
        m_trel->setHeaderSent();
        m_trel->appendRequestOutput(QStringLiteral("%1 %2 &middot; %3 queries &middot; %4 errors")
                                        .arg(request.method)
                                        .arg(request.status)
                                        .arg(request.queries.size())
                                        .arg(request.errors.size()));
        m_trel->appendRequestOutput(m_trel->getFooterTemplate());
        m_trel->setFooterSent(true);
    }
}
