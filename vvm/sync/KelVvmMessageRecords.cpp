// KelVvmMessageRecords: the phone's voice-message records as the database gives them, sorted by
// what each stands for.
#include "KelVvmMessageRecords.h"

#include "KelVvmServiceValues.h"

ZephDBQuery everyMessageRecord()
{
    ZephDBQuery query;
    query.from(KelVvmServiceValues::s_voiceMessageKind);
    // The database leaves deleted records out unless a clause names "_del"; this one holds for
    // every record, since "_del" is only ever absent or a boolean.
    query.where("_del", "!=", JValue("any"));
    // Only what is read ("_id" comes with every selection): the whole records of a full mailbox
    // make a reply of about a hundred kilobytes, which the bus connection's read buffer keeps
    // its size for, and parsed they take several times that.
    for (const char* key : {"id", "read", "readMessage", "audioPath", "_del", "reallyDeleted"})
        query.select(key);
    return query;
}

KelVvmMessageRecords::KelVvmMessageRecords(const JValue& results)
{
    for (size_t i = 0; i < results.arraySize(); i++) {
        JValue record = results[i];
        if (record["_del"].asBool()) {
            (record["reallyDeleted"].asBool() ? carried : pending).push_back(record);
            continue;
        }
        if (!m_shownCalls.insert(record["id"].asString()).second) {
            duplicates.push_back(record);
            continue;
        }
        live.push_back(record);
        std::string path = record["audioPath"].asString();
        if (!path.empty())
            m_namedFiles.insert(path);
    }
}
