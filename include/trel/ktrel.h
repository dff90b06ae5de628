#ifndef TREL_KTREL_H
#define TREL_KTREL_H

#include <trel/ibacktracegenerator.h>
#include <trel/kdbconnhelper.h>
#include <trel/kfunctionstats.h>
#include <trel/trel_export.h>

#include <kolv/kdb.h>
#include <kolv/kdebug.h>
#include <kolv/kolvserverinfo.h>

#include <QByteArray>
#include <QCache>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSet>
#include <QSharedPointer>
#include <QSqlDatabase>
#include <QString>
#include <QtCore5Compat/QRegExp>

#include <sys/time.h>

#include <cstdarg>
#include <list>
#include <set>

class QSqlRecord;
class KTrelToken;

// The collector: one per process. The host obtains it with instance(), configures it
// once with initialize(), calls reset() before every request, feeds it the request's
// facts and diagnostics, and stores them with write(). It is called from one thread at
// a time and takes no lock.
//
// Nothing of ours propagates out of write(), the id look-ups, the cache refreshes,
// loadUserAgentTable() and isTokenOK(): their database failures are caught and logged
// (inside write(), a failed look-up but a duplicate ends the write, logged once by it).
// cleanupDb(), createAllowedHostsValue() and getBacktraceById() throw KException.
// Any member may let a standard exception through: std::bad_alloc when memory runs
// out, and whatever Qt or the standard library throw; the collector is then usable
// for the next request after reset(), but the current request is not stored. The C
// functions of ktrelcapi.h let nothing through.
//
// One call waits a bounded time for the database: on SQLite at most the wait budget
// (10 s) plus one busy timeout (2 s); on MySQL the connect (3 s), read (10 s) and
// write (10 s) timeouts bound each exchange with the server, and the budget bounds
// the retries and reconnections (docs/RELIABILITY.md gives the figures).
//
// Forking: the collector may be initialized before the host forks its workers. The
// host forks from the thread that calls the collector, outside any call of it; each
// process then opens its own connections, and a handle of getDatabase() obtained
// before the fork is not usable in the child.
class TREL_EXPORT KTrel {
public:
    // One frame of an exception's own trace: "Class->method()" or "function()", and where.
    struct TREL_EXPORT TraceFrame {
        QString call;
        QString file;
        int line = 0;
    };
    // The exception behind the fatal error "Uncaught ...": its class, message, where it
    // was made, and its own trace (innermost first, as PHP gives it).
    struct TREL_EXPORT UncaughtException {
        QString className;
        QString message;
        QString file;
        int line = 0;
        QList<TraceFrame> trace;
    };

    // Start offsets (`startUs`) are microseconds from the request's start, measured on the
    // clock of the request's time; -1 when not known.

    // A PHP error, warning or notice, as the collector keeps it.
    struct TREL_EXPORT PhpError {
        QDateTime time;
        QString type;
        QString message;
        QString filename;
        int line = 0;
        bool silenced = false;
        int backtraceId = 0;
        qint64 startUs = -1;
        QSharedPointer<UncaughtException> exception;
    };

    // One SQL query of the script, filled by the host.
    struct TREL_EXPORT SqlQuery {
        QString preparedStatement;
        QString resolvedStatement;
        int status = 0;
        QString extraText;
        int rowsAffected = 0;
        bool hasPreparedStatement = false;
        qint64 queryTime = 0;
        QString errorMessage;
        qint64 transactionId = 0;
        int backtraceId = -1;
        int lineNumber = 0;
        QString fileName;
        qint64 startUs = -1;
    };

    // What error_log() wrote.
    struct TREL_EXPORT LogMessage {
        QString message;
        qint64 startUs = -1;
    };
    // One of the costliest single calls of a user function: "Class::method" or "function".
    struct TREL_EXPORT Span {
        QString name;
        qint64 startUs = 0;
        qint64 timeUs = 0;
    };
    // The most spans a request keeps.
    static constexpr int MaxSpans = 20;
    // The request's context beyond its row: how the browser asked for it, what it
    // answered, what it logged and where its time went.
    struct TREL_EXPORT Context {
        // Made by a script (XMLHttpRequest, fetch()) rather than navigated to.
        bool xhr = false;
        QString referer;
        // As sent; Set-Cookie values masked (addResponseHeader()).
        QList<QPair<QString, QString>> responseHeaders;
        QList<LogMessage> logMessages;
        qint64 logMessagesNotKept = 0;
        // Longest first, at most MaxSpans.
        QList<Span> spans;
    };

