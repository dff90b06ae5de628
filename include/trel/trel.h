#ifndef TREL_TREL_H
#define TREL_TREL_H

// Everything a host calls: the collector with its nested types, the record classes,
// the backtrace generator interface, the scoped disabler, the C functions, and the
// host-library types they use.

#include <trel/ibacktracegenerator.h>
#include <trel/kdbconnhelper.h>
#include <trel/kfunctionstats.h>
#include <trel/ktrel.h>
#include <trel/ktrelbacktrace.h>
#include <trel/ktrelcapi.h>
#include <trel/ktreldisabler.h>
#include <trel/ktreleventrecord.h>
#include <trel/ktrelformat.h>
#include <trel/ktrelfuncstatsdbrecord.h>
#include <trel/ktrelhtmlreport.h>
#include <trel/ktrelstoredrequest.h>
#include <trel/ktreltoken.h>

#include <kolv/kdb.h>
#include <kolv/kdebug.h>
#include <kolv/kexception.h>
#include <kolv/kolvdbsqliteinfo.h>
#include <kolv/kolvserverinfo.h>

#endif
