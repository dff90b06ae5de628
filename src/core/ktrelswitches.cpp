#include <trel/ktrel.h>

#include "core/ktrellog.h"

void KTrel::setBarEnabled(bool enabled) {
    if (enabled)
        trelLog(debugStream, 4) << "Trel: bar should appear" << kflush;
    else
        trelLog(debugStream, 4) << "Trel: bar should *not* appear" << kflush;
    barEnabled = enabled;
}

bool KTrel::isBarEnabled() const { return barEnabled; }

void KTrel::setCollectionEnabled(bool enabled) {
    if (enabled != collectionEnabled) {
        if (enabled)
            trelLog(debugStream, 4) << "Trel: should collect data for" << request.getUrl() << kflush;
        else
            trelLog(debugStream, 4)
                << "Trel: should *not* collect data for" << request.getUrl() << kflush;
    }
    collectionEnabled = enabled;
    if (enabledCallback)
        enabledCallback(enabled);
}

bool KTrel::isCollectionEnabled() const { return collectionEnabled; }
bool KTrel::isCollectionDisabled() const { return !collectionEnabled; }
void KTrel::setEventCollectionEnabled(bool enabled) { eventCollectionEnabled = enabled; }
bool KTrel::isEventCollectionEnabled() const { return eventCollectionEnabled; }
void KTrel::setEnableDatabaseWrite(bool enabled) { enableDatabaseWrite = enabled; }
bool KTrel::isEnableDatabaseWrite() const { return enableDatabaseWrite; }
void KTrel::setEnabledCallback(EnabledCallback callback) { enabledCallback = callback; }
