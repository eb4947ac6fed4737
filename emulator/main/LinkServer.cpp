// LinkServer: the controls of the modelled mobile link.
#include "LinkServer.h"

namespace emulator
{

namespace
{

using emu::link::LinkModel;
using emu::link::LinkProfile;

const int kRefused = -986;

JValue profileJson(const LinkProfile& profile)
{
    JValue json = JValue::object();
    json.put("name", profile.name);
    json.put("upDelayMs", profile.upDelayMs);
    json.put("downDelayMs", profile.downDelayMs);
    json.put("upMbps", profile.upMbps);
    json.put("downMbps", profile.downMbps);
    json.put("loss", profile.loss);
    return json;
}

LinkModel& relay(LinkModel* model)
{
    if (!model)
        throw RequestError{kRefused, "The emulator runs without a link relay (--link)"};
    return *model;
}

} // namespace

LinkServer::LinkServer(const DeviceContext& context, LinkModel* model)
    : DeviceService("com.quor.carrier.link", context)
{
    addControl("link", [model](TSMessage*, const JValue&) {
        auto reply = std::make_unique<JValue>(success());
        if (!model) {
            reply->put("profile", JValue());
            return reply;
        }
        reply->put("profile", profileJson(model->profile()));
        emu::link::LinkStats stats = model->stats();
        JValue json = JValue::object();
        json.put("connections", int64_t(stats.connections));
        json.put("upBytes", int64_t(stats.upBytes));
        json.put("downBytes", int64_t(stats.downBytes));
        json.put("deliveries", int64_t(stats.deliveries));
        json.put("maxLateMs", stats.maxLateMs);
        json.put("meanLateMs", stats.deliveries ? stats.totalLateMs / double(stats.deliveries) : 0);
        reply->put("stats", json);
        return reply;
    });
    // A named profile, with an optional share of lost segments.
    addControl("setLink", [model](TSMessage*, const JValue& payload) {
        LinkModel& link = relay(model);
        LinkProfile profile;
        std::string name = requireString(payload, "profile");
        if (!LinkProfile::named(name, profile))
            throw RequestError{kRefused, "No link profile named " + name};
        if (payload.hasKey("loss")) {
            double loss = -1;
            if (!payload["loss"].asNumber(loss) || !(loss >= 0 && loss < 1))
                throw RequestError{kRefused, "\"loss\" must be a number from 0 to below 1"};
            profile.loss = loss;
        }
        link.setProfile(profile);
        return std::make_unique<JValue>(success());
    });
    addControl("clearStats", [model](TSMessage*, const JValue&) {
        relay(model).clearStats();
        return std::make_unique<JValue>(success());
    });
}

} // namespace emulator
