// KelVvmReplyStep: how the work chain's bus reply handlers hand a reply to their step.
#include "KelVvmReplyStep.h"

#include "KelVvmUtils.h"

bool passReply(void* context, TSMessage* reply, ReplyStep step, ReplyTranslation translate)
{
    JValue parsed = vtjsonParse(TSMessageGetPayload(reply));
    (static_cast<KelVvmActivity*>(context)->*step)(translate ? translate(parsed) : parsed);
    return true;
}
