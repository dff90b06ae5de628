#ifndef TREL_KTRELLOG_H
#define TREL_KTRELLOG_H

#include <kolv/kdebug.h>

// Opens one log line the way the host library expects: a line the stream shows is
// created and opened with appendf(), any other goes to doHandleCacheEnabled(), which
// drops it. End the line with kflush.
inline KDebug trelLog(KDebug::StreamId stream, KDebug::debug_level_t level) {
    if (KDebug::getDebugLevel(stream) >= level) {
        KDebug line = KDebug::create(stream, level);
        line.appendf();
        return line;
    }
    return KDebug::doHandleCacheEnabled(stream, level);
}

#endif
