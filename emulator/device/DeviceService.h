// DeviceService: one emulated platform service on its own bus name, with the "/" methods the
// daemons call and the "/emulator" methods through which tests change and read its state.
#ifndef EMULATOR_DEVICESERVICE_H
#define EMULATOR_DEVICESERVICE_H

#include "tamoservice.h"
#include "vtjson.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace emulator
{

// What every service knows of the emulator it runs in.
struct DeviceContext {
    std::string stateDir;
    double timeScale = 1.0;

    // Emulated milliseconds to real ones.
    unsigned scaled(double milliseconds) const;
};

// A request the service refuses; the dispatcher turns it into a failure reply.
struct RequestError {
    int code;
    std::string text;
};

// Keeps the subscribers of one method and answers them all; a subscriber that cancels or
// leaves the bus drops out.
class Subscribers
{
  public:
    Subscribers() = default;
    Subscribers(const Subscribers&) = delete;
    Subscribers& operator=(const Subscribers&) = delete;
    ~Subscribers();

    void add(TSMessage* message);
    void notify(const std::string& payload);
    void clear();
    size_t size() const { return m_messages.size(); }

  private:
    static void onCancel(TSHandle* handle, TSMessage* message, void* context);
    std::vector<TSMessage*> m_messages;
};

class DeviceService
{
  public:
    // A method: the parsed payload in, the first reply out. A handler that answers later
    // returns null and keeps (references) the message itself.
    using Method =
        std::function<std::unique_ptr<JValue>(TSMessage* message, const JValue& payload)>;

    // The daemons' methods live in `category`.
    DeviceService(std::string busName, DeviceContext context, std::string category = "/");
    virtual ~DeviceService();
    DeviceService(const DeviceService&) = delete;
    DeviceService& operator=(const DeviceService&) = delete;

    // Registers the name and both categories on the default main context.
    bool start(std::string& error);
    virtual void stop();
    const std::string& busName() const { return m_busName; }

    static JValue success();

  protected:
    // Runs once the service is on the bus, for work that needs its handle.
    virtual void onStarted() {}
    void addMethod(const std::string& name, Method method);
    void addControl(const std::string& name, Method method);
    TSHandle* handle() const { return m_handle; }
    const DeviceContext& context() const { return m_context; }

  private:
    struct Category {
        DeviceService* owner;
        std::string path;
        std::map<std::string, Method> methods;
        std::vector<TSMethod> table;
    };
    static bool dispatch(TSHandle* handle, TSMessage* message, void* category);
    void handle(Category& category, TSMessage* message);
    bool registerCategory(Category& category, std::string& error);

    std::string m_busName;
    DeviceContext m_context;
    TSHandle* m_handle = nullptr;
    Category m_methods;
    Category m_controls;
    // The latest calls received on the daemons' category, for the "calls" control.
    std::deque<JValue> m_calls;
};

// Helpers for handlers: the typed value at `key`, or a RequestError naming it.
std::string requireString(const JValue& payload, const std::string& key);
JValue requireObject(const JValue& payload, const std::string& key);
JValue requireArray(const JValue& payload, const std::string& key);

} // namespace emulator

#endif
