#ifndef TREL_KTRELDISABLER_H
#define TREL_KTRELDISABLER_H

#include <trel/trel_export.h>

// Suspends collection for the length of a block: switches it off when made (if it was
// on) and on again when destroyed. Works on KTrel::instance(), creating it if needed.
class TREL_EXPORT KTrelDisabler {
public:
    KTrelDisabler();
    ~KTrelDisabler();
    KTrelDisabler& operator=(const KTrelDisabler& other);

private:
    bool wasEnabled;
};

#endif
