// KelVvmResponseParser: turns an answer of the voicemail web service into its response object.
#include "KelVvmResponseParser.h"

#include "KelVvmLog.h"
#include "KelVvmXml.h"

#include <libxml/parser.h>

namespace
{

struct DocDeleter {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};

std::unique_ptr<KelVvmResponse> createFor(const xmlNode* answer)
{
    if (xmlNameIs(answer, "subscribeResponse"))
        return std::make_unique<KelVvmSubscribeResponse>();
    if (xmlNameIs(answer, "getUserProfileResponse"))
        return std::make_unique<KelVvmGetUserProfileResponse>();
    if (xmlNameIs(answer, "setProfileResponse"))
        return std::make_unique<KelVvmSetUserProfileResponse>();
    if (xmlNameIs(answer, "setInviteMessageResponse"))
        return std::make_unique<KelVvmSetInviteResponse>();
    if (xmlNameIs(answer, "deliverMultipleMessagesResponse"))
        return std::make_unique<KelVvmDeliverMessageResponse>();
    if (xmlNameIs(answer, "archiveCallResponse"))
        return std::make_unique<KelVvmArchiveMessageResponse>();
    if (xmlNameIs(answer, "deleteMultipleMessagesResponse"))
        return std::make_unique<KelVvmDeleteMessagesResponse>();
    if (xmlNameIs(answer, "getAllCallOptiResponse"))
        return std::make_unique<KelVvmGetAllMessagesResponse>();
    if (xmlNameIs(answer, "getMessageVocalByIdResponse"))
        return std::make_unique<KelVvmGetMessageInfoResponse>();
    if (xmlNameIs(answer, "Fault"))
        return std::make_unique<KelVvmFaultResponse>();
    throw KelVvmResponseException("Unknown response");
}

std::unique_ptr<KelVvmResponse> parseOrThrow(const std::string& text)
{
    if (text.size() > KelVvmResponseParser::s_maxTextSize)
        throw KelVvmResponseException("Response too large");
    // No XML_PARSE_NOENT and no DTD loading: entities stay unexpanded and nothing is fetched.
    std::unique_ptr<xmlDoc, DocDeleter> doc(
        xmlReadMemory(text.data(), int(text.size()), nullptr, nullptr,
                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!doc)
        throw KelVvmResponseException("XML doc allocation failed");
    // SOAP messages carry no document type declaration; refusing one also refuses every
    // entity it could declare.
    if (doc->intSubset || doc->extSubset)
        throw KelVvmResponseException("Invalid XML");
    xmlNode* root = xmlDocGetRootElement(doc.get());
    if (!root)
        throw KelVvmResponseException("Invalid XML");
    if (!xmlNameIs(root, "Envelope"))
        throw KelVvmResponseException("No Envelope");
    if (!xmlNameIs(root->children, "Body"))
        throw KelVvmResponseException("No Body");
    xmlNode* answer = root->children->children;
    if (!answer)
        throw KelVvmResponseException("Invalid XML");
    KLOG_DEBUG("Response type: %s", reinterpret_cast<const char*>(answer->name));

    std::unique_ptr<KelVvmResponse> response = createFor(answer);
    response->parse(doc.get(), answer);
    doc.reset();
    if (response->getType() == RESPONSE_OK) {
        const std::string& out = static_cast<KelVvmOkResponse&>(*response).m_out;
        if (!out.empty() && !asciiEquals(out, "OK")) {
            KLOG_DEBUG("OK Response contains something else than OK");
            response = std::make_unique<KelVvmBadResponse>();
        }
    }
    return response;
}

} // namespace

std::unique_ptr<KelVvmResponse> KelVvmResponseParser::parse(const std::string& text)
{
    KLOG_DEBUG("KelVvmResponseParser::parse: %s", text.c_str());
    try {
        std::unique_ptr<KelVvmResponse> response = parseOrThrow(text);
        KLOG_DEBUG("Parsing response success");
        return response;
    } catch (const std::exception& e) {
        KLOG_WARNING("Parsing response failure: %s", e.what());
        return std::make_unique<KelVvmBadResponse>();
    }
}
