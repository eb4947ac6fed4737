// GatewayPages: the texts the hotspot gateway and the carrier endpoints answer with.
#include "GatewayPages.h"

namespace emu::hotspot
{

namespace
{
const char kParamOpen[] = "<WISPAccessGatewayParam>\r\n";
const char kParamClose[] = "</WISPAccessGatewayParam>\r\n";

std::string element(const char* name, const std::string& value)
{
    return std::string("<") + name + ">" + value + "</" + name + ">\r\n";
}

std::string xmlEscape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string element(const char* name, int value)
{
    return element(name, std::to_string(value));
}

const char* replyMessage(int responseCode)
{
    switch (responseCode) {
    case 50:
        return "Login succeeded";
    case 100:
        return "Login failed";
    case 201:
        return "Authentication pending";
    }
    return "Gateway error";
}
} // namespace

std::string redirectPage(const GatewayUrls& urls, const std::string& sessionId,
                         const TextShape& shape)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n" + std::string(kParamOpen) +
                      "<Redirect>\r\n" + element("AccessProcedure", "1.0") +
                      element("AccessLocation", "emu-hotspot") +
                      element("LocationName", "Emulated hotspot") +
                      element("LoginURL", xmlEscape(urls.login)) +
                      element("LoginResultsURL", xmlEscape(urls.loginResults)) +
                      element("LogoffURL", xmlEscape(urls.logoff)) +
                      element("MessageType", kMessageTypeRedirect) + element("ResponseCode", 0) +
                      "</Redirect>\r\n" + kParamClose;
    if (shape.xmlInComment)
        xml = "<!--\r\n" + xml + "-->\r\n";
    return withLineEnds("<html>\r\n"
                        "<head><title>Emulated hotspot</title></head>\r\n"
                        "<!-- SessionId=" +
                            sessionId + "-->\r\n" + xml +
                            "<body><p>Sign in to use this hotspot.</p></body>\r\n"
                            "</html>\r\n",
                        shape);
}

std::string withLineEnds(const std::string& text, const TextShape& shape)
{
    if (shape.crlf)
        return text;
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            out += text[i];
    }
    return out;
}

std::string authenticationReply(int responseCode, const GatewayUrls& urls)
{
    std::string text = std::string(kParamOpen) + "<AuthenticationReply>\r\n" +
                       element("MessageType", kMessageTypeAuthenticationReply) +
                       element("ResponseCode", responseCode) +
                       element("ReplyMessage", replyMessage(responseCode));
    if (responseCode == 50)
        text += element("LogoffURL", xmlEscape(urls.logoff));
    if (responseCode == 201)
        text += element("LoginResultsURL", xmlEscape(urls.loginResults));
    return text + "</AuthenticationReply>\r\n" + kParamClose;
}

std::string pollReply(int responseCode, const GatewayUrls& urls)
{
    std::string text = std::string(kParamOpen) + "<AuthenticationPollReply>\r\n" +
                       element("MessageType", kMessageTypePollReply) +
                       element("ResponseCode", responseCode) +
                       element("ReplyMessage", replyMessage(responseCode));
    if (responseCode == 50)
        text += element("LogoffURL", xmlEscape(urls.logoff));
    return text + "</AuthenticationPollReply>\r\n" + kParamClose;
}

std::string logoffReply()
{
    return std::string(kParamOpen) + "<LogoffReply>\r\n" +
           element("MessageType", kMessageTypeLogoffReply) + element("ResponseCode", 150) +
           "</LogoffReply>\r\n" + kParamClose;
}

std::string accountReply(const std::string& username, const std::string& password)
{
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<account>\r\n";
    if (!username.empty())
        text += element("m_response", username) + element("p_response", password);
    return text + element("c_response", username.empty() ? 1 : 0) + "</account>\r\n";
}

const char* reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    }
    return "Status";
}

std::string httpResponse(int status, const std::string& contentType, const std::string& body,
                         const std::string& location)
{
    std::string text = "HTTP/1.0 " + std::to_string(status) + " " + reasonPhrase(status) + "\r\n";
    if (!location.empty())
        text += "Location: " + location + "\r\n";
    return text + "Content-Type: " + contentType +
           "\r\n"
           "Content-Length: " +
           std::to_string(body.size()) +
           "\r\n"
           "Connection: close\r\n"
           "\r\n" +
           body;
}

} // namespace emu::hotspot
