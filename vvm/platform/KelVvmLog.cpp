// KelVvmLog: the service's log context, and the cut form of long logged texts.
#include "KelVvmLog.h"

#include <cstring>

QmLogContext* gLogContext = QmLogGetContext("kelvvm");

LoggedPayload::LoggedPayload(const char* text) : LoggedPayload(text, text ? strlen(text) : 0) {}

LoggedPayload::LoggedPayload(const char* text, size_t length) : m_text(text ? text : "(null)")
{
    if (length <= s_limit)
        return;
    m_cut.assign(text, s_limit);
    m_cut += "... (cut, " + std::to_string(length) + " bytes in all)";
    m_text = m_cut.c_str();
}
