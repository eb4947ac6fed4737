// Fuzz target: the voicemail service's answer parser and the JSON of what it makes. Any input
// gives a response; its JSON is text that reads back to the same text, and a bad answer renders
// as {"type":"BAD"}.
#include "KelVvmLog.h"
#include "KelVvmResponseParser.h"
#include "KelVvmUtils.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace
{
// Every log line is formatted, as in the service at debug level, and dropped.
void dropLine(const char*, int, const char*, void*) {}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool logging = [] {
        QmLogSetLevel(gLogContext, QMLOG_LEVEL_DEBUG);
        QmLogSetCapture(dropLine, nullptr);
        return true;
    }();
    (void)logging;

    std::unique_ptr<KelVvmResponse> response =
        KelVvmResponseParser::parse(std::string(reinterpret_cast<const char*>(data), size));
    if (!response || response->getType() < RESPONSE_OK || response->getType() > RESPONSE_FAULT)
        std::abort();
    JValue json = response->toJson();
    std::string text = vtjsonToString(json);
    if ((response->getType() == RESPONSE_BAD) != (text == "{\"type\":\"BAD\"}"))
        std::abort();
    JValue again = vtjsonParse(text);
    if (vtjsonToString(again) != text)
        std::abort();
    return 0;
}
