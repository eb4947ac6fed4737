// SoapXml: reading requests and writing answers of the emulated voicemail web service.
#ifndef EMU_SOAPXML_H
#define EMU_SOAPXML_H

#include <libxml/tree.h>

#include <string>

namespace emu::vvm
{

extern const char* const kSoapEnvelopeNamespace;

// A parsed document, freed with the object; without network access, DTD or entity expansion.
// A document with a DTD counts as unparsable, as SOAP forbids one.
class XmlDocument
{
  public:
    explicit XmlDocument(const std::string& text);
    ~XmlDocument();
    XmlDocument(const XmlDocument&) = delete;
    XmlDocument& operator=(const XmlDocument&) = delete;

    // Null when the text was not a well-formed document.
    const xmlNode* root() const;

  private:
    xmlDoc* m_doc;
};

// Element `node` has exactly this local name.
bool localNameIs(const xmlNode* node, const char* name);
// True when the element's namespace URI is `uri`.
bool namespaceIs(const xmlNode* node, const std::string& uri);
// First child element, and first child element of that name; null when there is none.
const xmlNode* firstElement(const xmlNode* node);
const xmlNode* childElement(const xmlNode* node, const char* name);
std::string textOf(const xmlNode* node);
std::string attribute(const xmlNode* node, const char* name);

std::string xmlEscape(const std::string& text);

// <name>escaped text</name>, with the answer prefix.
std::string element(const std::string& name, const std::string& text);

// An answer envelope: Body holding <ns:{operation}Response xmlns:ns=...>{content}</...>.
std::string answerEnvelope(const std::string& webNamespace, const std::string& operation,
                           const std::string& content);

// A SOAP 1.1 fault: faultcode "soapenv:Client" or "soapenv:Server", faultstring, and
// detail/VVMMiddleException/status.
std::string faultEnvelope(const std::string& webNamespace, bool client, const std::string& text,
                          const std::string& status);

} // namespace emu::vvm

#endif
