// DbService: com.quor.db, the JSON object database, with its watches.
#include "DbService.h"

namespace emulator
{

namespace
{
const int kBadRequest = -986;
const int kNotFound = -3106;

std::string storePath(const JValue& config, const DeviceContext& context)
{
    std::string file = config["file"].asString();
    if (file.empty())
        file = "db.sqlite";
    if (file == ":memory:" || file[0] == '/')
        return file;
    return context.stateDir + "/" + file;
}

bool purgeFlag(const JValue& payload)
{
    bool purge = false;
    if (payload.hasKey("purge") && !payload["purge"].asBool(purge))
        throw RequestError{kBadRequest, "\"purge\" must be a boolean"};
    return purge;
}

// A reply the bus could not carry is refused here, with a text saying what to do instead.
std::unique_ptr<JValue> withResults(const JValue& results)
{
    auto reply = std::make_unique<JValue>(DeviceService::success());
    reply->put("results", results);
    size_t size = reply->stringify().size();
    if (size > TS_MAX_PAYLOAD_SIZE)
        throw RequestError{kBadRequest, "The results (" + std::to_string(size) +
                                            " bytes) do not fit in one bus message (at most " +
                                            std::to_string(TS_MAX_PAYLOAD_SIZE) +
                                            " bytes): ask for fewer objects, with a \"limit\" "
                                            "or a narrower query"};
    return reply;
}

std::unique_ptr<JValue> withCount(int64_t count)
{
    auto reply = std::make_unique<JValue>(DeviceService::success());
    reply->put("count", count);
    return reply;
}

std::string firedPayload()
{
    JValue fired = DeviceService::success();
    fired.put("fired", true);
    return fired.stringify();
}
} // namespace

DbService::DbService(const JValue& config, DeviceContext deviceContext)
    : DeviceService("com.quor.db", std::move(deviceContext)),
      m_store(std::make_unique<DbStore>(storePath(config, context())))
{
    addMethod("put", [this](TSMessage*, const JValue& payload) {
        return write(m_store->put(requireArray(payload, "objects")));
    });
    addMethod("get", [this](TSMessage*, const JValue& payload) {
        return withResults(m_store->get(requireArray(payload, "ids")));
    });
    addMethod("find",
              [this](TSMessage* message, const JValue& payload) { return find(message, payload); });
    addMethod("watch", [this](TSMessage* message, const JValue& payload) {
        return watch(message, payload);
    });
    addMethod("merge", [this](TSMessage*, const JValue& payload) { return merge(payload); });
    addMethod("del", [this](TSMessage*, const JValue& payload) { return del(payload); });
    addMethod("putKind", [this](TSMessage*, const JValue& payload) {
        m_store->putKind(payload);
        checkWatches();
        return std::make_unique<JValue>(success());
    });
    addMethod("delKind", [this](TSMessage*, const JValue& payload) {
        if (!m_store->delKind(requireString(payload, "id")))
            throw RequestError{kNotFound, "No such kind"};
        checkWatches();
        return std::make_unique<JValue>(success());
    });
    // Marked objects included: what a test wants to see.
    addControl("objects", [this](TSMessage*, const JValue& payload) {
        JValue results = JValue::array();
        for (const JValue& object : m_store->objectsOfKind(requireString(payload, "from")))
            results.append(object);
        return withResults(results);
    });
    addControl("watches",
               [this](TSMessage*, const JValue&) { return withCount(int64_t(m_watches.size())); });
}

DbService::~DbService()
{
    dropWatches();
}

void DbService::stop()
{
    dropWatches();
    DeviceService::stop();
}

std::unique_ptr<JValue> DbService::write(const JValue& results)
{
    checkWatches();
    return withResults(results);
}

std::unique_ptr<JValue> DbService::find(TSMessage* message, const JValue& payload)
{
    DbQuery query = DbQuery::parse(requireObject(payload, "query"));
    JValue results = m_store->find(query);
    bool watchFlag = false;
    if (payload.hasKey("watch") && !payload["watch"].asBool(watchFlag))
        throw RequestError{kBadRequest, "\"watch\" must be a boolean"};
    auto reply = withResults(results);
    if (watchFlag) {
        // The results go out first; the watch is kept for the one "fired" that follows.
        TSMessageRespond(message, reply->stringify().c_str(), nullptr);
        keepWatch(message, query, true, results.stringify());
        return nullptr;
    }
    return reply;
}

std::unique_ptr<JValue> DbService::watch(TSMessage* message, const JValue& payload)
{
    DbQuery query = DbQuery::parse(requireObject(payload, "query"));
    if (m_store->find(query).arraySize() > 0) {
        JValue fired = success();
        fired.put("fired", true);
        return std::make_unique<JValue>(fired);
    }
    keepWatch(message, query, false, std::string());
    return nullptr;
}

std::unique_ptr<JValue> DbService::merge(const JValue& payload)
{
    if (payload.hasKey("objects"))
        return write(m_store->merge(requireArray(payload, "objects")));
    DbQuery query = DbQuery::parse(requireObject(payload, "query"));
    int64_t count = m_store->merge(query, requireObject(payload, "props"));
    checkWatches();
    return withCount(count);
}

std::unique_ptr<JValue> DbService::del(const JValue& payload)
{
    bool purge = purgeFlag(payload);
    if (payload.hasKey("ids"))
        return write(m_store->del(requireArray(payload, "ids"), purge));
    int64_t count = m_store->del(DbQuery::parse(requireObject(payload, "query")), purge);
    checkWatches();
    return withCount(count);
}

void DbService::keepWatch(TSMessage* message, const DbQuery& query, bool onChange,
                          const std::string& results)
{
    TSMessageRef(message);
    TSMessageSetCancelFunction(message, onWatchCancelled, this);
    m_watches.push_back(Watch{message, query, onChange, results});
}

void DbService::checkWatches()
{
    std::string fired = firedPayload();
    for (auto it = m_watches.begin(); it != m_watches.end();) {
        JValue results = m_store->find(it->query);
        bool fire = it->onChange ? results.stringify() != it->results : results.arraySize() > 0;
        if (!fire) {
            ++it;
            continue;
        }
        TSMessage* message = it->message;
        it = m_watches.erase(it);
        TSMessageSetCancelFunction(message, nullptr, nullptr);
        TSMessageRespond(message, fired.c_str(), nullptr);
        TSMessageUnref(message);
    }
}

void DbService::onWatchCancelled(TSHandle*, TSMessage* message, void* context)
{
    auto* self = static_cast<DbService*>(context);
    for (auto it = self->m_watches.begin(); it != self->m_watches.end(); ++it) {
        if (it->message == message) {
            self->m_watches.erase(it);
            TSMessageUnref(message);
            return;
        }
    }
}

void DbService::dropWatches()
{
    for (Watch& watch : m_watches) {
        TSMessageSetCancelFunction(watch.message, nullptr, nullptr);
        TSMessageUnref(watch.message);
    }
    m_watches.clear();
}

} // namespace emulator
