// GatewayPages: the texts the hotspot gateway and the carrier endpoints answer with.
#ifndef EMU_HOTSPOT_GATEWAYPAGES_H
#define EMU_HOTSPOT_GATEWAYPAGES_H

#include <string>

namespace emu::hotspot
{

// WISPr message types.
enum {
    kMessageTypeRedirect = 100,
    kMessageTypeAuthenticationReply = 120,
    kMessageTypeLogoffReply = 130,
    kMessageTypePollReply = 140,
};

struct GatewayUrls {
    std::string portal;
    std::string login;        // with its query
    std::string loginResults; // with its query
    std::string logoff;
};

// How a gateway writes its texts; real ones differ in both.
struct TextShape {
    bool crlf = true;         // CRLF line ends, or LF alone
    bool xmlInComment = true; // the redirect page's WISPr XML inside an HTML comment, or bare
};

// The portal page a phone is redirected to: HTML carrying the WISPr redirect parameters, one
// element per line (the client reads the page line by line), and a comment line with the
// session id. URLs are XML-escaped ("&" as "&amp;"), as XML requires.
std::string redirectPage(const GatewayUrls& urls, const std::string& sessionId,
                         const TextShape& shape);

// `text` with its CRLF line ends as `shape` wants them.
std::string withLineEnds(const std::string& text, const TextShape& shape);

// The reply to a login POST: 50 carries the logoff URL, 201 the login-results URL.
std::string authenticationReply(int responseCode, const GatewayUrls& urls);
std::string pollReply(int responseCode, const GatewayUrls& urls);
std::string logoffReply();

// The account-creation answer; empty `username` means refused (only <c_response>).
std::string accountReply(const std::string& username, const std::string& password);

// A whole HTTP/1.0 response with Content-Length and "Connection: close". `location` adds a
// Location header when not empty.
std::string httpResponse(int status, const std::string& contentType, const std::string& body,
                         const std::string& location = "");

// The status line's reason phrase ("OK", "Found" ...; "Status" for a code it does not know).
const char* reasonPhrase(int status);

} // namespace emu::hotspot

#endif
