// KelVvmMessageRecords: the phone's voice-message records as the database gives them, sorted by
// what each stands for.
#ifndef KELVVMMESSAGERECORDS_H
#define KELVVMMESSAGERECORDS_H

#include "ZephDB.h"
#include "vtjson.h"

#include <set>
#include <string>
#include <vector>

// Every record of the voice-message kind, the deleted ones too, with the keys the reconciliation
// and the deletions read. A deletion the user made and nobody carried yet must be seen: left out,
// its call would look new and be stored again.
ZephDBQuery everyMessageRecord();

class KelVvmMessageRecords
{
  public:
    // `results`: the records of a find of everyMessageRecord().
    explicit KelVvmMessageRecords(const JValue& results);

    // True when a live record shows the call `callId`, or names the file `path`.
    bool shows(const std::string& callId) const { return m_shownCalls.count(callId) > 0; }
    bool names(const std::string& path) const { return m_namedFiles.count(path) > 0; }

    // The first live record of each call, in the database's order.
    std::vector<JValue> live;
    // Further live records of a call that a record of `live` shows already.
    std::vector<JValue> duplicates;
    // Records the user deleted whose deletion was not carried yet.
    std::vector<JValue> pending;
    // Records whose deletion was carried already.
    std::vector<JValue> carried;

  private:
    std::set<std::string> m_shownCalls;
    std::set<std::string> m_namedFiles;
};

#endif
