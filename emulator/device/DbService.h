// DbService: com.quor.db, the JSON object database, with its watches.
#ifndef EMULATOR_DBSERVICE_H
#define EMULATOR_DBSERVICE_H

#include "DbQuery.h"
#include "DbStore.h"
#include "DeviceService.h"

#include <list>
#include <memory>

namespace emulator
{

// Configuration: {"file": name in the state folder, or ":memory:"}; default "db.sqlite".
class DbService : public DeviceService
{
  public:
    DbService(const JValue& config, DeviceContext context);
    ~DbService() override;
    void stop() override;

  private:
    struct Watch {
        TSMessage* message;
        DbQuery query;
        // A find with "watch" fires when its results change; a watch when they are not empty.
        bool onChange;
        std::string results;
    };
    std::unique_ptr<JValue> write(const JValue& results);
    std::unique_ptr<JValue> find(TSMessage* message, const JValue& payload);
    std::unique_ptr<JValue> watch(TSMessage* message, const JValue& payload);
    std::unique_ptr<JValue> merge(const JValue& payload);
    std::unique_ptr<JValue> del(const JValue& payload);
    void keepWatch(TSMessage* message, const DbQuery& query, bool onChange,
                   const std::string& results);
    // After every write: fire the watches whose condition now holds.
    void checkWatches();
    static void onWatchCancelled(TSHandle* handle, TSMessage* message, void* context);
    void dropWatches();

    std::unique_ptr<DbStore> m_store;
    std::list<Watch> m_watches;
};

} // namespace emulator

#endif