    // What one request keeps in full, so that a page of any size costs its worker a
    // bounded amount of memory. The first `queries` SQL queries and `errors` PHP errors
    // are kept; the rest are counted (NotKept) and stored as one last row each, "N more
    // queries not kept" and "N more errors not kept", so that the totals stay whole. The
    // kept ones get backtraces until their text reaches `backtraceChars`, then none.
    struct TREL_EXPORT Limits {
        int queries = 1000;
        int errors = 500;
        qint64 backtraceChars = 1 << 20;
    };
    // Beyond the limits: how many queries (with their failures, time in microseconds and
    // affected rows) and errors were counted and not kept.
    struct TREL_EXPORT NotKept {
        qint64 queries = 0;
        qint64 failedQueries = 0;
        qint64 queryTime = 0;
        qint64 rows = 0;
        qint64 errors = 0;
    };
    // A kept error's message is cut to this many characters.
    static constexpr int MaxErrorMessageChars = 4096;

    // The request's facts and its processing-time breakdown (microseconds).
    class TREL_EXPORT Request {
    public:
        Request();

        const QString& getUrl() const { return url; }
        int getStatus() const { return status; }
        const QString& getMethod() const { return method; }
        const QDateTime& getStartTime() const { return startTime; }
        qint64 getRequestTime() const { return requestTime; }
        qint64 getDatabaseTime() const { return databaseTime; }
        qint64 getNetworkTime() const { return networkTime; }
        qint64 getLocalTime() const { return localTime; }
        qint64 getOtherTime() const { return otherTime; }
        const QList<SqlQuery>& getQueries() const { return queries; }
        qint64 getPeakMemoryUsage() const { return peakMemoryUsage; }
        bool isBreakdownFrozen() const { return breakdownFrozen; }
        qint64 getMemoryLimit() const { return memoryLimit; }
        bool isErrorsSilenced() const { return errorsSilenced; }

        void setUrl(const QString& value) { url = value; }
        void setStatus(int value) { status = value; }
        void setMethod(const QString& value) { method = value; }
        void setStartTime(const QDateTime& value) { startTime = value; }
        void setRequestTime(qint64 value) { requestTime = value; }
        void setPeakMemoryUsage(qint64 value) { peakMemoryUsage = value; }
        void setBreakdownFrozen(bool value) { breakdownFrozen = value; }
        void setMemoryLimit(qint64 value) { memoryLimit = value; }
        void setErrorsSilenced(bool value) { errorsSilenced = value; }

        // Replaced by each breakdown report.
        void setDatabaseTime(qint64 value) { databaseTime = value; }
        void setOtherTime(qint64 value) { otherTime = value; }
        // Accumulated over the breakdown reports; nothing is added while frozen.
        void addNetworkTime(qint64 value);
        void addLocalTime(qint64 value);

        // requestTime minus the database, network and local times; 0 when the request
        // time is not positive or the difference is negative.
        qint64 getPhpTime() const;

        // Clears the texts and zeroes the numbers and the silenced flag; keeps the
        // start time, the queries and the frozen flag.
        void reset();

    private:
        QString url;
        int status;
        QString method;
        QDateTime startTime;
        qint64 requestTime;
        qint64 databaseTime;
        qint64 networkTime;
        qint64 localTime;
        qint64 otherTime;
        QList<SqlQuery> queries; // created empty; the collector never fills it
        qint64 peakMemoryUsage;
        bool breakdownFrozen;
        qint64 memoryLimit;
        bool errorsSilenced;
    };

    // When a superglobal sample was taken. Any other value the host passes is kept and
    // stored with an empty type name.
    enum SG_SAMPLING_TYPE : int { SAMPLE_START = 0, SAMPLE_END = 1 };

    struct TREL_EXPORT SuperGlobalSample {
        QByteArray name;
        QByteArray data;
        SG_SAMPLING_TYPE sampleType = SAMPLE_START;
        // "SAMPLE_START", "SAMPLE_END", or "" for any other type.
        const char* sampleTypeName() const;
    };

