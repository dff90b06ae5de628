#include <trel/ktrel.h>

#include "core/ktrellog.h"
#include "storage/kwaitbudget.h"

#include <kolv/kexception.h>

#include <QFile>

KTrel* KTrel::self = nullptr;

namespace {
const int IdCacheCapacity = 100;

// Without them a server that stops answering holds the worker for as long as the
// operating system keeps the socket. A statement that sends or receives nothing for
// 10 s is given up (the connection is then lost), so a single statement that runs
// longer on the server, such as a very large cleanup, fails and is reported.
const char* const MySqlTimeouts =
    "MYSQL_OPT_CONNECT_TIMEOUT=3;MYSQL_OPT_READ_TIMEOUT=10;MYSQL_OPT_WRITE_TIMEOUT=10";

// A named socket takes the place of host and port.
QString mySqlOptions(const KolvServerInfo& info) {
    QString options = QLatin1String(MySqlTimeouts);
    if (!info.getDbSocket().isEmpty())
        options += QStringLiteral(";UNIX_SOCKET=") + info.getDbSocket();
    return options;
}

// Reads a bar template; a file that cannot be opened gives the level-0 line and an
// empty template.
QString readTemplate(const QString& path, KDebug::StreamId stream) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        // Reading a file that did not open would add Qt's own warning to this line.
        trelLog(stream, 0) << "Unable to open" << file.fileName() << file.errorString() << kflush;
        return QString();
    }
    const QString text = QString::fromUtf8(file.readAll());
    file.close();
    return text;
}
} // namespace

KTrel* KTrel::instance() {
    if (!self)
        self = new KTrel();
    return self;
}

void KTrel::release() {
    delete self;
    self = nullptr;
}

KTrel::KTrel()
    : initialized(false), debugStream(1), barEnabled(true), collectionEnabled(true),
      headerSent(false), footerSent(false), urlIdCache(IdCacheCapacity),
      statementIdCache(IdCacheCapacity), writtenToDb(false), outputState(0), requestId(0),
      isPrimaryPage(false), outputIsGzipped(false), eventCollectionEnabled(true),
      enableDatabaseWrite(true), backtraceGenerator(nullptr), enabledCallback(nullptr) {
    reset();
}

KTrel::~KTrel() {
    delete backtraceGenerator;
    backtraceGenerator = nullptr;
    heldConnection.reset();
    releaseConnection();
}

void KTrel::initialize(const KolvServerInfo& info, KDebug::StreamId stream) {
    if (initialized)
        return;
    serverInfo = info;
    debugStream = stream;

    footerTemplate = readTemplate(
        QStringLiteral("%1/share/scripts/trel_footer.html").arg(info.getRoot()), debugStream);
    trelLog(debugStream, 5) << "Trel: read footer:" << footerTemplate << kflush;
    headerTemplate = readTemplate(
        QStringLiteral("%1/share/scripts/trel_header.html").arg(info.getRoot()), debugStream);
    trelLog(debugStream, 5) << "Trel: read header:" << headerTemplate << kflush;

    const QString type = info.getDbType();
    if (type == QLatin1String("QMYSQL") || type == QLatin1String("DRIZZLE") ||
        type == QLatin1String("MYSQL")) {
        trelLog(debugStream, 3) << "Trel: Database connection is configured for MySQL" << kflush;
        // The client takes the socket only for the host "localhost".
        db.initMySQL(info.getDbSocket().isEmpty() ? info.getDbHostName()
                                                  : QStringLiteral("localhost"),
                     info.getDbUsername(), info.getDbPassword(), info.getDbName(),
                     static_cast<unsigned int>(info.getDbPort()), mySqlOptions(info));
    } else {
        trelLog(debugStream, 3) << "Trel: Database connection is configured for SQLite" << kflush;
    }

    {
        // One budget for the three loads: a database that does not answer costs the
        // worker's start one bound, not three.
        KWaitBudget budget;
        refreshUrlsCache();
        refreshStatementsCache();
        loadUserAgentTable();
    }
    initialized = true;
}

void KTrel::reset() {
    pageId.clear();
    ownerHash.clear();
    request.reset();
    barEnabled = true;
    collectionEnabled = true;
    headerSent = false;
    footerSent = false;
    requestOutput.clear();
    sqlQueries.clear();
    writtenToDb = false;
    phpErrors.clear();
    lastErrorKept = false;
    context = Context();
    outputState = 0;
    requestId = 0;
    isPrimaryPage = false;
    functionsStats.clear();
    eventAggKeys.clear();
    outputIsGzipped = false;
    gzippedOutput.clear();
    eventCollectionEnabled = true;
    superGlobalSamples.clear();
    backtraces.clear();
    backtraceChars = 0;
    notKept = NotKept();
    maskedValues.clear();
}

void KTrel::setRequestId(qint64 id) {
    requestId = id;
}

qint64 KTrel::getRequestId() const {
    return requestId;
}
