// SoapXml: reading requests and writing answers of the emulated voicemail web service.
#include "SoapXml.h"

#include <libxml/parser.h>

#include <cstring>

namespace emu::vvm
{

const char* const kSoapEnvelopeNamespace = "http://schemas.xmlsoap.org/soap/envelope/";

XmlDocument::XmlDocument(const std::string& text)
    : m_doc(xmlReadMemory(text.data(), int(text.size()), nullptr, nullptr,
                          XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING))
{
    if (m_doc && (m_doc->intSubset || m_doc->extSubset)) {
        xmlFreeDoc(m_doc);
        m_doc = nullptr;
    }
}

XmlDocument::~XmlDocument()
{
    xmlFreeDoc(m_doc);
}

const xmlNode* XmlDocument::root() const
{
    return m_doc ? xmlDocGetRootElement(m_doc) : nullptr;
}

bool localNameIs(const xmlNode* node, const char* name)
{
    return node && node->type == XML_ELEMENT_NODE &&
           std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

bool namespaceIs(const xmlNode* node, const std::string& uri)
{
    return node && node->ns && node->ns->href &&
           uri == reinterpret_cast<const char*>(node->ns->href);
}

const xmlNode* firstElement(const xmlNode* node)
{
    for (const xmlNode* child = node ? node->children : nullptr; child; child = child->next) {
        if (child->type == XML_ELEMENT_NODE)
            return child;
    }
    return nullptr;
}

const xmlNode* childElement(const xmlNode* node, const char* name)
{
    for (const xmlNode* child = node ? node->children : nullptr; child; child = child->next) {
        if (localNameIs(child, name))
            return child;
    }
    return nullptr;
}

std::string textOf(const xmlNode* node)
{
    if (!node)
        return std::string();
    xmlChar* content = xmlNodeGetContent(node);
    std::string text = content ? reinterpret_cast<const char*>(content) : "";
    xmlFree(content);
    return text;
}

std::string attribute(const xmlNode* node, const char* name)
{
    xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
    std::string text = value ? reinterpret_cast<const char*>(value) : "";
    xmlFree(value);
    return text;
}

std::string xmlEscape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else
            out += c;
    }
    return out;
}

std::string element(const std::string& name, const std::string& text)
{
    return "<ns:" + name + ">" + xmlEscape(text) + "</ns:" + name + ">";
}

std::string answerEnvelope(const std::string& webNamespace, const std::string& operation,
                           const std::string& content)
{
    return std::string("<soapenv:Envelope xmlns:soapenv=\"") + kSoapEnvelopeNamespace +
           "\"><soapenv:Body><ns:" + operation + "Response xmlns:ns=\"" + xmlEscape(webNamespace) +
           "\">" + content + "</ns:" + operation + "Response></soapenv:Body></soapenv:Envelope>";
}

std::string faultEnvelope(const std::string& webNamespace, bool client, const std::string& text,
                          const std::string& status)
{
    return std::string("<soapenv:Envelope xmlns:soapenv=\"") + kSoapEnvelopeNamespace +
           "\"><soapenv:Body><soapenv:Fault><faultcode>" +
           (client ? "soapenv:Client" : "soapenv:Server") + "</faultcode><faultstring>" +
           xmlEscape(text) + "</faultstring><detail><ns:VVMMiddleException xmlns:ns=\"" +
           xmlEscape(webNamespace) + "\"><status>" + xmlEscape(status) +
           "</status></ns:VVMMiddleException></detail></soapenv:Fault></soapenv:Body>"
           "</soapenv:Envelope>";
}

} // namespace emu::vvm
