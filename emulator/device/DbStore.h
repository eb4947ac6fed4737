// DbStore: the database's objects and kinds in SQLite, one transaction per write.
#ifndef EMULATOR_DBSTORE_H
#define EMULATOR_DBSTORE_H

#include "DbQuery.h"
#include "vtjson.h"

#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace emulator
{

// Every write either happens whole or not at all (it throws RequestError and the file keeps
// its previous content); the journal keeps the file intact across a kill at any moment.
class DbStore
{
  public:
    // `path` is a file, or ":memory:".
    explicit DbStore(const std::string& path);
    ~DbStore();
    DbStore(const DbStore&) = delete;
    DbStore& operator=(const DbStore&) = delete;

    // Each object needs "_kind"; "_id" is made when absent; "_rev" is set. Gives
    // [{"id","rev"}...].
    JValue put(const JValue& objects);
    // Merges each object's properties into the stored object of its "_id".
    JValue merge(const JValue& objects);
    // Merges `props` into every object the query selects; gives their number.
    int64_t merge(const DbQuery& query, const JValue& props);
    // Removes (purge) or marks "_del": true. By ids gives [{"id","rev"}...] of those found.
    JValue del(const JValue& ids, bool purge);
    int64_t del(const DbQuery& query, bool purge);
    JValue get(const JValue& ids);
    JValue find(const DbQuery& query);
    void putKind(const JValue& kind);
    // Removes the kind and all its objects; false when there is no such kind.
    bool delKind(const std::string& id);
    // Everything stored of a kind, marked objects included, in storage order.
    std::vector<JValue> objectsOfKind(const std::string& kind);

  private:
    class Transaction;
    bool load(const std::string& id, JValue& object);
    void store(JValue& object);
    void remove(const std::string& id);
    // Purges the object or marks it "_del"; false when there is no such object.
    bool delOne(const std::string& id, bool purge, JValue& object);
    int64_t nextRevision();
    void exec(const char* sql);
    // The statement of `sql`, prepared at its first use and kept for the next ones.
    sqlite3_stmt* prepared(const char* sql);
    // Runs a statement that gives no rows.
    void run(const char* sql);

    sqlite3* m_db = nullptr;
    std::unordered_map<std::string, sqlite3_stmt*> m_statements;
};

} // namespace emulator

#endif
