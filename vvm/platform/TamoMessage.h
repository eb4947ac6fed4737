// TamoMessage: one outstanding call to another bus service: one-shot, subscription or watch.
#ifndef TAMOMESSAGE_H
#define TAMOMESSAGE_H

#include "NoCopyClass.h"
#include "tamoservice.h"

#include <cstdint>
#include <stdexcept>
#include <string>

class TamoMessageException : public std::runtime_error
{
  public:
    explicit TamoMessageException(const std::string& text) : std::runtime_error(text) {}
};

class TamoMessage : public NoCopyClass
{
  public:
    static const char* const s_messageSuccess;
    static const char* const s_messageFailure;

    // `count` replies are passed on (-1: no limit, -2: a watch). With `autoDelete` the wrapper
    // deletes itself once its count is spent; the caller must not use it after that.
    TamoMessage(TSHandle* handle, const std::string& uri, const std::string& payload,
                TSMethodFunction callback, void* context, int count, bool autoDelete);
    // Deleting a wrapper cancels its call first.
    virtual ~TamoMessage();

    // Issue the call; throw TamoMessageException with the bus's text when it cannot be issued.
    static TamoMessage* request(TSHandle* handle, const std::string& uri,
                                const std::string& payload, TSMethodFunction callback,
                                void* context, int count, bool autoDelete);
    // Adds "subscribe": true unless the payload has a "subscribe" key already.
    static TamoMessage* subscribe(TSHandle* handle, const std::string& uri,
                                  const std::string& payload, TSMethodFunction callback,
                                  void* context);
    // Re-issues the call each time a reply says "fired": true.
    static TamoMessage* watch(TSHandle* handle, const std::string& uri, const std::string& payload,
                              TSMethodFunction callback, void* context);

    void cancel();

    // Deletes, and so cancels, every self-deleting wrapper on `handle` whose reply has not come.
    // Called before the handle goes: those wrappers would otherwise never be freed.
    static void dropPending(TSHandle* handle);

    static bool messageCallback(TSHandle* handle, TSMessage* reply, void* wrapper);

    TSMessageToken token() const { return m_token; }
    // True for a call that passes on one reply, then deletes itself, and has not had it yet.
    bool isOneShot() const { return m_count == 1 && m_autoDelete; }

  private:
    void issue();
    void onReply(TSHandle* handle, TSMessage* reply);
    void passOn(TSHandle* handle, TSMessage* reply);

    int32_t m_count;
    std::string m_uri;
    std::string m_payload;
    TSMessageToken m_token;
    TSMethodFunction m_callback;
    void* m_context;
    TSHandle* m_handle;
    bool m_autoDelete;
};

#endif
