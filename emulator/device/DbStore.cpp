// DbStore: the database's objects and kinds in SQLite, one transaction per write.
#include "DbStore.h"

#include "DeviceService.h"

#include <glib.h>
#include <sqlite3.h>

#include <stdexcept>

namespace emulator
{

namespace
{
const int kBadRequest = -986;
const int kNotFound = -3106;
const int kStorage = -5001;
const JSchemaFragment kObjectSchema("{\"type\":\"object\"}");

[[noreturn]] void storageError(sqlite3* db)
{
    throw RequestError{kStorage, std::string("Storage error: ") + sqlite3_errmsg(db)};
}

// A statement of the store's cache, reset and unbound when it goes out of scope, so that the
// next user finds it ready and no read keeps the database file locked.
class Statement
{
  public:
    Statement(sqlite3* db, sqlite3_stmt* stmt) : m_db(db), m_stmt(stmt) {}
    ~Statement()
    {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void bind(int index, const std::string& text)
    {
        sqlite3_bind_text(m_stmt, index, text.c_str(), int(text.size()), SQLITE_TRANSIENT);
    }
    void bind(int index, int64_t value) { sqlite3_bind_int64(m_stmt, index, value); }
    // True while a row is there.
    bool step()
    {
        int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW)
            return true;
        if (rc != SQLITE_DONE)
            storageError(m_db);
        return false;
    }
    std::string text(int column)
    {
        const unsigned char* value = sqlite3_column_text(m_stmt, column);
        return value ? reinterpret_cast<const char*>(value) : "";
    }
    int64_t integer(int column) { return sqlite3_column_int64(m_stmt, column); }

