// PageServer: the emulated phone's page on 127.0.0.1: the voicemail box, the carrier's side,
// the hotspot and the platform, live, with buttons that play the scenarios (docs/emulator.md).
#ifndef EMULATOR_PAGESERVER_H
#define EMULATOR_PAGESERVER_H

#include "DeviceService.h"
#include "EmulatorServer.h"
#include "PageBus.h"

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace httplib
{
class Server;
struct Response;
} // namespace httplib

namespace emulator
{

class PageServer : public EmulatorServer
{
  public:
    // `section`: "port" (0, the default: an ephemeral one), "dir" (the page's files; the
    // source tree's emulator/page by default).
    // `defaultDir`: the page's files unless the section's "dir" names others.
    PageServer(const JValue& section, const DeviceContext& context, const std::string& defaultDir);
    ~PageServer() override;
    bool start(std::string& error) override;
    void stop() override;
    std::vector<std::pair<std::string, std::string>> envLines() const override;

  private:
    void serveEvents(httplib::Response& response);
    void serveAudio(const std::string& name, httplib::Response& response) const;
    std::string mediaList() const;
    void onActivity();

    int m_port;
    std::string m_dir;
    std::string m_mediaDir;
    std::map<std::string, std::pair<std::string, std::string>> m_files; // path → type, body
    PageBus m_bus;
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    unsigned long m_version = 0; // bumped by every bus message the page did not cause
    bool m_stopping = false;
};

} // namespace emulator

#endif
