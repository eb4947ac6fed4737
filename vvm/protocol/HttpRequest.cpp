// HttpRequest: one blocking HTTP exchange of the voicemail service over libcurl.
#include "HttpRequest.h"

#include "KelVvmLog.h"
#include "KelVvmServiceValues.h"
#include "KelVvmSettings.h"
#include "KelVvmStop.h"
#include "KelVvmUtils.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace
{

void sleepForReal(unsigned seconds)
{
    KelVvmStop::sleep(KelVvmServiceValues::scaledMilliseconds(seconds));
}

// Called by libcurl about once a second, and more often while data flows: a stop signal ends
// the transfer instead of its time-out.
int stopOnSignal(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return KelVvmStop::requested() ? 1 : 0;
}

// Free bytes of the media folder, or -1 when it cannot be examined: an unknown amount never
// yields an out-of-space verdict.
long long mediaFreeSpace()
{
    try {
        return getFreeSpace(KelVvmServiceValues::s_mediaFolder);
    } catch (const std::exception& e) {
        KLOG_WARNING("Free space of %s unknown: %s", KelVvmServiceValues::s_mediaFolder.c_str(),
                     e.what());
        return -1;
    }
}

bool isStatusLine(const std::string& line)
{
    return line.compare(0, 5, "HTTP/") == 0;
}

// libcurl takes a bare name for an interface first and looks it up among the host's interfaces
// on every transfer; "host!" names an address directly and skips that lookup.
std::string curlInterface(const std::string& interfaceOrAddress)
{
    unsigned char address[sizeof(in6_addr)];
    if (inet_pton(AF_INET, interfaceOrAddress.c_str(), address) == 1 ||
        inet_pton(AF_INET6, interfaceOrAddress.c_str(), address) == 1)
        return "host!" + interfaceOrAddress;
    return interfaceOrAddress;
}

// The one handle of every transfer of the process: a new handle per transfer repeats its own
// set-up (internal event handle, wake-up socket pair, caches) each time. Transfers block and never
// overlap; each starts from a reset handle and on a connection of its own, unless connections
// are reused.
CURL* s_transferHandle = nullptr;
// The connections and TLS sessions every transfer of the process shares when connections are
// reused. Transfers run on the main thread only, so the share needs no locks.
CURLSH* s_connectionShare = nullptr;
// Whether the handle was made for reused connections. A handle that ran without the share has a
// TLS session cache of its own, which libcurl drops without freeing once a share is attached,
// so a handle never changes sides: a change of the setting makes a new one.
bool s_handleShares = false;

CURLSH* connectionShare()
{
    if (!s_connectionShare) {
        s_connectionShare = curl_share_init();
        if (s_connectionShare) {
            curl_share_setopt(s_connectionShare, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
            curl_share_setopt(s_connectionShare, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
            curl_share_setopt(s_connectionShare, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        }
    }
    return s_connectionShare;
}

// The handle reset for one transfer: on the share when `reuse`, otherwise forbidden to keep
// its connection.
CURL* transferHandle(bool reuse)
{
    if (s_transferHandle && s_handleShares != reuse) {
        curl_easy_cleanup(s_transferHandle);
        s_transferHandle = nullptr;
    }
    CURLSH* share = reuse ? connectionShare() : nullptr;
    if (reuse && !share)
        throw HttpRequestException("CURL share allocation failed", 0);
    if (!s_transferHandle) {
        s_transferHandle = curl_easy_init();
        s_handleShares = reuse;
    } else {
        curl_easy_reset(s_transferHandle);
    }
    if (!s_transferHandle)
        throw HttpRequestException("CURL Handle allocation failed", 0);
    if (reuse)
        curl_easy_setopt(s_transferHandle, CURLOPT_SHARE, share);
    else
        curl_easy_setopt(s_transferHandle, CURLOPT_FORBID_REUSE, 1L);
    return s_transferHandle;
}

} // namespace

void (*HttpRequest::s_sleepHook)(unsigned seconds) = sleepForReal;
std::string HttpRequest::s_caFile = KelVvmSettings::instance().caFile;
bool HttpRequest::s_reuseConnections = KelVvmSettings::instance().reuseConnections;

void HttpRequest::closeConnections()
{
    // The handle first: a share still in use by a handle cannot be cleaned up.
    if (s_transferHandle) {
        curl_easy_cleanup(s_transferHandle);
        s_transferHandle = nullptr;
    }
    if (s_connectionShare) {
        curl_share_cleanup(s_connectionShare);
        s_connectionShare = nullptr;
    }
}

HttpRequest::HttpRequest(const std::string& url)
    : m_status(0), m_contentLength(0), m_outOfSpace(false), m_file(nullptr), m_url(url),
      m_bytesWritten(0)
{
}

HttpRequest::~HttpRequest()
{
    if (m_file)
        fclose(m_file);
}

void HttpRequest::setRequestHeader(const std::string& name, const std::string& value)
{
    std::string line = name + ": " + value;
    curl_slist* head = curl_slist_append(m_requestHeaders.get(), line.c_str());
    if (!head)
        throw std::bad_alloc();
    if (!m_requestHeaders)
        m_requestHeaders.reset(head);
}

long HttpRequest::post(const char* body)
{
    m_status = 0;
    m_response.clear();
    m_contentLength = 0;
    m_bytesWritten = 0;
    CURL* curl = transferHandle(s_reuseConnections);
    if (!s_caFile.empty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, s_caFile.c_str());

    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, KelVvmServiceValues::scaledMilliseconds(120));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, KelVvmServiceValues::scaledMilliseconds(60));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, stopOnSignal);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_URL, m_url.c_str());
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    // A redirected POST stays a POST with its body: turned into a GET it would still carry
    // the caller's "Content-Length", and the server would wait for a body that never comes.
    curl_easy_setopt(curl, CURLOPT_POSTREDIR, long(CURL_REDIR_POST_ALL));
    // Audio addresses come from the server: without this a "file:" URL would copy a local
    // file into the media folder.
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, dataWriter);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, headerWriter);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
    if (body)
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body);
    if (m_requestHeaders)
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, m_requestHeaders.get());
    if (!m_interface.empty())
        curl_easy_setopt(curl, CURLOPT_INTERFACE, curlInterface(m_interface).c_str());

    CURLcode result = curl_easy_perform(curl);
    if (result != CURLE_OK)
        throw HttpRequestException(curl_easy_strerror(result), int(result));
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &m_status);
    KLOG_DEBUG("Request status: %ld", m_status);
    return m_status;
}

