#ifndef TREL_TOOL_PROGRESSBAR_H
#define TREL_TOOL_PROGRESSBAR_H

#include <QElapsedTimer>
#include <QString>

// A one-line progress bar on standard error, drawn only when standard error is a
// terminal, so that logs and pipes get the summary alone.
class ProgressBar {
public:
    explicit ProgressBar(qint64 total);
    ~ProgressBar();

    bool enabled() const { return m_enabled; }
    // Redraws at most ten times a second, and always when the count reaches the total.
    void update(qint64 done, const QString& note);
    // Removes the bar so that other lines can be written; the next update draws it again.
    void clear();
    void finish();

private:
    qint64 m_total;
    bool m_enabled;
    bool m_drawn = false;
    QElapsedTimer m_sinceDraw;
};

#endif
