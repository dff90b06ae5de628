#include <trel/ktrel.h>

namespace {
// Sums of host-supplied times wrap rather than overflow.
qint64 wrappingAdd(qint64 a, qint64 b) {
    return static_cast<qint64>(static_cast<quint64>(a) + static_cast<quint64>(b));
}
} // namespace

KTrel::Request::Request()
    : status(0), requestTime(0), databaseTime(0), networkTime(0), localTime(0), otherTime(0),
      peakMemoryUsage(0), breakdownFrozen(false), memoryLimit(0), errorsSilenced(false) {}

void KTrel::Request::addNetworkTime(qint64 value) {
    if (!breakdownFrozen)
        networkTime = wrappingAdd(networkTime, value);
}

void KTrel::Request::addLocalTime(qint64 value) {
    if (!breakdownFrozen)
        localTime = wrappingAdd(localTime, value);
}

qint64 KTrel::Request::getPhpTime() const {
    if (requestTime <= 0)
        return 0;
    const qint64 php = static_cast<qint64>(
        static_cast<quint64>(requestTime) - static_cast<quint64>(databaseTime) -
        static_cast<quint64>(networkTime) - static_cast<quint64>(localTime));
    return php < 0 ? 0 : php;
}

void KTrel::Request::reset() {
    url.clear();
    method.clear();
    status = 0;
    requestTime = 0;
    databaseTime = 0;
    networkTime = 0;
    localTime = 0;
    otherTime = 0;
    peakMemoryUsage = 0;
    memoryLimit = 0;
    errorsSilenced = false;
}

void KTrel::setRequest(const QString& url) { request.setUrl(url); }
void KTrel::setRequestMethod(const QString& method) { request.setMethod(method); }
void KTrel::setRequestStatus(int status) { request.setStatus(status); }
void KTrel::setRequestStartTime(const QDateTime& time) { request.setStartTime(time); }
void KTrel::setRequestTime(qint64 microseconds) { request.setRequestTime(microseconds); }
KTrel::Request& KTrel::getRequest() { return request; }

void KTrel::setPageId(const QString& id) { pageId = id; }
const QString& KTrel::getPageId() const { return pageId; }
bool KTrel::isValid() const { return !pageId.isEmpty(); }
void KTrel::setPrimaryUrl(const QString& url) { primaryUrl = url; }
const QString& KTrel::getPrimaryUrl() const { return primaryUrl; }
void KTrel::setIsPrimaryPage(bool primary) { isPrimaryPage = primary; }
bool KTrel::getIsPrimaryPage() const { return isPrimaryPage; }
void KTrel::setHeaderSent() { headerSent = true; }
bool KTrel::isHeaderSent() const { return headerSent; }
void KTrel::setFooterSent(bool sent) { footerSent = sent; }
bool KTrel::isFooterSent() const { return footerSent; }
void KTrel::appendRequestOutput(const QString& text) { requestOutput += text; }
const QString& KTrel::getRequestOutput() const { return requestOutput; }
void KTrel::setOutputState(int state) { outputState = state; }
int KTrel::getOutputState() const { return outputState; }
void KTrel::setBodyStarted() { outputState |= 1; }
bool KTrel::getBodyStarted() const { return (outputState & 1) != 0; }
void KTrel::setIsBufferingOutput() { outputState |= 8; }
bool KTrel::isBufferingOutput() const { return (outputState & 8) != 0; }

void KTrel::addGzippedOutput(const char* data, int length) {
    if (!data || length <= 0)
        return;
    gzippedOutput.append(data, length);
}

bool KTrel::hasGzippedOutput() const { return !gzippedOutput.isEmpty(); }
const QByteArray& KTrel::getGZippedOutput() const { return gzippedOutput; }
void KTrel::setOutputIsGzipped(bool gzipped) { outputIsGzipped = gzipped; }
bool KTrel::getOutputIsGzipped() const { return outputIsGzipped; }
void KTrel::setWrittenToDb(bool written) { writtenToDb = written; }
bool KTrel::getWrittenToDb() const { return writtenToDb; }
QString KTrel::getHeaderTemplate() const { return headerTemplate; }
QString KTrel::getFooterTemplate() const { return footerTemplate; }
