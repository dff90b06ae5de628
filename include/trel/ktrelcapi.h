#ifndef TREL_KTRELCAPI_H
#define TREL_KTRELCAPI_H

#include <trel/trel_export.h>

#ifdef __cplusplus
extern "C" {
#endif

// Neither function throws: a failure inside (the collector could not be created for
// want of memory, the enabled-callback threw) is logged in one level-0 line on the
// collector's stream and the function returns.

// 1 when the collector collects data for the current request, else 0 (also when the
// collector could not be created). Creates the collector if none exists.
TREL_EXPORT int KolvIsTrelCollectionEnabled(void);
// Switches collection on (any non-zero value) or off, with the collector's log line
// and callback. Creates the collector if none exists.
TREL_EXPORT void KolvEnableTrelCollection(int enabled);

#ifdef __cplusplus
}
#endif

#endif