  private:
    sqlite3* m_db;
    sqlite3_stmt* m_stmt;
};

JValue parseStored(const std::string& text)
{
    JDomParser parser;
    if (!parser.parse(text, kObjectSchema))
        throw RequestError{kStorage, "Storage error: a stored object is not JSON"};
    return parser.getDom();
}

JValue idAndRev(const JValue& object)
{
    JValue result = JValue::object();
    result.put("id", object["_id"]);
    result.put("rev", object["_rev"]);
    return result;
}

} // namespace

// Rolls back unless committed: a throwing write leaves nothing behind.
class DbStore::Transaction
{
  public:
    explicit Transaction(DbStore& store) : m_store(store) { store.run("BEGIN IMMEDIATE"); }
    ~Transaction()
    {
        if (!m_committed)
            sqlite3_exec(m_store.m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void commit()
    {
        m_store.run("COMMIT");
        m_committed = true;
    }

  private:
    DbStore& m_store;
    bool m_committed = false;
};

DbStore::DbStore(const std::string& path)
{
    if (sqlite3_open(path.c_str(), &m_db) != SQLITE_OK) {
        std::string text = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        throw std::runtime_error("Cannot open the database " + path + ": " + text);
    }
    try {
        // A commit in WAL mode is whole in the log file once COMMIT returns, so it survives a
        // kill of this process, and a torn one is rolled back on the next open. Syncing the log
        // at every commit (FULL) would add only survival of a power loss or a crash of the
        // host, which an emulated device never has to show; NORMAL syncs at checkpoints.
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA synchronous=NORMAL");
        exec("CREATE TABLE IF NOT EXISTS objects (id TEXT PRIMARY KEY, kind TEXT NOT NULL, "
             "data TEXT NOT NULL)");
        exec("CREATE INDEX IF NOT EXISTS objects_kind ON objects (kind)");
        exec("CREATE TABLE IF NOT EXISTS kinds (id TEXT PRIMARY KEY, data TEXT NOT NULL)");
        exec("CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value INTEGER NOT NULL)");
    } catch (const RequestError& e) {
        sqlite3_close(m_db);
        throw std::runtime_error("Cannot prepare the database " + path + ": " + e.text);
    }
}

DbStore::~DbStore()
{
    for (auto& entry : m_statements)
        sqlite3_finalize(entry.second);
    sqlite3_close(m_db);
}

sqlite3_stmt* DbStore::prepared(const char* sql)
{
    sqlite3_stmt*& stmt = m_statements[sql];
    if (!stmt &&
        sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
        m_statements.erase(sql);
        storageError(m_db);
    }
    return stmt;
}

void DbStore::run(const char* sql)
{
    Statement(m_db, prepared(sql)).step();
}

void DbStore::exec(const char* sql)
{
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        storageError(m_db);
}

int64_t DbStore::nextRevision()
{
    Statement bump(m_db, prepared("INSERT INTO meta (key, value) VALUES ('rev', 1) "
                                  "ON CONFLICT(key) DO UPDATE SET value = value + 1 "
                                  "RETURNING value"));
    if (!bump.step())
        throw RequestError{kStorage, "Storage error: no revision"};
    return bump.integer(0);
}

bool DbStore::load(const std::string& id, JValue& object)
{
    Statement select(m_db, prepared("SELECT data FROM objects WHERE id = ?"));
    select.bind(1, id);
    if (!select.step())
        return false;
    object = parseStored(select.text(0));
    return true;
}

void DbStore::store(JValue& object)
{
    object.put("_rev", nextRevision());
    // An update in place, not a replace: the row keeps its place in the storage order, so a
    // merge or a mark does not move an object to the end of every find.
    Statement insert(m_db, prepared("INSERT INTO objects (id, kind, data) VALUES (?, ?, ?) "
                                    "ON CONFLICT(id) DO UPDATE SET kind = excluded.kind, "
                                    "data = excluded.data"));
    insert.bind(1, object["_id"].asString());
    insert.bind(2, object["_kind"].asString());
    insert.bind(3, object.stringify());
    insert.step();
}

void DbStore::remove(const std::string& id)
{
    Statement erase(m_db, prepared("DELETE FROM objects WHERE id = ?"));
    erase.bind(1, id);
    erase.step();
}

std::vector<JValue> DbStore::objectsOfKind(const std::string& kind)
{
    std::vector<JValue> objects;
    Statement select(m_db, prepared("SELECT data FROM objects WHERE kind = ? ORDER BY rowid"));
    select.bind(1, kind);
    while (select.step())
        objects.push_back(parseStored(select.text(0)));
    return objects;
}

JValue DbStore::put(const JValue& objects)
{
    Transaction transaction(*this);
    JValue results = JValue::array();
    for (size_t i = 0; i < objects.arraySize(); i++) {
        if (!objects[i].isObject() || objects[i]["_kind"].asString().empty())
            throw RequestError{kBadRequest, "Each object needs a \"_kind\", a non-empty text"};
        // A copy, so that the caller's payload is never changed under it.
        JValue object = objects[i].copy();
        if (object.hasKey("_id") && !object["_id"].isString())
            throw RequestError{kBadRequest, "\"_id\" must be a string"};
        if (!object.hasKey("_id")) {
            gchar* id = g_uuid_string_random();
            object.put("_id", id);
            g_free(id);
        }
        store(object);
        results.append(idAndRev(object));
    }
    transaction.commit();
    return results;
}

JValue DbStore::merge(const JValue& objects)
{
    Transaction transaction(*this);
    JValue results = JValue::array();
    for (size_t i = 0; i < objects.arraySize(); i++) {
        JValue props = objects[i];
        std::string id;
        if (!props.isObject() || !props["_id"].asString(id))
            throw RequestError{kBadRequest, "Each object to merge needs an \"_id\""};
        JValue object;
        if (!load(id, object))
            throw RequestError{kNotFound, "No object with \"_id\" " + id};
        for (const std::string& key : props.keys()) {
            if (key != "_id" && key != "_rev" && key != "_kind")
                object.put(key, props[key]);
        }
        store(object);
        results.append(idAndRev(object));
    }
    transaction.commit();
    return results;
}

int64_t DbStore::merge(const DbQuery& query, const JValue& props)
{
    Transaction transaction(*this);
    JValue selected = query.apply(objectsOfKind(query.from));
    for (size_t i = 0; i < selected.arraySize(); i++) {
        JValue object;
        if (!load(selected[i]["_id"].asString(), object))
            continue;
        for (const std::string& key : props.keys()) {
            if (key != "_id" && key != "_rev" && key != "_kind")
                object.put(key, props[key]);
        }
        store(object);
    }
    transaction.commit();
    return int64_t(selected.arraySize());
}

JValue DbStore::del(const JValue& ids, bool purge)
{
    Transaction transaction(*this);
    JValue results = JValue::array();
    for (size_t i = 0; i < ids.arraySize(); i++) {
        std::string id;
        if (!ids[i].asString(id))
            throw RequestError{kBadRequest, "\"ids\" holds strings"};
        JValue object;
        if (delOne(id, purge, object))
            results.append(idAndRev(object));
    }
    transaction.commit();
    return results;
}

bool DbStore::delOne(const std::string& id, bool purge, JValue& object)
{
    if (!load(id, object))
        return false;
    if (purge) {
        remove(id);
    } else {
        object.put("_del", true);
        store(object);
    }
    return true;
}

int64_t DbStore::del(const DbQuery& query, bool purge)
{
    Transaction transaction(*this);
    JValue selected = query.apply(objectsOfKind(query.from));
    for (size_t i = 0; i < selected.arraySize(); i++) {
        JValue object;
        delOne(selected[i]["_id"].asString(), purge, object);
    }
    transaction.commit();
    return int64_t(selected.arraySize());
}

JValue DbStore::get(const JValue& ids)
{
    JValue results = JValue::array();
    for (size_t i = 0; i < ids.arraySize(); i++) {
        std::string id;
        if (!ids[i].asString(id))
            throw RequestError{kBadRequest, "\"ids\" holds strings"};
        JValue object;
        if (load(id, object))
            results.append(object);
    }
    return results;
}

JValue DbStore::find(const DbQuery& query)
{
    return query.apply(objectsOfKind(query.from));
}

void DbStore::putKind(const JValue& kind)
{
    std::string id;
    if (!kind["id"].asString(id) || id.empty())
        throw RequestError{kBadRequest, "A kind needs an \"id\""};
    Transaction transaction(*this);
    Statement insert(m_db, prepared("INSERT OR REPLACE INTO kinds (id, data) VALUES (?, ?)"));
    insert.bind(1, id);
    insert.bind(2, kind.stringify());
    insert.step();
    transaction.commit();
}

bool DbStore::delKind(const std::string& id)
{
    Transaction transaction(*this);
    Statement erase(m_db, prepared("DELETE FROM kinds WHERE id = ?"));
    erase.bind(1, id);
    erase.step();
    if (sqlite3_changes(m_db) == 0)
        return false;
    Statement objects(m_db, prepared("DELETE FROM objects WHERE kind = ?"));
    objects.bind(1, id);
    objects.step();
    transaction.commit();
    return true;
}

} // namespace emulator
