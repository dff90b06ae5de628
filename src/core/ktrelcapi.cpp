#include <trel/ktrelcapi.h>

#include <trel/ktrel.h>

extern "C" int KolvIsTrelCollectionEnabled(void) {
    return KTrel::instance()->isCollectionEnabled() ? 1 : 0;
}

extern "C" void KolvEnableTrelCollection(int enabled) {
    KTrel::instance()->setCollectionEnabled(enabled != 0);
}