    // One row of trel_user_agent: id, label, extra, pattern (read by position).
    class TREL_EXPORT UserAgentEntry {
    public:
        UserAgentEntry();
        explicit UserAgentEntry(const QSqlRecord& record);

        // Compiles the pattern, case-insensitive with the full regular-expression
        // syntax; returns whether it is valid.
        bool compile();
        const QString& getAgentString() const { return agentString; }
        const QString& getUserAgent() const { return userAgent; }
        int getId() const { return id; }
        const QString& getExtra() const { return extra; }
        // "User-Agent: %1, Agent String: %2"
        QString toString() const;
        // The pattern matches anywhere in the text.
        bool matches(const QString& text) const;

    private:
        int id;
        QString userAgent;
        QString extra;
        QString agentString;
        QRegExp regExp;
    };

    typedef void (*EnabledCallback)(bool);

    // Lifecycle -------------------------------------------------------------------
    static KTrel* instance();
    static void release();

    // One-time configuration; later calls change nothing. Reads the bar templates,
    // configures the MySQL pool when the settings name MySQL, preloads the id caches and
    // loads the user-agent table. Logs, never throws for a database failure.
    void initialize(const KolvServerInfo& info, KDebug::StreamId stream);
    bool isInitialized() const { return initialized; }
    // Empties the collected data and returns the request and the per-request switches to
    // their start values. Does not call the enabled-callback.
    void reset();

    void setRequestId(qint64 id);
    qint64 getRequestId() const;

    const KolvServerInfo& getServerInfo() const { return serverInfo; }
    KDebug::StreamId getDebugStream() const { return debugStream; }

    // Request context and page output state ---------------------------------------
    void setRequest(const QString& url);
    void setRequestMethod(const QString& method);
    void setRequestStatus(int status);
    void setRequestStartTime(const QDateTime& time);
    void setRequestTime(qint64 microseconds);
    Request& getRequest();

    void setPageId(const QString& id);
    const QString& getPageId() const;
    bool isValid() const;
    void setPrimaryUrl(const QString& url);
    const QString& getPrimaryUrl() const;
    void setIsPrimaryPage(bool primary);
    bool getIsPrimaryPage() const;
    void setHeaderSent();
    bool isHeaderSent() const;
    void setFooterSent(bool sent);
    bool isFooterSent() const;
    void appendRequestOutput(const QString& text);
    const QString& getRequestOutput() const;
    void setOutputState(int state);
    int getOutputState() const;
    void setBodyStarted();
    bool getBodyStarted() const;
    void setIsBufferingOutput();
    bool isBufferingOutput() const;
    void addGzippedOutput(const char* data, int length);
    bool hasGzippedOutput() const;
    const QByteArray& getGZippedOutput() const;
    void setOutputIsGzipped(bool gzipped);
    bool getOutputIsGzipped() const;
    void setWrittenToDb(bool written);
    bool getWrittenToDb() const;
    QString getHeaderTemplate() const;
    QString getFooterTemplate() const;

    // A handle on the diagnostics database that stays usable until the next call of
    // getDatabase() or the collector's destruction: the collector keeps its connection.
    QSqlDatabase& getDatabase();

    // Switches ----------------------------------------------------------------------
    void setBarEnabled(bool enabled);
    bool isBarEnabled() const;
    void setCollectionEnabled(bool enabled);
    bool isCollectionEnabled() const;
    bool isCollectionDisabled() const;
    void setEventCollectionEnabled(bool enabled);
    bool isEventCollectionEnabled() const;
    void setEnableDatabaseWrite(bool enabled);
    bool isEnableDatabaseWrite() const;
    void setEnabledCallback(EnabledCallback callback);

    // Collected data ------------------------------------------------------------------
    void addPhpError(int type, const char* filename, unsigned int line, const char* message,
                     int backtraceId);
    // The message is formatted from `format` and the variable arguments, and the entry
    // takes the request's silenced flag. The host passes its va_list as it received it;
    // where the platform's va_list is a char* (as on Windows) this is the char* form.
    void addPhpErrorWithArgs(int type, const char* filename, unsigned int line, const char* format,
                             int backtraceId, va_list args);
    // The most recent entry, or a shared empty entry; valid until the list changes.
    const PhpError& getLastPHPError();
    // Gives the error the last addPhpError*() call added its start offset and, for the
    // fatal error of an uncaught exception, the exception; nothing when that error was
    // not kept (beyond the limit).
    void setLastErrorDetails(qint64 startUs, const QSharedPointer<UncaughtException>& exception);

