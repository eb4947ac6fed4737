// DbQuery: a database query read from its JSON form, and its application to stored objects.
#ifndef EMULATOR_DBQUERY_H
#define EMULATOR_DBQUERY_H

#include "vtjson.h"

#include <cstdint>
#include <string>
#include <vector>

namespace emulator
{

struct DbQuery {
    struct Clause {
        std::string prop;
        std::string op;
        JValue val;
    };

    std::string from;
    std::vector<Clause> where;
    std::vector<std::string> select;
    std::string orderBy;
    bool descending = false;
    int64_t limit = -1;

    // Throws RequestError for anything malformed: no "from", a clause without "prop", "op" or
    // "val", an unknown operator, a "select" that is not strings, a negative limit.
    static DbQuery parse(const JValue& query);

    // Objects marked "_del" match only when a clause names "_del".
    bool matches(const JValue& object) const;
    // The matching objects, ordered, limited and projected (always keeping "_id").
    JValue apply(const std::vector<JValue>& objects) const;
};

} // namespace emulator

#endif
