#ifndef TREL_KTRELCAPI_H
#define TREL_KTRELCAPI_H

#include <trel/trel_export.h>

#ifdef __cplusplus
extern "C" {
#endif

// 1 when the collector collects data for the current request, else 0. Creates the
// collector if none exists.
TREL_EXPORT int KolvIsTrelCollectionEnabled(void);
// Switches collection on (any non-zero value) or off, with the collector's log line
// and callback. Creates the collector if none exists.
TREL_EXPORT void KolvEnableTrelCollection(int enabled);

#ifdef __cplusplus
}
#endif

#endif
