// PageServer: the emulated phone's page on 127.0.0.1: the voicemail box, the carrier's side,
// the hotspot and the platform, live, with buttons that play the scenarios (docs/emulator.md).
#include "PageServer.h"

#include "AmrWav.h"
#include "qmlog.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <httplib.h>

#include <chrono>
#include <fstream>
#include <sstream>

namespace emulator
{

namespace
{
const struct {
    const char* path;
    const char* file;
    const char* type;
} kFiles[] = {
    {"/", "index.html", "text/html; charset=utf-8"},
    {"/page.js", "page.js", "text/javascript; charset=utf-8"},
    {"/page.css", "page.css", "text/css; charset=utf-8"},
};
// A burst of bus messages (a synchronization) becomes one event.
const auto kQuiet = std::chrono::milliseconds(100);
// A comment now and then, so that a browser gone away is noticed.
const auto kKeepAlive = std::chrono::seconds(15);

bool readFile(const std::string& path, std::string& text)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    text = content.str();
    return bool(file);
}

QmLogContext* logContext()
{
    return QmLogGetContext("nimbos-emulator");
}
} // namespace

PageServer::PageServer(const JValue& section, const DeviceContext& context,
                       const std::string& defaultDir)
    : m_port(0), m_dir(defaultDir), m_mediaDir(context.stateDir + "/media/kel/"),
      m_bus([this] { onActivity(); })
{
    int32_t port = 0;
    if (section["port"].asNumber(port))
        m_port = port;
    if (section["dir"].isString())
        m_dir = section["dir"].asString();
}

PageServer::~PageServer()
{
    stop();
}

bool PageServer::start(std::string& error)
{
    for (const auto& file : kFiles) {
        std::string body;
        if (!readFile(m_dir + "/" + file.file, body)) {
            error = "cannot read the page's " + m_dir + "/" + file.file;
            return false;
        }
        m_files[file.path] = {file.type, body};
    }
    const char* address = g_getenv("TAMO_BUS_ADDRESS");
    if (!m_bus.start(address ? address : "", error))
        return false;

    m_server = std::make_unique<httplib::Server>();
    m_server->set_keep_alive_timeout(1);
    for (const auto& [path, file] : m_files) {
        m_server->Get(path, [&file = file](const httplib::Request&, httplib::Response& response) {
            response.set_content(file.second, file.first.c_str());
        });
    }
    m_server->Get("/events", [this](const httplib::Request&, httplib::Response& response) {
        serveEvents(response);
    });
    m_server->Get("/signals", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(m_bus.signals(), "application/json");
    });
    m_server->Get("/media", [this](const httplib::Request&, httplib::Response& response) {
        response.set_content(mediaList(), "application/json");
    });
    m_server->Get(R"(/audio/([A-Za-z0-9_-]+\.amr))",
                  [this](const httplib::Request& request, httplib::Response& response) {
                      serveAudio(request.matches[1], response);
                  });
    // What a tamo-send line does. A JSON body and our own Host keep other sites' pages (a
    // form post, a rebound DNS name) from driving the phone through the browser.
    m_server->Post("/call", [this](const httplib::Request& request, httplib::Response& response) {
        std::string host = request.get_header_value("Host");
        std::string port = ":" + std::to_string(m_port);
        if ((host != "127.0.0.1" + port && host != "localhost" + port) ||
            request.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
            response.status = 403;
            return;
        }
        JDomParser parser;
        if (!parser.parse(request.body, JSchemaFragment("{\"type\":\"object\"}")) ||
            !parser.getDom()["uri"].isString()) {
            response.status = 400;
            return;
        }
        JValue body = parser.getDom();
        JValue payload = body["payload"].isObject() ? body["payload"] : JValue::object();
        response.set_content(m_bus.call(body["uri"].asString(), payload.stringify()),
                             "application/json");
    });

    if (m_port == 0)
        m_port = m_server->bind_to_any_port("127.0.0.1");
    else if (!m_server->bind_to_port("127.0.0.1", m_port))
        m_port = -1;
    if (m_port <= 0) {
        error = "the page cannot listen on 127.0.0.1";
        m_bus.stop();
        return false;
    }
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
    QMLOG(logContext(), QMLOG_LEVEL_INFO, "page on http://127.0.0.1:%d/", m_port);
    return true;
}

void PageServer::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    if (m_server)
        m_server->stop();
    if (m_thread.joinable())
        m_thread.join();
    m_server.reset();
    m_bus.stop();
}

std::vector<std::pair<std::string, std::string>> PageServer::envLines() const
{
    return {{"NIMBOS_PAGE_URL", "http://127.0.0.1:" + std::to_string(m_port) + "/"}};
}

void PageServer::onActivity()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_version++;
    }
    m_changed.notify_all();
}

// Server-sent events: one "changed" as soon as the browser connects, then one after each
// burst of bus messages; the page then reads what it shows.
void PageServer::serveEvents(httplib::Response& response)
{
    auto seen = std::make_shared<unsigned long>(~0UL);
    response.set_header("Cache-Control", "no-cache");
    response.set_chunked_content_provider(
        "text/event-stream", [this, seen](size_t, httplib::DataSink& sink) {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (*seen != ~0UL) {
                auto changed = [&] { return m_stopping || m_version != *seen; };
                if (!m_changed.wait_for(lock, kKeepAlive, changed)) {
                    lock.unlock();
                    return sink.write(": idle\n\n", 9);
                }
                // Let the burst end.
                while (!m_stopping) {
                    unsigned long version = m_version;
                    if (!m_changed.wait_for(lock, kQuiet,
                                            [&] { return m_stopping || m_version != version; }))
                        break;
                }
                if (m_stopping)
                    return false;
            }
            *seen = m_version;
            std::string event = "event: changed\ndata: " + std::to_string(*seen) + "\n\n";
            lock.unlock();
            return sink.write(event.data(), event.size());
        });
}

std::string PageServer::mediaList() const
{
    JValue files = JValue::array();
    GDir* dir = g_dir_open(m_mediaDir.c_str(), 0, nullptr);
    const char* name = nullptr;
    while (dir && (name = g_dir_read_name(dir))) {
        GStatBuf info;
        if (g_stat((m_mediaDir + name).c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        JValue file = JValue::object();
        file.put("name", name);
        file.put("size", int64_t(info.st_size));
        files.append(file);
    }
    if (dir)
        g_dir_close(dir);
    return files.stringify();
}

void PageServer::serveAudio(const std::string& name, httplib::Response& response) const
{
    std::string amr, wav, error;
    if (!readFile(m_mediaDir + name, amr)) {
        response.status = 404;
        return;
    }
    if (!amrToWav(amr, wav, error)) {
        QMLOG(logContext(), QMLOG_LEVEL_WARNING, "page: %s: %s", name.c_str(), error.c_str());
        response.status = 422;
        response.set_content(error, "text/plain");
        return;
    }
    response.set_content(wav, "audio/wav");
}

} // namespace emulator
