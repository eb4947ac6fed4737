// ZephDB: the client of the JSON object database service and its query builder.
#ifndef ZEPHDB_H
#define ZEPHDB_H

#include "tamoservice.h"
#include "vtjson.h"

#include <string>

class TamoMessage;

// Builds {"query":{...}}: "from", then "where" and "select", each created on first use.
class ZephDBQuery
{
  public:
    ZephDBQuery();

    void from(const std::string& kind);
    // Appends {"prop":prop,"op":op,"val":val}; `op` is passed through unchanged.
    void where(const std::string& prop, const std::string& op, const JValue& val);
    void select(const std::string& prop);

    // The object under "query"; a handle, so changing it changes the query.
    JValue getInnerQuery() const;
    std::string toString();

  private:
    JValue m_query;
};

// One database method per operation. The reply goes unread to `callback` (which may be null)
// with `context`; a call that cannot be issued throws TamoMessageException. Each returns the
// wrapper of the call: a one-shot call's wrapper deletes itself after its reply, a watch's
// belongs to the caller.
class ZephDB
{
  public:
    static const std::string s_zephDbWatch;
    static const std::string s_zephDbDel;
    static const std::string s_zephDbDelKind;
    static const std::string s_zephDbPut;
    static const std::string s_zephDbPutKind;
    static const std::string s_zephDbFind;
    static const std::string s_zephDbGet;
    static const std::string s_zephDbMerge;
    static const std::string s_zephDbPurge;

    static TamoMessage* find(TSHandle* handle, TSMethodFunction callback, void* context,
                             ZephDBQuery& query, bool watch);
    static TamoMessage* watch(TSHandle* handle, TSMethodFunction callback, void* context,
                              ZephDBQuery& query);
    static TamoMessage* get(TSHandle* handle, TSMethodFunction callback, void* context,
                            JValue& ids);
    static TamoMessage* get(TSHandle* handle, TSMethodFunction callback, void* context,
                            const std::string& id);
    static TamoMessage* put(TSHandle* handle, TSMethodFunction callback, void* context,
                            JValue& objects);
    static TamoMessage* merge(TSHandle* handle, TSMethodFunction callback, void* context,
                              ZephDBQuery& query, JValue& props);
    static TamoMessage* merge(TSHandle* handle, TSMethodFunction callback, void* context,
                              JValue& objects);
    static TamoMessage* del(TSHandle* handle, TSMethodFunction callback, void* context, JValue& ids,
                            bool purge);
    static TamoMessage* del(TSHandle* handle, TSMethodFunction callback, void* context,
                            ZephDBQuery& query, bool purge);
    static TamoMessage* del(TSHandle* handle, TSMethodFunction callback, void* context,
                            const std::string& id, bool purge);
    static TamoMessage* putKind(TSHandle* handle, TSMethodFunction callback, void* context,
                                JValue& kind);
    static TamoMessage* delKind(TSHandle* handle, TSMethodFunction callback, void* context,
                                const std::string& id);
};

#endif
