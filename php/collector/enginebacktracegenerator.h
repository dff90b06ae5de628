#ifndef TREL_PHP_ENGINEBACKTRACEGENERATOR_H
#define TREL_PHP_ENGINEBACKTRACEGENERATOR_H

#include <trel/ibacktracegenerator.h>

#include <QString>

// The engine's current call stack, in the text PHP prints for an exception's trace (and
// with its settings for arguments):
//   #0 /path/file.php(12): foo('bar')
//   #1 {main}
// Deep stacks and long texts are cut (the last line says so), so that a runaway
// recursion costs bounded time and memory. Only to be called while a request runs.
class EngineBacktraceGenerator : public IBacktraceGenerator {
public:
    static constexpr int MaxFrames = 100;
    static constexpr int MaxBytes = 64 * 1024;

    QString generateBacktrace() override;
    // The script position of the innermost user code.
    void getFileAndLine(QString& fileName, int& line) override;
};

#endif
