#ifndef TREL_TOOL_SIMBACKTRACEGENERATOR_H
#define TREL_TOOL_SIMBACKTRACEGENERATOR_H

#include <trel/ibacktracegenerator.h>

#include <QString>
#include <QStringList>

// The simulated engine's view of the PHP stack: the simulator moves it to where the
// script is before each query or error, and the collector asks it, as it asks a real
// engine's generator.
class SimBacktraceGenerator : public IBacktraceGenerator {
public:
    void moveTo(const QStringList& frames, const QString& file, int line);

    QString generateBacktrace() override;
    void getFileAndLine(QString& fileName, int& line) override;

private:
    QStringList m_frames;
    QString m_file;
    int m_line = 0;
};

#endif