    // The installed generator is owned by the collector. Replacing it does not delete
    // the one it replaces.
    void setBacktraceGenerator(IBacktraceGenerator* generator);
    IBacktraceGenerator* getBacktraceGenerator();
    int addBacktrace(const QString& text);
    // Throws KException "Could not find backtrace. ID out of bounds" for an id that names
    // no text.
    const QString& getBacktraceById(int id);

    // With a generator installed, sets the caller's backtraceId, fileName and lineNumber.
    // A query beyond the limit is only counted (getNotKept()).
    void addRequestSqlQuery(SqlQuery& query);

    // The limits are settings, kept by reset(); the counts start again with each request.
    void setLimits(const Limits& value);
    const Limits& getLimits() const;
    const NotKept& getNotKept() const;
    // Whether the next PHP error would be kept with a backtrace: the host takes none
    // otherwise. addBacktrace() returns -1 for a text beyond the limit.
    bool isErrorBacktraceWanted() const;

    QHash<QByteArray, KFunctionStats>& getFunctionsStats();

    // The request's context; reset() empties it.
    Context& getContext() { return context; }
    // A message of error_log(), cut like an error's message; beyond the error limit only
    // counted (stored as one last "N more log messages not kept").
    void addLogMessage(const QString& message, qint64 startUs);
    // A response header as sent. A Set-Cookie value is kept as "name=***(N bytes)" with
    // its attributes, and the cookie's value is hidden by value (addMaskedValue()).
    void addResponseHeader(const QString& name, const QString& value);

    void addEventAggKey(const QByteArray& key);
    const std::set<QByteArray>& getEventAggKeys() const;
    void addSerializedSuperGlobal(const QByteArray& name, const QByteArray& data,
                                  SG_SAMPLING_TYPE type);
    void addProcessingBreakdownData(timeval databaseTime, timeval networkTime, timeval otherTime,
                                    timeval localTime);

    // A value the host hides in what it samples (a cookie's value, the session id, a
    // masked field or session entry, credentials): write() replaces each occurrence of it
    // in the request's other texts (URL, SQL texts and error messages, PHP error messages,
    // backtraces, event keys) with "***", inside longer values too. A value under
    // MinMaskedValueBytes bytes is ignored, so that "1" or "en" is not hidden everywhere. Forgotten
    // at reset().
    static constexpr int MinMaskedValueBytes = 8;
    void addMaskedValue(const QByteArray& value);

    // Storage -------------------------------------------------------------------------
    // Stores the request and all its sections in one transaction; logs and returns on
    // failure, leaving no row of the request. Throws only standard exceptions
    // (std::bad_alloc and the like); the transaction is then rolled back.
    void write();
    // Deletes the requests older than the newest `keep`, oldest first, in batches of
    // whole requests that each take a fraction of a second (one transaction each), then
    // the URLs and statements no kept request uses; on SQLite the freed pages go back to
    // the disk after each batch. Throws KException (after rolling back the batch at hand)
    // when a delete fails: the batches before it stay deleted, every request whole.
    void cleanupDb(quint32 keep);
    // SQLite: makes the file give freed pages back (auto_vacuum=INCREMENTAL) and rebuilds
    // it without its free pages, holding writers while it runs. Nothing on MySQL. Throws
    // KException.
    void vacuumDb();

    // The time one call (write(), isTokenOK(), initialize()) may spend waiting for a
    // locked or silent database before it gives up and logs the failure; 10000 ms unless
    // set. It applies to calls begun afterwards, in every thread.
    static void setWaitBudget(int milliseconds);
    static int waitBudget();

    qint64 getUrlDbId(const QString& url, const QSqlDatabase& database);
    qint64 getStmtDbId(const QString& statement, const QSqlDatabase& database);
    void refreshUrlsCache();
    void refreshStatementsCache();

