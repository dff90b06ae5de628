#include <trel/ktreldisabler.h>

#include <trel/ktrel.h>

KTrelDisabler::KTrelDisabler() : wasEnabled(KTrel::instance()->isCollectionEnabled()) {
    if (wasEnabled)
        KTrel::instance()->setCollectionEnabled(false);
}

KTrelDisabler::~KTrelDisabler() {
    if (!wasEnabled)
        return;
    try {
        KTrel::instance()->setCollectionEnabled(true);
    } catch (...) {
        // A destructor must not throw; the host's callback is the only thing that could.
    }
}

KTrelDisabler& KTrelDisabler::operator=(const KTrelDisabler& other) {
    wasEnabled = other.wasEnabled;
    return *this;
}