std::string HttpRequest::getResponseHeader(const std::string& name) const
{
    auto found = m_responseHeaders.find(name);
    return found == m_responseHeaders.end() ? std::string() : found->second;
}

std::string HttpRequest::getAllResponseHeaders() const
{
    std::string all;
    for (const auto& header : m_responseHeaders)
        all += header.first + ": " + header.second + "\r\n";
    return all;
}

size_t HttpRequest::dataWriter(void* data, size_t size, size_t count, void* request)
{
    return static_cast<HttpRequest*>(request)->onData(static_cast<const char*>(data), size * count);
}

size_t HttpRequest::headerWriter(void* data, size_t size, size_t count, void* request)
{
    return static_cast<HttpRequest*>(request)->onHeader(static_cast<const char*>(data),
                                                        size * count);
}

// Called from inside libcurl: nothing may be thrown out of here; returning a short count aborts
// the transfer.
size_t HttpRequest::onData(const char* data, size_t n)
{
    try {
        if (!m_file) {
            if (m_response.size() + n > s_maxResponseSize) {
                KLOG_WARNING("Response of %s exceeds %zu bytes", m_url.c_str(), s_maxResponseSize);
                return 0;
            }
            m_response.append(data, n);
            return n;
        }
        size_t written = fwrite(data, 1, n, m_file);
        m_bytesWritten += long(written);
        if (written == n)
            return written;
        long long space = mediaFreeSpace();
        if (space >= 0 && (unsigned long long)space < n)
            m_outOfSpace = true;
        return written;
    } catch (const std::exception& e) {
        KLOG_ERROR("Body of %s dropped: %s", m_url.c_str(), e.what());
        return 0;
    }
}

