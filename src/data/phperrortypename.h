#ifndef TREL_PHPERRORTYPENAME_H
#define TREL_PHPERRORTYPENAME_H

#include <QString>

// The PHP name of an error type number ("E_WARNING"), or "[unknown N]". Values are
// compared one by one, not as a bit mask.
QString phpErrorTypeName(int type);

#endif
