// KelVvmLog: the service's log context.
#include "KelVvmLog.h"

QmLogContext* gLogContext = QmLogGetContext("kelvvm");
