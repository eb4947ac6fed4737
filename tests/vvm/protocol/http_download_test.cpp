// The HTTP transport over loopback: requests and their headers as the server sees them, answers
// and their headers, bounds, and downloads with their retries, waits and free-space guard.
#include "PlatformFixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace
{

// Answers one connection with a canned response, for header lines no HTTP library writes.
class RawServer
{
  public:
    explicit RawServer(std::string response) : m_response(std::move(response))
    {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof(address);
        bind(m_listener, reinterpret_cast<sockaddr*>(&address), size);
        listen(m_listener, 1);
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~RawServer()
    {
        m_thread.join();
        close(m_listener);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/"; }

  private:
    void serve()
    {
        int connection = accept(m_listener, nullptr, nullptr);
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            ssize_t n = read(connection, buffer, sizeof(buffer));
            if (n <= 0)
                break;
            request.append(buffer, size_t(n));
        }
        for (size_t sent = 0; sent < m_response.size();) {
            ssize_t n = write(connection, m_response.data() + sent, m_response.size() - sent);
            if (n <= 0)
                break;
            sent += size_t(n);
        }
        close(connection);
    }

    std::string m_response;
    int m_listener;
    int m_port;
    std::thread m_thread;
};

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream data;
    data << file.rdbuf();
    return data.str();
}

const char* const kOneCall = "[{\"id\":\"101\",\"duration\":2}]";

class Http : public PlatformFixture
{
};

class Download : public PlatformFixture
{
  protected:
    void SetUp() override
    {
        PlatformFixture::SetUp();
        startPlatform(kOneCall);
        JValue call = platform->mailbox()["calls"][0];
        url = call["audioUrl"].asString();
        size = call["audioSize"].asInt64();
        path = folder + "/101.amr";
    }

    // Runs the download; the exception's text and code, or "" when it succeeded.
    std::pair<std::string, int> run(HttpRequest& request)
    {
        try {
            request.download(path);
            return {"", 0};
        } catch (const HttpRequestException& e) {
            return {e.what(), e.code};
        }
    }

    size_t audioRequests() { return platform->requests().arraySize(); }

    std::string url;
    long long size = 0;
    std::string path;
};

TEST_F(Http, NullBodyIsAGetAndEmptyBodyAPostWithHeadersAsAdded)
{
    startPlatform();
    HttpRequest request(platform->baseUrl() + "/anything");
    request.setRequestHeader("X-Test", "one: two");
    request.setRequestHeader("Accept", "");
    EXPECT_EQ(request.get(), 404);
    JValue get = lastRequest();
    EXPECT_EQ(get["method"].asString(), "GET");
    EXPECT_EQ(get["headers"]["X-Test"].asString(), "one: two");
    EXPECT_FALSE(get["headers"].hasKey("Accept"));

    EXPECT_EQ(request.post(""), 404);
    EXPECT_EQ(request.m_status, 404);
    JValue post = lastRequest();
    EXPECT_EQ(post["method"].asString(), "POST");
    EXPECT_EQ(post["body"].asString(), "");
    EXPECT_EQ(request.response(), "Not found");
}

TEST_F(Http, ResponseHeadersKeepTheirFirstValueAndTheirCase)
{
    RawServer server("HTTP/1.1 200 OK\r\nX-One:first\r\nX-One: second\r\n"
                     "X-Two \t:  a:b:c \t\r\nContent-Length: 2\r\nConnection: close\r\n\r\nhi");
    HttpRequest request(server.url());
    EXPECT_EQ(request.get(), 200);
    EXPECT_EQ(request.response(), "hi");
    EXPECT_EQ(request.getResponseHeader("X-One"), "first");
    EXPECT_EQ(request.getResponseHeader("x-one"), "");
    EXPECT_EQ(request.getResponseHeader("X-Two"), "a:b:c");
    EXPECT_EQ(request.getResponseHeader("HTTP/1.1 200 OK"), "HTTP/1.1 200 OK");
    EXPECT_EQ(request.getAllResponseHeaders(),
              ": \r\nConnection: close\r\nContent-Length: 2\r\nHTTP/1.1 200 OK: HTTP/1.1 200 OK"
              "\r\nX-One: first\r\nX-Two: a:b:c\r\n");
}

TEST_F(Http, BodiesAboveTheBoundAndTransportFailuresThrow)
{
    std::string big(HttpRequest::s_maxResponseSize + 1, 'x');
    RawServer server("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(big.size()) +
                     "\r\n\r\n" + big);
    HttpRequest request(server.url());
    try {
        request.get();
        FAIL() << "an oversized body was accepted";
    } catch (const HttpRequestException& e) {
        EXPECT_EQ(e.code, CURLE_WRITE_ERROR);
    }

    HttpRequest local("file:///etc/hostname");
    try {
        local.get();
        FAIL() << "a file URL was read";
    } catch (const HttpRequestException& e) {
        EXPECT_EQ(e.code, CURLE_UNSUPPORTED_PROTOCOL);
    }

    startPlatform();
    int port = platform->port();
    platform.reset();
    HttpRequest closed("http://127.0.0.1:" + std::to_string(port) + "/");
    try {
        closed.get();
        FAIL() << "a closed port answered";
    } catch (const HttpRequestException& e) {
        EXPECT_EQ(e.code, CURLE_COULDNT_CONNECT);
        EXPECT_STREQ(e.what(), curl_easy_strerror(CURLE_COULDNT_CONNECT));
    }
}

TEST_F(Download, StoresTheWholeAnnouncedBodyAtOnce)
{
    HttpRequest request(url);
    request.m_interface = KelVvmServiceValues::s_wanIpAddress;
    EXPECT_EQ(run(request).first, "");
    std::string data = readFile(path);
    EXPECT_EQ((long long)data.size(), size);
    EXPECT_EQ(data.compare(0, 6, "#!AMR\n"), 0);
    EXPECT_EQ(request.m_contentLength, size);
    EXPECT_EQ(request.m_status, 200);
    EXPECT_TRUE(waits().empty());
    EXPECT_EQ(audioRequests(), 1u);
}

TEST_F(Download, WithoutAnnouncedLengthKeepsWhateverArrived)
{
    control("{\"command\":\"setAudio\",\"noLength\":true}");
    HttpRequest request(url);
    EXPECT_EQ(run(request).first, "");
    EXPECT_EQ(request.m_contentLength, 0);
    EXPECT_EQ((long long)readFile(path).size(), size);
}

TEST_F(Download, RetriesAfterAFailureAndKeepsOnlyTheLastBody)
{
    control("{\"command\":\"setAudio\",\"id\":\"101\",\"failFirst\":1,\"failStatus\":503}");
    HttpRequest request(url);
    EXPECT_EQ(run(request).first, "");
    EXPECT_EQ(waits(), std::vector<unsigned>({20}));
    EXPECT_EQ((long long)readFile(path).size(), size);
    EXPECT_EQ(audioRequests(), 2u);
}

TEST_F(Download, BodiesShortOfTheirLengthFailFiveTimesAndLeaveNoFile)
{
    const char* const behaviours[] = {
        "{\"command\":\"setAudio\",\"announcedLength\":999999}",
        "{\"command\":\"setAudio\",\"closeAfter\":100}",
    };
    for (const char* behaviour : behaviours) {
        waits().clear();
        control(behaviour);
        control("{\"command\":\"clearRequests\"}");
        HttpRequest request(url);
        EXPECT_EQ(run(request), std::make_pair(std::string("Download failed!"), 0)) << behaviour;
        EXPECT_EQ(waits(), std::vector<unsigned>({20, 30, 40, 50, 60})) << behaviour;
        EXPECT_EQ(audioRequests(), 5u);
        EXPECT_FALSE(std::filesystem::exists(path)) << behaviour;
        EXPECT_FALSE(request.m_outOfSpace);
    }
}

TEST_F(Download, NotFoundMakesFiveAttemptsWithGrowingWaits)
{
    HttpRequest request(platform->baseUrl() + "/vvm/audio/999.amr");
    EXPECT_EQ(run(request), std::make_pair(std::string("Download failed!"), 0));
    EXPECT_EQ(waits(), std::vector<unsigned>({20, 30, 40, 50, 60}));
    EXPECT_EQ(audioRequests(), 5u);
    EXPECT_EQ(request.m_status, 404);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(Download, AFileThatCannotBeCreatedIsRetriedWithoutAnyRequest)
{
    path = folder + "/missing/101.amr";
    HttpRequest request(url);
    EXPECT_EQ(run(request), std::make_pair(std::string("Download failed!"), 0));
    EXPECT_EQ(waits().size(), 5u);
    EXPECT_EQ(audioRequests(), 0u);
}

TEST_F(Download, MoreThanTheFreeSpaceFailsAtOnceWithoutAFile)
{
    control("{\"command\":\"setAudio\",\"announcedLength\":1125899906842624}");
    HttpRequest request(url);
    EXPECT_EQ(run(request), std::make_pair(std::string("Out of memory"), 27));
    EXPECT_TRUE(request.m_outOfSpace);
    EXPECT_TRUE(waits().empty());
    EXPECT_EQ(audioRequests(), 1u);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(Download, UnknownFreeSpaceIsNoOutOfSpaceVerdict)
{
    KelVvmServiceValues::s_mediaFolder = folder + "/not-there/";
    control("{\"command\":\"setAudio\",\"announcedLength\":1125899906842624}");
    HttpRequest request(url);
    EXPECT_EQ(run(request).first, "Download failed!");
    EXPECT_FALSE(request.m_outOfSpace);
    EXPECT_EQ(waits().size(), 5u);
    EXPECT_FALSE(std::filesystem::exists(path));
}

} // namespace