    // Access --------------------------------------------------------------------------
    // True when the named token exists, has not expired and covers the current request's
    // URL; only then are the out-parameters set, and the token becomes the request's
    // owner (getOwnerHash()) until reset(). Database failures give false. Throws
    // only standard exceptions (std::bad_alloc and the like).
    bool isTokenOK(const QString& tokenName, QString& allowedHosts, qint64& ttl,
                   KDebug::StreamId stream);
    // The named token when it exists and has not expired, whatever URL it covers; a token
    // that is not OK (KTrelToken::isOk()) otherwise, database failures included.
    KTrelToken validToken(const QString& tokenName, KDebug::StreamId stream);
    // KTrelToken::ownerHash() of the token that last passed isTokenOK() since reset(),
    // or empty. write() stores it with the request (trel_request_owners).
    const QByteArray& getOwnerHash() const { return ownerHash; }
    // The allowed hosts of every valid token, joined by commas. Throws KException.
    QString createAllowedHostsValue(KDebug::StreamId stream);
    void loadUserAgentTable();
    bool isAgentAllowed(const QString& userAgent) const;

protected:
    KTrel();
    virtual ~KTrel();

    QSharedPointer<KDbConnHelper> doGetDatabaseConnection();

private:
    KTrel(const KTrel&) = delete;
    KTrel& operator=(const KTrel&) = delete;

    void forgetCachedIds();
    // Ends the process's kept SQLite connection (ktrelconnection.cpp).
    void releaseConnection();
    KDbConnHelper* newConnection();
    // One write's connection, data size, limits and backtrace ids (ktrelwriter.cpp).
    struct WriteContext;
    void writeTransaction(QSqlDatabase& database);
    void writeRequestRow(WriteContext& write);
    void writeOwner(WriteContext& write);
    void writeBacktraces(WriteContext& write);
    void writeSqlQueries(WriteContext& write);
    void writePhpErrors(WriteContext& write);
    void writeFunctionStats(WriteContext& write);
    void writeEvents(WriteContext& write);
    void writeBreakdown(WriteContext& write);
    void writeSuperGlobals(WriteContext& write);
    void writeContext(WriteContext& write);
    // Replaces the masked values in the collected texts (ktrelmask.cpp).
    void maskValues();
    qint64 resolveId(QCache<QByteArray, qint64>& cache, bool isUrl, const QString& text,
                     const QSqlDatabase& database);

    static KTrel* self;

    bool initialized;
    QString pageId;
    QByteArray ownerHash;
    QString primaryUrl;
    KolvServerInfo serverInfo;
    KDebug::StreamId debugStream;
    Request request;
    QString footerTemplate;
    QString headerTemplate;
    bool barEnabled;
    bool collectionEnabled;
    bool headerSent;
    bool footerSent;
    QString requestOutput;
    QList<SqlQuery> sqlQueries;
    QCache<QByteArray, qint64> urlIdCache;
    QCache<QByteArray, qint64> statementIdCache;
    bool writtenToDb;
    std::list<UserAgentEntry> userAgents;
    QList<PhpError> phpErrors;
    bool lastErrorKept = false;
    Context context;
    int outputState;
    qint64 requestId; // all 64 bits of a row id
    bool isPrimaryPage;
    QHash<QByteArray, KFunctionStats> functionsStats;
    std::set<QByteArray> eventAggKeys;
    bool outputIsGzipped;
    QByteArray gzippedOutput;
    bool eventCollectionEnabled;
    bool enableDatabaseWrite;
    QList<SuperGlobalSample> superGlobalSamples;
    QSet<QByteArray> maskedValues;
    KDb db;
    QList<QString> backtraces;
    qint64 backtraceChars = 0;
    Limits limits;
    NotKept notKept;
    IBacktraceGenerator* backtraceGenerator;
    EnabledCallback enabledCallback;

    // Keeps the connection behind the handle that getDatabase() returned.
    QSharedPointer<KDbConnHelper> heldConnection;
    // The SQLite file (device and inode) that the id caches describe.
    QString cachedIdsFile;
    // Cache keys learned in the current write's transaction, forgotten if it rolls back.
    QList<QByteArray> newUrlKeys;
    QList<QByteArray> newStatementKeys;
};

#endif