size_t HttpRequest::onHeader(const char* data, size_t n)
{
    try {
        std::string line(data, n);
        const std::string blanks = "\r\n\t ";
        std::string name, value;
        size_t colon = line.find(':');
        if (colon == std::string::npos) {
            name = value = trimWhitespace(line, blanks);
        } else {
            name = trimWhitespace(line.substr(0, colon), blanks);
            value = trimWhitespace(line.substr(colon + 1), blanks);
        }
        m_responseHeaders.emplace(name, value);
        if (!m_file)
            return n;
        // Each hop of a redirect brings its own length; only the last one's describes the
        // body that reaches the file.
        if (isStatusLine(name)) {
            m_contentLength = 0;
            return n;
        }
        std::string lower = name;
        for (char& c : lower)
            c = char(std::tolower((unsigned char)c));
        if (lower != "content-length")
            return n;
        long long length = std::strtoll(value.c_str(), nullptr, 10);
        m_contentLength = length > 0 ? long(length) : 0;
        KLOG_DEBUG("Header: content-length = %ld", m_contentLength);
        long long space = mediaFreeSpace();
        if (space >= 0 && m_contentLength > space) {
            m_outOfSpace = true;
            return 0;
        }
        return n;
    } catch (const std::exception& e) {
        KLOG_ERROR("Header of %s dropped: %s", m_url.c_str(), e.what());
        return 0;
    }
}

void HttpRequest::checkUrl(const std::string& url)
{
    if (url.empty())
        throw HttpRequestException("No URL", CURLE_URL_MALFORMAT);
    if (url.find('\0') != std::string::npos)
        throw HttpRequestException("Malformed URL: it holds a zero byte", CURLE_URL_MALFORMAT);
    std::unique_ptr<CURLU, void (*)(CURLU*)> parsed(curl_url(), curl_url_cleanup);
    if (!parsed)
        throw std::bad_alloc();
    CURLUcode result =
        curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME);
    if (result != CURLUE_OK)
        throw HttpRequestException(std::string("Malformed URL: ") + curl_url_strerror(result),
                                   CURLE_URL_MALFORMAT);
    char* scheme = nullptr;
    if (curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK)
        throw HttpRequestException("Malformed URL: no scheme", CURLE_URL_MALFORMAT);
    std::string name = scheme;
    curl_free(scheme);
    if (name != "http" && name != "https")
        throw HttpRequestException("Unsupported URL scheme: " + name, CURLE_UNSUPPORTED_PROTOCOL);
}

bool HttpRequest::mayRetry(const HttpRequestException& e)
{
    switch (e.code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_NOT_BUILT_IN:
    case CURLE_BAD_FUNCTION_ARGUMENT:
    case CURLE_UNKNOWN_OPTION:
        return false;
    default:
        return true;
    }
}

std::string HttpRequest::partialPath(const std::string& folder)
{
    return folder + ".download.part";
}

void HttpRequest::downloadReplacing(const std::string& path)
{
    const std::string partial = partialPath(path.substr(0, path.rfind('/') + 1));
    // Whatever is left there (a cut download, a planted link) is not ours to write into.
    unlink(partial.c_str());
    download(partial);
    if (rename(partial.c_str(), path.c_str()) != 0) {
        int error = errno;
        unlink(partial.c_str());
        throw HttpRequestException(std::string("Unable to store file: ") + strerror(error), 0);
    }
}

void HttpRequest::downloadOnce(const std::string& path)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        throw HttpRequestException("Unable to create file", 0);
    m_file = fdopen(fd, "wb");
    if (!m_file) {
        close(fd);
        unlink(path.c_str());
        throw HttpRequestException("Unable to open file for write", 0);
    }
    // Unbuffered, so that a write the disk cannot take shows up in dataWriter, where the
    // free space is judged, and not in a flush after the transfer.
    setvbuf(m_file, nullptr, _IONBF, 0);
    if (get() != 200)
        throw HttpRequestException("Download status code error", 0);
    if (m_contentLength > 0 && m_contentLength != m_bytesWritten)
        throw HttpRequestException("Download size doesn't match", 0);
    fclose(m_file);
    m_file = nullptr;
}

void HttpRequest::discardFile(const std::string& path)
{
    if (!m_file)
        return;
    fclose(m_file);
    m_file = nullptr;
    unlink(path.c_str());
}

void HttpRequest::download(const std::string& path)
{
    checkUrl(m_url);
    for (unsigned wait = 20;; wait += 10) {
        KLOG_DEBUG("Download started for %s", path.c_str());
        try {
            downloadOnce(path);
            return;
        } catch (const HttpRequestException& e) {
            KLOG_DEBUG("Download failed for %s", path.c_str());
            discardFile(path);
            if (!mayRetry(e))
                throw;
        } catch (...) {
            discardFile(path);
            throw;
        }
        if (m_outOfSpace)
            throw HttpRequestException("Out of memory", 27);
        s_sleepHook(wait);
        if (wait == 60 || KelVvmStop::requested())
            throw HttpRequestException("Download failed!", 0);
    }
}
