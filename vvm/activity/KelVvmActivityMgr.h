// KelVvmActivityMgr: owns every activity, has the platform's activities adopted, and runs the
// queued ones one at a time.
#ifndef KELVVMACTIVITYMGR_H
#define KELVVMACTIVITYMGR_H

#include "NoCopyClass.h"

#include <cstdint>
#include <list>
#include <memory>
#include <set>
#include <string>

class KelVvmActivity;

class KelVvmActivityMgr : public NoCopyClass
{
  public:
    static const std::string s_adoptActivity;
    static const std::string s_cancelActivity;
    static const std::string s_createActivity;
    static const std::string s_completeActivity;

    // Made during static initialization, so it outlives the application object.
    static KelVvmActivityMgr* getInstance();
    ~KelVvmActivityMgr();

    // Takes ownership and queues. The running activity queueing itself again (an account
    // erasure that starts the work over) keeps its turn and runs its chain again from the
    // mailbox check, from the main loop once the current handler has returned, instead of
    // waiting behind itself for ever.
    void queueActivity(KelVvmActivity* activity);
    // Takes ownership, opens the adoption of the platform activity named by the starting call
    // and answers that call; the activity is queued when the adoption is confirmed.
    void adoptAndQueueActivity(KelVvmActivity* activity);
    // Removes and deletes the activity, then runs the next one.
    void activityDone(KelVvmActivity* activity);
    bool hasDuplicate(KelVvmActivity* activity);
    void processQueue();

    // Deletes every live activity without telling the platform activity manager (process
    // exit); logs a warning when there was any.
    void cleanActivities();

    // The live activity of that serial, or null once it has been deleted.
    KelVvmActivity* alive(uint64_t serial) const;
    // Ends the activity `serial` with `end`(text, 666) after one of its steps threw `text`,
    // unless the step had already ended it; if ending throws too, the activity is dropped.
    // Nothing escapes.
    void endAfterError(uint64_t serial, const std::string& text,
                       void (KelVvmActivity::*end)(const std::string&, int));
    const KelVvmActivity* current() const { return m_current; }
    size_t queued() const { return m_queue.size(); }
    size_t live() const { return m_activities.size(); }

  private:
    KelVvmActivityMgr();
    // Runs one step of an activity so that nothing it throws reaches the bus library: the
    // activity fails with the exception's text and code 666.
    void runStep(KelVvmActivity* activity, void (KelVvmActivity::*step)());
    static int restartRunning(void* serial);

    KelVvmActivity* m_current;
    std::list<KelVvmActivity*> m_queue;
    std::set<KelVvmActivity*> m_activities;

    static std::unique_ptr<KelVvmActivityMgr> s_activityMgrInstance;
};

#endif
