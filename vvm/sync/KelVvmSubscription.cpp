// KelVvmSubscription: the subscription check that follows the creation of a mailbox record.
#include "KelVvmActivity.h"
#include "KelVvmLog.h"
#include "KelVvmRequest.h"
#include "KelVvmServiceValues.h"
#include "KelVvmXml.h"

namespace
{
const int kActivityErrorCode = 666;

enum class Outcome { Active, Pending, Erase, Retry };
} // namespace

void KelVvmActivity::verifySubscription()
{
    KLOG_DEBUG("KelVvmActivity::verifySubscription");
    Outcome outcome;
    std::string detail;
    {
        std::unique_ptr<KelVvmResponse> response = KelVvmRequest::subscribe();
        switch (response->getType()) {
        case RESPONSE_OK:
            outcome = Outcome::Active;
            break;
        case RESPONSE_BAD:
            outcome = Outcome::Erase;
            break;
        case RESPONSE_FAULT:
            detail = static_cast<KelVvmFaultResponse&>(*response).m_detailStatus;
            if (asciiEquals(detail, "Subscribe_AlreadySubscribed"))
                outcome = Outcome::Active;
            else if (asciiEquals(detail, "Subscribe_RunningSubscription"))
                outcome = Outcome::Pending;
            else if (asciiEquals(detail, "Generic_UserNotFound"))
                outcome = Outcome::Erase;
            else
                outcome = Outcome::Retry;
            break;
        default:
            throw KelVvmActivityException("Unexpected response");
        }
    }
    switch (outcome) {
    case Outcome::Active:
    case Outcome::Pending: {
        const char* status = outcome == Outcome::Active ? "active" : "pending";
        KelVvmServiceValues::s_accountStatus = status;
        updateMailbox("status", JValue(status));
        onWork();
        break;
    }
    case Outcome::Erase:
        wipeUserAccount();
        break;
    case Outcome::Retry:
        failAndReschedule(detail, kActivityErrorCode);
        break;
    }
}
