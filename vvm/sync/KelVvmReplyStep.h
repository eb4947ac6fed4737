// KelVvmReplyStep: how the work chain's bus reply handlers hand a reply to their step.
#ifndef KELVVMREPLYSTEP_H
#define KELVVMREPLYSTEP_H

#include "KelVvmActivity.h"

using ReplyStep = void (KelVvmActivity::*)(const JValue& reply);
// Turns a platform service's own reply into {"returnValue": <bool>, <key>: <value>}, the shape
// its step also accepts from the cache.
using ReplyTranslation = JValue (*)(const JValue& reply);

// Parses `reply`, translates it when `translate` is given and calls `step` of the activity
// `context`. Returns true, as every bus reply function does. The handlers are reached through
// the activity's ownedCall, which ends the activity with failAndReschedule(text, 666) on
// anything they throw (an unparsable reply, a failed step). The handler logs the reply itself
// first, so that its line names it.
bool passReply(void* context, TSMessage* reply, ReplyStep step,
               ReplyTranslation translate = nullptr);

#endif
