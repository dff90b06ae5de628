#ifndef TREL_IBACKTRACEGENERATOR_H
#define TREL_IBACKTRACEGENERATOR_H

#include <trel/trel_export.h>

#include <QString>

// Implemented by the host: gives the current PHP call stack and script position.
// A generator installed in the collector is owned by it and deleted with it.
class TREL_EXPORT IBacktraceGenerator {
public:
    IBacktraceGenerator() = default;
    IBacktraceGenerator(const IBacktraceGenerator&) = default;
    IBacktraceGenerator& operator=(const IBacktraceGenerator&) = default;
    virtual ~IBacktraceGenerator();

    virtual QString generateBacktrace() = 0;
    virtual void getFileAndLine(QString& fileName, int& line) = 0;
};

#endif
