// ZephDB: the client of the JSON object database service and its query builder.
#include "ZephDB.h"

#include "KelVvmUtils.h"
#include "TamoMessage.h"

const std::string ZephDB::s_zephDbWatch = "quor://com.quor.db/watch";
const std::string ZephDB::s_zephDbDel = "quor://com.quor.db/del";
const std::string ZephDB::s_zephDbDelKind = "quor://com.quor.db/delKind";
const std::string ZephDB::s_zephDbPut = "quor://com.quor.db/put";
const std::string ZephDB::s_zephDbPutKind = "quor://com.quor.db/putKind";
const std::string ZephDB::s_zephDbFind = "quor://com.quor.db/find";
const std::string ZephDB::s_zephDbGet = "quor://com.quor.db/get";
const std::string ZephDB::s_zephDbMerge = "quor://com.quor.db/merge";
const std::string ZephDB::s_zephDbPurge = "quor://com.quor.db/purge";

ZephDBQuery::ZephDBQuery() : m_query(JValue::object())
{
    m_query.put("query", JValue::object());
}

void ZephDBQuery::from(const std::string& kind)
{
    getInnerQuery().put("from", kind);
}

void ZephDBQuery::where(const std::string& prop, const std::string& op, const JValue& val)
{
    JValue inner = getInnerQuery();
    if (!inner.hasKey("where"))
        inner.put("where", JValue::array());
    JValue clause = JValue::object();
    clause.put("prop", prop);
    clause.put("op", op);
    clause.put("val", val);
    inner["where"].append(clause);
}

void ZephDBQuery::select(const std::string& prop)
{
    JValue inner = getInnerQuery();
    if (!inner.hasKey("select"))
        inner.put("select", JValue::array());
    inner["select"].append(prop);
}

JValue ZephDBQuery::getInnerQuery() const
{
    return m_query["query"];
}

std::string ZephDBQuery::toString()
{
    return vtjsonToString(m_query);
}

namespace
{

TamoMessage* send(TSHandle* handle, const std::string& uri, JValue payload,
                  TSMethodFunction callback, void* context)
{
    return TamoMessage::request(handle, uri, vtjsonToString(payload), callback, context, 1, true);
}

// {"objects": O} for an array, {"objects": [O]} for anything else.
JValue objectsPayload(JValue& objects)
{
    JValue list = objects;
    if (!objects.isArray()) {
        list = JValue::array();
        list.append(objects);
    }
    JValue payload = JValue::object();
    payload.put("objects", list);
    return payload;
}

JValue singleId(const std::string& id)
{
    JValue ids = JValue::array();
    ids.append(id);
    return ids;
}

// The database treats an absent "purge" as a mark; it is never sent as false.
void addPurge(JValue& payload, bool purge)
{
    if (purge)
        payload.put("purge", true);
}

} // namespace

TamoMessage* ZephDB::find(TSHandle* handle, TSMethodFunction callback, void* context,
                          ZephDBQuery& query, bool watch)
{
    if (!watch)
        return TamoMessage::request(handle, s_zephDbFind, query.toString(), callback, context, 1,
                                    true);
    JValue payload = JValue::object();
    payload.put("query", query.getInnerQuery());
    payload.put("watch", true);
    return TamoMessage::watch(handle, s_zephDbFind, vtjsonToString(payload), callback, context);
}

TamoMessage* ZephDB::watch(TSHandle* handle, TSMethodFunction callback, void* context,
                           ZephDBQuery& query)
{
    return TamoMessage::watch(handle, s_zephDbWatch, query.toString(), callback, context);
}

TamoMessage* ZephDB::get(TSHandle* handle, TSMethodFunction callback, void* context, JValue& ids)
{
    JValue payload = JValue::object();
    payload.put("ids", ids);
    return send(handle, s_zephDbGet, payload, callback, context);
}

TamoMessage* ZephDB::get(TSHandle* handle, TSMethodFunction callback, void* context,
                         const std::string& id)
{
    JValue ids = singleId(id);
    return get(handle, callback, context, ids);
}

TamoMessage* ZephDB::put(TSHandle* handle, TSMethodFunction callback, void* context,
                         JValue& objects)
{
    return send(handle, s_zephDbPut, objectsPayload(objects), callback, context);
}

TamoMessage* ZephDB::merge(TSHandle* handle, TSMethodFunction callback, void* context,
                           ZephDBQuery& query, JValue& props)
{
    JValue payload = JValue::object();
    payload.put("query", query.getInnerQuery());
    payload.put("props", props);
    return send(handle, s_zephDbMerge, payload, callback, context);
}

TamoMessage* ZephDB::merge(TSHandle* handle, TSMethodFunction callback, void* context,
                           JValue& objects)
{
    return send(handle, s_zephDbMerge, objectsPayload(objects), callback, context);
}

TamoMessage* ZephDB::del(TSHandle* handle, TSMethodFunction callback, void* context, JValue& ids,
                         bool purge)
{
    JValue payload = JValue::object();
    payload.put("ids", ids);
    addPurge(payload, purge);
    return send(handle, s_zephDbDel, payload, callback, context);
}

TamoMessage* ZephDB::del(TSHandle* handle, TSMethodFunction callback, void* context,
                         ZephDBQuery& query, bool purge)
{
    JValue payload = JValue::object();
    payload.put("query", query.getInnerQuery());
    addPurge(payload, purge);
    return send(handle, s_zephDbDel, payload, callback, context);
}

TamoMessage* ZephDB::del(TSHandle* handle, TSMethodFunction callback, void* context,
                         const std::string& id, bool purge)
{
    JValue ids = singleId(id);
    return del(handle, callback, context, ids, purge);
}

TamoMessage* ZephDB::putKind(TSHandle* handle, TSMethodFunction callback, void* context,
                             JValue& kind)
{
    return send(handle, s_zephDbPutKind, kind, callback, context);
}

TamoMessage* ZephDB::delKind(TSHandle* handle, TSMethodFunction callback, void* context,
                             const std::string& id)
{
    JValue payload = JValue::object();
    payload.put("id", id);
    return send(handle, s_zephDbDelKind, payload, callback, context);
}
