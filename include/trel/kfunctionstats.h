#ifndef TREL_KFUNCTIONSTATS_H
#define TREL_KFUNCTIONSTATS_H

#include <trel/trel_export.h>

#include <QByteArray>

// One PHP function's statistics for the current request. The host finds or inserts
// the entries of the collector's table and updates them; clientData is the host's
// own value, never dereferenced or freed by the collector.
class TREL_EXPORT KFunctionStats {
public:
    KFunctionStats();
    KFunctionStats(const KFunctionStats& other);
    KFunctionStats& operator=(const KFunctionStats& other);
    virtual ~KFunctionStats();

    void setFunctionName(const QByteArray& name) { functionName = name; }
    const QByteArray& getFunctionName() const { return functionName; }
    void setFunctionScope(const QByteArray& scope) { functionScope = scope; }
    const QByteArray& getFunctionScope() const { return functionScope; }
    void setFilename(const QByteArray& name) { filename = name; }
    const QByteArray& getFilename() const { return filename; }
    void setLine(int value) { line = value; }
    int getLine() const { return line; }
    void setCalls(int value) { calls = value; }
    int getCalls() const { return calls; }
    void incrementCalls();
    void setExclusiveElapsed(const long long& value) { exclusiveElapsed = value; }
    long long getExclusiveElapsed() const { return exclusiveElapsed; }
    void setInclusiveElapsed(const long long& value) { inclusiveElapsed = value; }
    long long getInclusiveElapsed() const { return inclusiveElapsed; }

    // Adds to both elapsed times; the call count is not touched.
    void updateTimers(long long exclusive, long long inclusive);
    // Adds the other entry's calls and times; name, scope, file, line and client data stay.
    void aggregate(const KFunctionStats& other);
    // scope + "::" + name; the separator is always there.
    QByteArray getFullName() const;

    void setClientData(void* data) { clientData = data; }
    void* getClientData() { return clientData; }

private:
    QByteArray functionName;
    QByteArray functionScope;
    QByteArray filename;
    int line;
    int calls;
    long long exclusiveElapsed;
    long long inclusiveElapsed;
    void* clientData;
};

#endif
