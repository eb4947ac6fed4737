// AnswerSummary: one line that says everything the parser made of an answer text.
#include "AnswerSummary.h"

#include "KelVvmLog.h"
#include "KelVvmResponseParser.h"
#include "KelVvmUtils.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace
{

const char kFailure[] = "Parsing response failure: ";

void captureReason(const char*, int, const char* line, void* reason)
{
    std::string text = line;
    size_t at = text.find(kFailure);
    if (at != std::string::npos)
        *static_cast<std::string*>(reason) = text.substr(at + sizeof(kFailure) - 1);
}

std::string className(const KelVvmResponse& response)
{
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(
        abi::__cxa_demangle(typeid(response).name(), nullptr, nullptr, &status), std::free);
    return name ? name.get() : typeid(response).name();
}

} // namespace

std::string summarizeAnswer(const std::string& text)
{
    std::string reason;
    QmLogSetCapture(captureReason, &reason);
    std::unique_ptr<KelVvmResponse> response = KelVvmResponseParser::parse(text);
    QmLogSetCapture(nullptr, nullptr);
    JValue json = response->toJson();
    return className(*response) + "\t" + std::to_string(response->getType()) + "\t" + reason +
           "\t" + vtjsonToString(json);
}
