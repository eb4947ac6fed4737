// KelVvmResponseParser: turns an answer of the voicemail web service into its response object.
#include "KelVvmResponseParser.h"

#include "KelVvmLog.h"
#include "KelVvmXml.h"

#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace
{

// Library messages logged per answer; a hostile answer can provoke one per element.
const int kMaxLoggedErrors = 8;

// Attributes of the start tag at `p`, up to `end`: every '=' outside quotes starts one, and a
// '>' outside quotes ends the tag.
size_t attributesOfTag(const char* p, const char* end)
{
    size_t attributes = 0;
    char quote = 0;
    for (p++; p < end; p++) {
        if (quote)
            quote = *p == quote ? 0 : quote;
        else if (*p == '"' || *p == '\'')
            quote = *p;
        else if (*p == '>')
            break;
        else if (*p == '=')
            attributes++;
    }
    return attributes;
}

// Whether no stretch of text between two '<' holds more '=' than an element may have
// attributes: true for every real answer, and found in a few library calls.
bool fewEqualsBetweenTags(const char* p, const char* end)
{
    size_t run = 0;
    for (const char* q; (q = static_cast<const char*>(std::memchr(p, '=', size_t(end - p))));
         p = q + 1) {
        if (std::memchr(p, '<', size_t(q - p)))
            run = 0;
        if (++run > KelVvmResponseParser::s_maxAttributes)
            return false;
    }
    return true;
}

// The library checks an element's attributes against each other, in time quadratic in their
// number, before the parse sees the element: so they are counted here first, in one pass. A
// '<' always starts markup and ends a start tag wherever it stands, in the library too;
// comments, CDATA sections and processing instructions are skipped. Tags are counted exactly
// only when the '=' up to the next '<' are too many.
bool attributesBounded(const std::string& text)
{
    const char* p = text.data();
    const char* end = p + text.size();
    if (fewEqualsBetweenTags(p, end))
        return true;
    auto skipPast = [&](const char* from, const char* terminator) {
        const char* found = static_cast<const char*>(
            memmem(from, size_t(end - from), terminator, std::strlen(terminator)));
        return found ? found + std::strlen(terminator) : end;
    };
    auto startsWith = [&](const char* at, const char* prefix) {
        size_t n = std::strlen(prefix);
        return size_t(end - at) >= n && std::memcmp(at, prefix, n) == 0;
    };
    const size_t bound = KelVvmResponseParser::s_maxAttributes;
    while (p < end && (p = static_cast<const char*>(std::memchr(p, '<', size_t(end - p))))) {
        if (startsWith(p, "<!--")) {
            p = skipPast(p + 4, "-->");
        } else if (startsWith(p, "<![CDATA[")) {
            p = skipPast(p + 9, "]]>");
        } else if (startsWith(p, "<?")) {
            p = skipPast(p + 2, "?>");
        } else {
            const char* next =
                static_cast<const char*>(std::memchr(p + 1, '<', size_t(end - p - 1)));
            next = next ? next : end;
            bool tag = p + 1 < end && p[1] != '/' && p[1] != '!';
            size_t equals = 0;
            for (const char* q = p;
                 tag && equals <= bound &&
                 (q = static_cast<const char*>(std::memchr(q + 1, '=', size_t(next - q - 1))));)
                equals++;
            if (equals > bound && attributesOfTag(p, next) > bound)
                return false;
            p = next;
        }
    }
    return true;
}

std::unique_ptr<KelVvmResponse> createFor(const KelVvmNode& answer)
{
    if (answer.is("subscribeResponse"))
        return std::make_unique<KelVvmSubscribeResponse>();
    if (answer.is("getUserProfileResponse"))
        return std::make_unique<KelVvmGetUserProfileResponse>();
    if (answer.is("setProfileResponse"))
        return std::make_unique<KelVvmSetUserProfileResponse>();
    if (answer.is("setInviteMessageResponse"))
        return std::make_unique<KelVvmSetInviteResponse>();
    if (answer.is("deliverMultipleMessagesResponse"))
        return std::make_unique<KelVvmDeliverMessageResponse>();
    if (answer.is("archiveCallResponse"))
        return std::make_unique<KelVvmArchiveMessageResponse>();
    if (answer.is("deleteMultipleMessagesResponse"))
        return std::make_unique<KelVvmDeleteMessagesResponse>();
    if (answer.is("getAllCallOptiResponse"))
        return std::make_unique<KelVvmGetAllMessagesResponse>();
    if (answer.is("getMessageVocalByIdResponse"))
        return std::make_unique<KelVvmGetMessageInfoResponse>();
    if (answer.is("Fault"))
        return std::make_unique<KelVvmFaultResponse>();
    throw KelVvmResponseException("Unknown response");
}

// The element levels above the answer's content.
enum Level { kDocument = 0, kEnvelope = 1, kBody = 2, kAnswerLevel = 3 };

// One streaming parse: follows the SAX events of the library, checks the envelope, makes the
// response for the answer element and hands it the nodes it takes. The first failure of the
// answer's shape is kept and the rest is only checked for being well-formed, as a document
// that is not well-formed is rejected for that, wherever the fault lies. Nothing thrown
// leaves a callback: the library is C.
class Reader
{
  public:
    // Returns the response, or throws with the reason of the rejection.
    std::unique_ptr<KelVvmResponse> run(const std::string& text);

  private:
    struct Open {
        KelVvmPart part;
        bool hasChild = false;
    };

    static void startElement(void* self, const xmlChar* name, const xmlChar** attributes);
    static void endElement(void* self, const xmlChar*);
    static void characters(void* self, const xmlChar* text, int length);
    static void otherNode(void* self, const xmlChar*);
    static void instruction(void* self, const xmlChar*, const xmlChar*);
    static void documentType(void* self, const xmlChar*, const xmlChar*, const xmlChar*);
    static void structuredError(void* self, xmlError* error);
    static void genericError(void* self, const char* format, ...);

    void onStart(const char* name, const xmlChar** attributes);
    void declare(const char* attribute, const char* value);
    const char* localName(const char* name) const;
    void onEnd();
    void onText(const char* text, size_t length);
    KelVvmPart onNode(const KelVvmNode& node);
    void onXmlError(const xmlError& error);
    void logXmlMessage(int level, const char* message);

    // Ends the parse at once: the answer has a shape no answer has.
    void refuse(const char* reason);
    void halt();
    // Keeps the first shape fault; from then on nodes are only counted.
    void fail(const char* reason);

    template <typename Callback> void guarded(Callback callback);

    xmlParserCtxt* m_context = nullptr;
    std::unique_ptr<KelVvmResponse> m_response;
    std::string m_failure;
    std::string m_refusal;
    // The one text buffer: the content of the field being read.
    std::string m_text;
    Open m_open[KelVvmResponseParser::s_maxDepth + 1];
    size_t m_namespaceCount[KelVvmResponseParser::s_maxDepth + 1] = {};
    // The namespace declarations of the open elements, innermost last: the prefix each binds
    // (in a name of the parser's dictionary), empty for one that binds no prefix.
    struct Prefix {
        const char* text;
        size_t length;
    };
    Prefix m_prefixes[KelVvmResponseParser::s_maxNamespaces];
    size_t m_depth = 0;
    // Depth of the field being read; 0 when none.
    size_t m_fieldDepth = 0;
    size_t m_namespaces = 0;
    size_t m_textRun = 0;
    int m_loggedErrors = 0;
};

template <typename Callback> void Reader::guarded(Callback callback)
{
    try {
        callback();
    } catch (const KelVvmResponseException& e) {
        fail(e.what());
    } catch (const std::exception& e) {
        refuse(e.what());
    }
}

void Reader::refuse(const char* reason)
{
    if (m_refusal.empty()) {
        m_refusal = reason;
        halt();
    }
}

// The library's loops end at this state, and it calls back no more. xmlStopParser would also
// free the input, which the library may still be reading when it reports an error.
void Reader::halt()
{
    m_context->disableSAX = 1;
    m_context->instate = XML_PARSER_EOF;
}

void Reader::fail(const char* reason)
{
    if (m_failure.empty())
        m_failure = reason;
    m_fieldDepth = 0;
}

void Reader::startElement(void* self, const xmlChar* name, const xmlChar** attributes)
{
    Reader& reader = *static_cast<Reader*>(self);
    reader.guarded([&] { reader.onStart(reinterpret_cast<const char*>(name), attributes); });
}

void Reader::endElement(void* self, const xmlChar*)
{
    Reader& reader = *static_cast<Reader*>(self);
    reader.guarded([&] { reader.onEnd(); });
}

void Reader::characters(void* self, const xmlChar* text, int length)
{
    Reader& reader = *static_cast<Reader*>(self);
    reader.guarded([&] { reader.onText(reinterpret_cast<const char*>(text), size_t(length)); });
}

void Reader::otherNode(void* self, const xmlChar*)
{
    Reader& reader = *static_cast<Reader*>(self);
    reader.guarded([&] {
        reader.m_textRun = 0;
        reader.onNode(KelVvmNode{nullptr, 0, false});
    });
}

void Reader::instruction(void* self, const xmlChar*, const xmlChar*)
{
    otherNode(self, nullptr);
}

// SOAP messages carry no document type declaration. Ending the parse here, before its
// internal subset is read, refuses every entity it could declare. The library would read the
// subset all the same after a mere halt; it is stopped outright, which is safe at this point.
void Reader::documentType(void* self, const xmlChar*, const xmlChar*, const xmlChar*)
{
    Reader& reader = *static_cast<Reader*>(self);
    reader.refuse("Invalid XML");
    xmlStopParser(reader.m_context);
}

void Reader::onStart(const char* name, const xmlChar** attributes)
{
    m_textRun = 0;
    if (m_depth == KelVvmResponseParser::s_maxDepth)
        return refuse("Answer nested too deeply");
    size_t namespaces = m_namespaces;
    for (; attributes && *attributes; attributes += 2) {
        const char* attribute = reinterpret_cast<const char*>(attributes[0]);
        if (std::strncmp(attribute, "xmlns", 5) == 0 && (!attribute[5] || attribute[5] == ':')) {
            if (m_namespaces == KelVvmResponseParser::s_maxNamespaces)
                return refuse("Too many namespaces");
            declare(attribute, reinterpret_cast<const char*>(attributes[1]));
        }
    }
    const char* local = localName(name);
    KelVvmPart part = onNode(KelVvmNode{local, std::strlen(local), false});
    m_depth++;
    m_namespaceCount[m_depth] = m_namespaces - namespaces;
    m_open[m_depth] = Open{part, false};
    if (part.text) {
        m_fieldDepth = m_depth;
        m_text.clear();
    }
}

// The parse itself leaves namespaces alone, which makes it faster; the names are matched by
// the rules of a namespace-aware parse all the same. A declaration binds its prefix unless it
// is empty or a reserved name or namespace.
void Reader::declare(const char* attribute, const char* value)
{
    const char* prefix = attribute[5] ? attribute + 6 : "";
    bool binds = *prefix && *value && std::strcmp(prefix, "xml") != 0 &&
                 std::strcmp(prefix, "xmlns") != 0 &&
                 std::strcmp(value, "http://www.w3.org/XML/1998/namespace") != 0 &&
                 std::strcmp(value, "http://www.w3.org/2000/xmlns/") != 0;
    m_prefixes[m_namespaces++] = Prefix{prefix, binds ? std::strlen(prefix) : 0};
}

// The local name of the element `name`, or "" (which matches nothing) when its prefix is not
// bound: a namespace-aware parse keeps such a name whole.
const char* Reader::localName(const char* name) const
{
    const char* colon = std::strchr(name, ':');
    if (!colon)
        return name;
    size_t length = size_t(colon - name);
    if (length == 3 && std::strncmp(name, "xml", 3) == 0)
        return colon + 1;
    for (size_t i = m_namespaces; length && i-- > 0;) {
        const Prefix& prefix = m_prefixes[i];
        if (prefix.length == length && std::equal(name, colon, prefix.text))
            return colon + 1;
    }
    return "";
}

// A node inside the element at the current depth: what it is to the answer.
KelVvmPart Reader::onNode(const KelVvmNode& seen)
{
    // Comments and instructions around the root element belong to no element.
    if ((m_depth == kDocument && !seen.name) || !m_failure.empty() || m_fieldDepth)
        return KelVvmPart();
    Open& parent = m_open[m_depth];
    KelVvmNode node = seen;
    node.first = !parent.hasChild;
    parent.hasChild = true;
    switch (m_depth) {
    case kDocument:
        if (node.is("Envelope"))
            return KelVvmPart{kEnvelope, false};
        fail("No Envelope");
        return KelVvmPart();
    case kEnvelope:
        if (node.first && node.is("Body"))
            return KelVvmPart{kBody, false};
        if (node.first)
            fail("No Body");
        return KelVvmPart();
    case kBody:
        if (!node.first)
            return KelVvmPart();
        if (node.name) {
            // Only an element has a name to log.
            KLOG_DEBUG("Response type: %.*s", int(node.length), node.name);
        }
        m_response = createFor(node);
        return KelVvmPart{KelVvmResponse::kAnswer, false};
    default:
        return parent.part.id && !parent.part.text ? m_response->onChild(parent.part.id, node)
                                                   : KelVvmPart();
    }
}

void Reader::onEnd()
{
    m_textRun = 0;
    const Open& open = m_open[m_depth];
    if (m_failure.empty()) {
        if (m_depth == m_fieldDepth) {
            m_fieldDepth = 0;
            m_response->onText(open.part.id, m_text);
        } else if (m_depth == kEnvelope && !open.hasChild) {
            fail("No Body");
        } else if (m_depth == kBody && open.part.id && !open.hasChild) {
            fail("Invalid XML");
        } else if (m_depth >= kAnswerLevel && open.part.id) {
            m_response->onEnd(open.part.id, !open.hasChild);
        }
    }
    m_namespaces -= m_namespaceCount[m_depth];
    m_depth--;
}

void Reader::onText(const char* text, size_t length)
{
    m_textRun += length;
    if (m_textRun > KelVvmResponseParser::s_maxTextRun)
        return refuse("Text too long");
    if (m_fieldDepth)
        m_text.append(text, length);
    else
        onNode(KelVvmNode{nullptr, 0, false});
}

void Reader::structuredError(void* self, xmlError* error)
{
    if (error)
        static_cast<Reader*>(self)->onXmlError(*error);
}

void Reader::onXmlError(const xmlError& error)
{
    // What the library says once it has stopped only follows from the stop.
    if (!m_refusal.empty() || m_context->instate == XML_PARSER_EOF)
        return;
    int level = QMLOG_LEVEL_DEBUG;
    if (error.level == XML_ERR_FATAL) {
        // The library would read on after a fatal error, with nothing checked any more.
        level = QMLOG_LEVEL_WARNING;
        m_context->wellFormed = 0;
        halt();
    }
    char line[64];
    std::snprintf(line, sizeof line, "XML error %d at line %d: ", error.code, error.line);
    logXmlMessage(level, (line + std::string(error.message ? error.message : "")).c_str());
}

// Messages the library prints without a structured record (some encoding failures).
void Reader::genericError(void* self, const char* format, ...)
{
    char message[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    static_cast<Reader*>(self)->logXmlMessage(QMLOG_LEVEL_DEBUG, message);
}

void Reader::logXmlMessage(int level, const char* message)
{
    if (m_loggedErrors++ >= kMaxLoggedErrors)
        return;
    size_t length = std::strlen(message);
    while (length && (message[length - 1] == '\n' || message[length - 1] == ' '))
        length--;
    KLOG(level, "%.*s", int(length), message);
}

// Sends the library's messages to the service's log for as long as it lives; they would
// otherwise reach standard error.
class ErrorRoute
{
  public:
    ErrorRoute(void* reader, xmlStructuredErrorFunc structured, xmlGenericErrorFunc generic)
        : m_structured(xmlStructuredError), m_structuredContext(xmlStructuredErrorContext),
          m_generic(xmlGenericError), m_genericContext(xmlGenericErrorContext)
    {
        xmlSetStructuredErrorFunc(reader, structured);
        xmlSetGenericErrorFunc(reader, generic);
    }
    ~ErrorRoute()
    {
        xmlSetStructuredErrorFunc(m_structuredContext, m_structured);
        xmlSetGenericErrorFunc(m_genericContext, m_generic);
    }
    ErrorRoute(const ErrorRoute&) = delete;
    ErrorRoute& operator=(const ErrorRoute&) = delete;

  private:
    xmlStructuredErrorFunc m_structured;
    void* m_structuredContext;
    xmlGenericErrorFunc m_generic;
    void* m_genericContext;
};

struct ContextDeleter {
    void operator()(xmlParserCtxt* context) const { xmlFreeParserCtxt(context); }
};

std::unique_ptr<KelVvmResponse> Reader::run(const std::string& text)
{
    // A handler of the first SAX version: elements come by name, without namespace processing
    // (see declare), and the library's messages go through the route below.
    xmlSAXHandler sax = {};
    sax.startElement = startElement;
    sax.endElement = endElement;
    // The same function for both: the library then reports every blank as text, as a tree
    // would hold it.
    sax.characters = characters;
    sax.ignorableWhitespace = characters;
    sax.cdataBlock = characters;
    sax.comment = otherNode;
    sax.processingInstruction = instruction;
    sax.internalSubset = documentType;

    // The library makes no context for an empty text, which is no document either.
    if (text.empty())
        throw KelVvmResponseException("XML doc allocation failed");
    ErrorRoute route(this, structuredError, genericError);
    std::unique_ptr<xmlParserCtxt, ContextDeleter> context(
        xmlCreateMemoryParserCtxt(text.data(), int(text.size())));
    if (!context)
        throw std::bad_alloc();
    m_context = context.get();
    xmlCtxtUseOptions(m_context, XML_PARSE_NONET | XML_PARSE_SAX1);
    xmlSAXHandler* own = m_context->sax;
    m_context->sax = &sax;
    m_context->userData = this;
    xmlParseDocument(m_context);
    m_context->sax = own;
    m_context->userData = m_context;

    if (!m_refusal.empty())
        throw KelVvmResponseException(m_refusal);
    if (!m_context->wellFormed)
        throw KelVvmResponseException("XML doc allocation failed");
    if (!m_failure.empty())
        throw KelVvmResponseException(m_failure);
    if (!m_response)
        throw KelVvmResponseException("Invalid XML");
    return std::move(m_response);
}

std::unique_ptr<KelVvmResponse> parseOrThrow(const std::string& text)
{
    if (text.size() > KelVvmResponseParser::s_maxTextSize)
        throw KelVvmResponseException("Response too large");
    if (!attributesBounded(text))
        throw KelVvmResponseException("Too many attributes");
    std::unique_ptr<KelVvmResponse> response = Reader().run(text);
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
    KLOG_DEBUG("KelVvmResponseParser::parse: %s", LoggedPayload(text).c_str());
    try {
        std::unique_ptr<KelVvmResponse> response = parseOrThrow(text);
        KLOG_DEBUG("Parsing response success");
        return response;
    } catch (const std::exception& e) {
        KLOG_WARNING("Parsing response failure: %s", e.what());
        return std::make_unique<KelVvmBadResponse>();
    }
}
