// HttpRequest: one blocking HTTP exchange of the voicemail service over libcurl.
#ifndef HTTPREQUEST_H
#define HTTPREQUEST_H

#include "NoCopyClass.h"

#include <curl/curl.h>

#include <cstddef>
#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

class HttpRequestException : public std::runtime_error
{
  public:
    // `code`: the libcurl result of a failed transfer, 27 for "Out of memory", otherwise 0.
    HttpRequestException(const std::string& text, int code) : std::runtime_error(text), code(code)
    {
    }
    int code;
};

class HttpRequest : public NoCopyClass
{
  public:
    explicit HttpRequest(const std::string& url);
    ~HttpRequest();

    // Appends "name: value". An empty value sends no such header and suppresses libcurl's own
    // header of that name (used for "Expect").
    void setRequestHeader(const std::string& name, const std::string& value);

    // One transfer: a POST of the NUL-terminated `body`, or a GET when it is null. Returns the
    // HTTP status, whatever it is; throws HttpRequestException when the transfer itself fails.
    long post(const char* body);
    long get() { return post(nullptr); }

    // GET into the file `path` with up to five attempts. Returns only once the file holds the
    // complete body; otherwise throws, and no file is left at `path`. A symbolic link at `path`
    // is not followed (the attempt fails). A URL that no attempt can mend (see checkUrl), or a
    // transfer failure of that kind, throws at once, without a wait.
    void download(const std::string& path);
    // download() into the partial file of the folder of `path`, renamed onto `path` once
    // complete: until then `path` keeps what it held, a failure leaves it as it was, and a
    // link at `path` is replaced, never written through. Throws as download(), or "Unable to
    // store file: <reason>" when the rename fails; no partial file is left.
    void downloadReplacing(const std::string& path);
    // The partial file of downloads into `folder` (which ends with "/"). Final names of the
    // media folder end with an audio extension, so this name is never one of them.
    static std::string partialPath(const std::string& folder);

    // Throws HttpRequestException (code CURLE_URL_MALFORMAT or CURLE_UNSUPPORTED_PROTOCOL) for a
    // URL that no attempt could fetch: empty, malformed, or of a scheme other than http and
    // https, the only ones transfers may use.
    static void checkUrl(const std::string& url);
    // Whether an attempt that failed with `e` may succeed when repeated: not when the failure
    // lies in the request itself (its URL, a protocol or option the library lacks).
    static bool mayRetry(const HttpRequestException& e);

    // The first value received under exactly `name` (case-sensitive), or "".
    std::string getResponseHeader(const std::string& name) const;
    // "name: value\r\n" for every header received, in byte order of the names.
    std::string getAllResponseHeaders() const;
    const std::string& response() const { return m_response; }

    static size_t dataWriter(void* data, size_t size, size_t count, void* request);
    static size_t headerWriter(void* data, size_t size, size_t count, void* request);

    // The waits between attempts, of downloads here and of the SOAP exchanges; a test hook
    // replaces it to record the waits instead of sleeping.
    static void (*s_sleepHook)(unsigned seconds);
    // A body kept in memory beyond this many bytes aborts the transfer: no answer of the
    // voicemail platform comes near it (the answer parser refuses longer texts too), and a
    // hostile peer must not exhaust memory.
    static const size_t s_maxResponseSize = 1u << 20;

    // [tls] ca-file of the settings: https peers are verified against these CA certificates
    // instead of the system's; empty: the system's.
    static std::string s_caFile;
    // [network] reuse-connections of the settings: every transfer of the process shares one
    // cache of connections and TLS sessions, so exchanges with a host go on one connection
    // while the server keeps it; off: a connection of its own per transfer.
    static bool s_reuseConnections;
    // Closes the kept connections and frees the handle and cache the transfers share; the next
    // transfer starts afresh. Called before libcurl's global clean-up.
    static void closeConnections();

    // Status of the last completed transfer; 0 before it ends.
    long m_status;
    // Local interface or address the transfers are bound to; empty: unbound.
    std::string m_interface;
    // Length announced by the response being downloaded; 0 when none was announced.
    long m_contentLength;
    // Set, for good, when the media folder lacked room for a download.
    bool m_outOfSpace;

  private:
    struct ListDeleter {
        void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    };

    size_t onData(const char* data, size_t n);
    size_t onHeader(const char* data, size_t n);
    void downloadOnce(const std::string& path);
    void discardFile(const std::string& path);

    FILE* m_file;
    const std::string m_url;
    std::string m_response;
    std::unique_ptr<curl_slist, ListDeleter> m_requestHeaders;
    std::map<std::string, std::string> m_responseHeaders;
    long m_bytesWritten;
};

#endif
