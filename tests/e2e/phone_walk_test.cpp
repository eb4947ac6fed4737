// A random walk through the phone's life: nimbos-emulator on its own bus activates the real
// kelvvm, and a seeded sequence of steps drives it as a phone is used (new calls and their SMS,
// listening, deleting, the SIM, the network, the carrier's faults, kills and jumps of emulated
// time) through the bus and the emulator's controls only. At each quiet point the invariants
// that ordinary use must keep are checked; a failure prints the seed and the steps, and
// KEL_WALK_SEED replays it.
#include "BusClient.h"
#include "EmulatedDevice.h"
#include "WalkPlan.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace
{

const char* const kMessages = "com.quor.vvm.kelmessages:1";
const char kKelvvm[] = "com.quor.kelvvm";
const char* const kHomeImsi = "208101234567890";
// Both the emulator's schedules and kelvvm's idle periods, time-outs and retry waits run this
// many times faster: the idle exit comes 0.75 s after the last work, a transfer times out
// after 3 s, a one-minute back-off passes in 1.5 s.
const int kTimeScale = 40;
// Whatever the carrier is told to delay stays well under kelvvm's scaled transfer time-out,
// so that a delay slows the work without failing it.
const int kMaxDelayMs = 1200;
// Answers of the emulator's controls, and the whole of the longest work with the carrier's
// faults and retries, on a loaded machine or a sanitized build.
const int kPatienceMs = 60000;
const int kQuietPatienceMs = 120000;
// What a quiet kelvvm may use: 1% of a core over its (scaled) emulated time.
const double kQuietCpuShare = 0.01;
// Left by a download that a kill cut short; the next synchronization removes it.
const char* const kPartialDownload = ".download.part";

// utime + stime of `pid` in clock ticks; -1 when it is gone.
long long cpuTicks(int pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    size_t end = text.rfind(')');
    if (end == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    long long utime = 0, stime = 0;
    // Fields 3 to 13 come before utime (14) and stime (15).
    for (int i = 3; i <= 15 && fields >> field; i++) {
        if (i == 14)
            utime = atoll(field.c_str());
        if (i == 15)
            stime = atoll(field.c_str());
    }
    return utime + stime;
}

double seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

unsigned envNumber(const char* name, unsigned fallback)
{
    const char* given = g_getenv(name);
    return given && *given ? unsigned(strtoul(given, nullptr, 10)) : fallback;
}

// The paths kelvvm would write without the emulator's settings: they must not change.
std::map<std::string, std::string> outsideState()
{
    std::map<std::string, std::string> seen;
    for (const char* path : {"/media/internal/.voicemessages/kel", "/var/lib/quor/prefs",
                             "/var/lib/quor/prefs/com.quor.kelvvm"}) {
        struct stat info;
        seen[path] = stat(path, &info) == 0 ? std::to_string(info.st_mtim.tv_sec) + "." +
                                                  std::to_string(info.st_mtim.tv_nsec)
                                            : "absent";
    }
    return seen;
}

// One call to kelvvm that the walk started and has not seen answered yet.
struct PendingCall {
    std::string what;
    size_t step;
    std::unique_ptr<Replies> replies = std::make_unique<Replies>();
    bool killedMeanwhile = false;
    // The calls an SMS announced.
    std::vector<std::string> announced;
};

// One walk on a fresh device.
class Walk
{
  public:
    Walk(unsigned seed, size_t steps)
        : m_seed(seed), m_plan(seed), m_length(steps), m_device(NIMBOS_EMULATOR, "kelvvm-walk")
    {
    }
    ~Walk()
    {
        for (PendingCall& pending : m_pending)
            m_client->cancel(*pending.replies);
        m_client.reset();
    }

    // Runs the walk; false, with the failure reported, at the first broken invariant.
    bool run();
    size_t stepsDone() const { return m_steps.size(); }
    size_t quietPoints() const { return m_quietPoints; }

  private:
    void start();
    void step(WalkStep kind);
    void fail(const std::string& text);

    JValue call(const std::string& uri, const std::string& payload = "{}")
    {
        return m_client->call(uri, payload, kPatienceMs);
    }
    void control(const std::string& service, const std::string& command, const std::string& payload)
    {
        JValue answer = call("quor://" + service + "/emulator/" + command, payload);
        if (!answer["returnValue"].asBool())
            fail(command + " refused: " + answer.stringify());
    }
    void platform(const std::string& command, const std::string& payload = "{}")
    {
        control("com.quor.carrier.voicemail", command, payload);
    }
    void callKelvvm(const std::string& method, const std::string& payload,
                    std::vector<std::string> announced = {});
    void collectAnswers();
    void setSim(const std::string& imsi, const std::string& mcc);

    JValue allRecords();
    // The voicemail account records (one at most when nothing runs).
    JValue mailboxes();
    JValue carrierCalls();
    // The live record of call `id`; null when there is none.
    JValue liveRecord(const std::string& id);
    // The ids of the calls the user may still act on, in order.
    std::vector<std::string> callsOnPhone();

    bool amBusy(std::string* what);
    bool waitQuiet();
    void checkQuiet(bool afterSync);
    void restore();

    unsigned m_seed;
    WalkPlan m_plan;
    size_t m_length;
    EmulatedDevice m_device;
    std::unique_ptr<BusClient> m_client;
    std::string m_media;
    std::vector<std::string> m_steps;
    std::vector<PendingCall> m_pending;
    bool m_failed = false;
    size_t m_quietPoints = 0;

    // The model of the phone's life.
    int m_nextCall = 5000;
    std::set<std::string> m_added;
    // Calls the user deleted; those an erasure may have taken before they reached the carrier.
    std::set<std::string> m_userDeleted;
    std::set<std::string> m_erasable;
    // Between a SIM swap or a foreign network and a quiet point at home that shows the
    // mailbox of the SIM in place, a deletion may be erased before it reaches the carrier.
    // An SMS answered with success does not tell: one that met another in the queue is
    // answered at once, before that one's run erases anything.
    bool m_erasureMayCome = false;
    // Calls announced by an SMS that failed and so left a retry, and that no kill or
    // erasure has made the retry's business since.
    std::set<std::string> m_owed;
    // The call whose audio the carrier cuts short until the next "recover": a retry that comes
    // due meanwhile leaves it, as designed, to the next synchronization.
    std::string m_audioHeld;
    std::string m_imsi = kHomeImsi;
    bool m_home = true;
    bool m_wanUp = true;
    bool m_killed = false;
    bool m_smsHandled = false;
    // The steps of the last SIM swap or foreign network, and of the last kill.
    std::optional<size_t> m_lastErasure;
    std::optional<size_t> m_lastKill;
    // The carrier's audio size of every call seen there.
    std::map<std::string, std::uintmax_t> m_sizes;
    std::map<std::string, std::string> m_outside;
};

void Walk::fail(const std::string& text)
{
    if (m_failed)
        return;
    m_failed = true;
    std::ostringstream steps;
    for (size_t i = 0; i < m_steps.size(); i++)
        steps << "  " << i << " " << m_steps[i] << "\n";
    ADD_FAILURE() << "walk KEL_WALK_SEED=" << m_seed << " KEL_WALK_STEPS=" << m_length
                  << " failed at step " << (m_steps.empty() ? 0 : m_steps.size() - 1) << ": "
                  << text << "\nsteps:\n"
                  << steps.str() << "replay: KEL_WALK_SEED=" << m_seed
                  << " KEL_WALK_COUNT=1 KEL_WALK_STEPS=" << m_length
                  << " tests/e2e/phone_walk_test --gtest_filter='*Walks*'";
}

void Walk::start()
{
    m_outside = outsideState();
    std::string calls;
    for (int i = 0; i < 3; i++) {
        std::string id = std::to_string(m_nextCall++);
        m_added.insert(id);
        calls += (i ? "," : "") + std::string("{\"id\":\"") + id +
                 "\",\"duration\":" + std::to_string(1 + i) + "}";
    }
    // Subscribed already: the SIM check at start finds no mailbox, the first SMS creates it.
    m_device.configure(deviceConfiguration(
        "{\"account\":{\"userId\":\"33612345678\",\"subscribed\":true},\"calls\":[" + calls +
        "]}"));
    std::string scale = std::to_string(kTimeScale);
    m_device.start({"--service-dir", KEL_DEV_SERVICE_DIR, "--time-scale", scale},
                   {{"QMLOG_STDERR", "1"}, {"KELVVM_TEST_TIME_SCALE", scale}});
    if (m_device.env("TAMO_BUS_ADDRESS").empty())
        return fail("the emulator did not come up");
    m_client = std::make_unique<BusClient>();
    m_media = m_device.env("KELVVM_MEDIA_FOLDER");
}

bool Walk::run()
{
    start();
    m_steps.push_back("start");
    if (!m_failed && waitQuiet())
        checkQuiet(false);
    while (!m_failed && m_steps.size() <= m_length)
        step(m_plan.next());
    if (!m_failed) {
        m_steps.push_back("restore (end)");
        restore();
    }
    if (!m_failed && outsideState() != m_outside)
        fail("kelvvm wrote outside the emulator's state folder");
    return !m_failed;
}

void Walk::callKelvvm(const std::string& method, const std::string& payload,
                      std::vector<std::string> announced)
{
    PendingCall pending;
    pending.what = method;
    pending.step = m_steps.size() - 1;
    pending.announced = std::move(announced);
    m_client->start(std::string("quor://") + kKelvvm + "/" + method, payload, *pending.replies);
    m_pending.push_back(std::move(pending));
}

void Walk::collectAnswers()
{
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (it->replies->payloads.empty()) {
            ++it;
            continue;
        }
        m_client->cancel(*it->replies);
        JValue answer = it->replies->at(0);
        bool ok = answer["returnValue"].asBool();
        // -1 is the bus's (or the bus library's) answer for a callee that went away without
        // answering: only a kill excuses it.
        if (!ok && answer["errorCode"].asInt32() == -1 && !it->killedMeanwhile)
            fail(it->what + " of step " + std::to_string(it->step) +
                 " dropped unanswered: " + answer.stringify());
        // What an SMS's answer tells holds only for an SMS sent after the last erasure or
        // kill: an earlier one may have run before it, whenever its answer comes.
        bool current = !m_lastErasure || it->step > *m_lastErasure;
        if (it->what == "smsNotification" && current) {
            m_smsHandled = m_smsHandled || ok;
            // A failed SMS leaves a retry, which must bring its calls, unless an erasure
            // ended it for good; a dropped one (killed) leaves nothing.
            bool killed = m_lastKill && it->step <= *m_lastKill;
            if (!ok && answer["errorCode"].asInt32() != -1 && m_home && !m_erasureMayCome &&
                !killed) {
                for (const std::string& id : it->announced) {
                    if (id != m_audioHeld)
                        m_owed.insert(id);
                }
            }
        }
        it = m_pending.erase(it);
    }
}

void Walk::setSim(const std::string& imsi, const std::string& mcc)
{
    control("com.quor.telephony", "setSim",
            "{\"imsi\":\"" + imsi + "\",\"mcc\":\"" + mcc + "\",\"mnc\":\"" +
                (mcc == "208" ? "10" : "260") + "\"}");
}

JValue Walk::allRecords()
{
    // Marked records included: a deletion not yet carried keeps its file.
    return call("quor://com.quor.db/emulator/objects",
                std::string("{\"from\":\"") + kMessages + "\"}")["results"];
}

JValue Walk::mailboxes()
{
    return call("quor://com.quor.db/emulator/objects",
                "{\"from\":\"com.quor.vvm.kelmailbox:1\"}")["results"];
}

JValue Walk::carrierCalls()
{
    return call("quor://com.quor.carrier.voicemail/emulator/mailbox")["mailbox"]["calls"];
}

JValue Walk::liveRecord(const std::string& id)
{
    JValue records = allRecords();
    for (size_t i = 0; i < records.arraySize(); i++) {
        if (records[i]["id"].asString() == id && !records[i]["_del"].asBool())
            return records[i];
    }
    return JValue();
}

std::vector<std::string> Walk::callsOnPhone()
{
    std::vector<std::string> ids;
    for (const std::string& id : m_added) {
        if (!m_userDeleted.count(id))
            ids.push_back(id);
    }
    return ids;
}

// Whether the activity manager has work under way: a callback made or adopted, or a due
// activity waiting for a WAN that is there.
bool Walk::amBusy(std::string* what)
{
    JValue all = call("quor://com.quor.activitymanager/emulator/activities")["activities"];
    bool busy = false;
    for (size_t i = 0; i < all.arraySize(); i++) {
        std::string state = all[i]["state"].asString();
        if (state == "calling" || state == "running" || state == "created" ||
            (state == "wan" && m_wanUp)) {
            busy = true;
            if (what)
                *what += all[i]["name"].asString() + " " + state + "; ";
        }
    }
    return busy;
}

bool Walk::waitQuiet()
{
    const auto begin = std::chrono::steady_clock::now();
    const double tick = double(sysconf(_SC_CLK_TCK));
    // The samples of the kelvvm now running: (seconds since begin, CPU ticks).
    int pid = 0;
    std::vector<std::pair<double, long long>> samples;
    while (seconds(begin) * 1000 < kQuietPatienceMs) {
        runFor(20);
        collectAnswers();
        if (m_failed)
            return false;
        int owner = nameOwnerPid(kKelvvm);
        if (owner > 0) {
            if (owner != pid)
                samples.clear();
            pid = owner;
            long long ticks = cpuTicks(pid);
            if (ticks >= 0)
                samples.emplace_back(seconds(begin), ticks);
            continue;
        }
        if (!m_pending.empty() || amBusy(nullptr))
            continue;
        // A trigger's reply may still be on its way to the activity manager: look again.
        runFor(50);
        collectAnswers();
        if (m_failed || !m_pending.empty() || nameOwnerPid(kKelvvm) > 0 || amBusy(nullptr))
            continue;
        if (pid > 0 && !samples.empty()) {
            // The idle exit comes one idle period (30 s, scaled) after the last work: most of
            // that period before the last sample was quiet for certain.
            double quietFrom = samples.back().first - 0.8 * 30.0 / kTimeScale;
            size_t first = 0;
            while (first + 1 < samples.size() && samples[first].first < quietFrom)
                first++;
            double used = double(samples.back().second - samples[first].second) / tick;
            double emulated = (samples.back().first - samples[first].first) * kTimeScale;
            if (used > kQuietCpuShare * emulated && used > 1 / tick)
                fail("kelvvm used " + std::to_string(used) + " s of CPU over a quiet " +
                     std::to_string(emulated) + " emulated seconds before its idle exit");
        }
        m_quietPoints++;
        return !m_failed;
    }
    std::string busy;
    amBusy(&busy);
    double used =
        samples.empty() ? 0 : double(samples.back().second - samples.front().second) / tick;
    fail("no quiet point within " + std::to_string(kQuietPatienceMs / 1000) + " s: kelvvm " +
         std::to_string(nameOwnerPid(kKelvvm)) + " running (" + std::to_string(used) +
         " s of CPU since " + std::to_string(samples.empty() ? 0 : samples.front().first) +
         " s), " + std::to_string(m_pending.size()) + " calls unanswered, activities: " + busy);
    return false;
}

void Walk::checkQuiet(bool afterSync)
{
    // Nothing runs: once the one mailbox is that of the SIM in place, at home, no erasure is
    // left to come for what the user does next.
    JValue mailbox = mailboxes();
    if (m_erasureMayCome && m_home && mailbox.arraySize() == 1 &&
        mailbox[0]["imsi"].asString() == m_imsi)
        m_erasureMayCome = false;
    JValue records = allRecords();
    JValue calls = carrierCalls();
    std::map<std::string, std::uintmax_t> files = fileSizesIn(m_media);
    std::map<std::string, std::string> states;
    for (size_t i = 0; i < calls.arraySize(); i++) {
        std::string id = calls[i]["id"].asString();
        states[id] = calls[i]["state"].asString();
        m_sizes[id] = std::uintmax_t(calls[i]["audioSize"].asInt64());
    }
    std::map<std::string, int> live;
    std::set<std::string> named;
    for (size_t i = 0; i < records.arraySize(); i++) {
        JValue record = records[i];
        std::string id = record["id"].asString();
        std::string path = record["audioPath"].asString();
        bool marked = record["_del"].asBool();
        if (!marked)
            live[id]++;
        bool inMedia = path.rfind(m_media, 0) == 0;
        if (inMedia && (!marked || !record["reallyDeleted"].asBool()))
            named.insert(path.substr(m_media.size()));
        if (marked || path.empty())
            continue;
        std::string name = inMedia ? path.substr(m_media.size()) : path;
        if (!inMedia || !files.count(name))
            return fail("the live record of call " + id + " names " + path +
                        ", which is not in the media folder");
        if (files[name] != m_sizes[id])
            return fail("the file of call " + id + " has " + std::to_string(files[name]) +
                        " bytes, the carrier's " + std::to_string(m_sizes[id]));
    }
    for (const auto& [name, size] : files) {
        // A download cut short by a kill stays until the next synchronization.
        bool cutShort = name == kPartialDownload && m_killed && !afterSync;
        if (!named.count(name) && !cutShort)
            return fail("the media folder holds " + name + " (" + std::to_string(size) +
                        " bytes), which no record names");
    }
    for (const auto& [id, count] : live) {
        if (count > 1)
            return fail("call " + id + " has " + std::to_string(count) + " live records");
    }
    for (const std::string& id : m_added) {
        if (!states.count(id) && !m_userDeleted.count(id))
            return fail("call " + id + " was deleted on the carrier; the user never deleted it");
    }
}

void Walk::restore()
{
    platform("recover");
    m_audioHeld.clear();
    control("com.quor.connectionmanager", "setWan",
            "{\"state\":\"connected\",\"ipAddress\":\"127.0.0.1\"}");
    setSim(m_imsi, "208");
    control("com.quor.telephony", "setSimState", "{\"state\":\"simready\"}");
    m_wanUp = m_home = true;
    if (!waitQuiet())
        return;
    checkQuiet(false);
    // Past every retry and back-off: what a failed SMS announced must be on the phone.
    control("com.quor.activitymanager", "advance", "{\"seconds\":3660}");
    if (m_failed || !waitQuiet())
        return;
    checkQuiet(false);
    for (const std::string& id : m_owed) {
        if (!m_failed && !m_userDeleted.count(id) && liveRecord(id).isNull())
            fail("call " + id + ", announced by an SMS that failed, is not on the phone " +
                 "once its retry came due");
    }
    m_owed.clear();
    m_smsHandled = false;
    for (int attempt = 0; attempt < 3 && !m_smsHandled && !m_failed; attempt++) {
        callKelvvm("smsNotification", "{}");
        waitQuiet();
    }
    if (m_failed)
        return;
    if (!m_smsHandled)
        return fail("no SMS handled once every condition was restored");
    checkQuiet(true);
    if (m_failed)
        return;

    JValue calls = carrierCalls();
    std::map<std::string, std::string> states;
    for (size_t i = 0; i < calls.arraySize(); i++)
        states[calls[i]["id"].asString()] = calls[i]["state"].asString();
    // A deletion that an erasure took before it reached the carrier is undone: the call
    // comes back as new, as it is on the carrier.
    for (const std::string& id : m_erasable) {
        if (states.count(id))
            m_userDeleted.erase(id);
    }
    m_erasable.clear();
    std::set<std::string> expected;
    for (const auto& [id, state] : states) {
        if (m_userDeleted.count(id))
            return fail("the user's deletion of call " + id + " never reached the carrier");
        expected.insert(id);
    }
    JValue records = allRecords();
    std::set<std::string> onPhone;
    for (size_t i = 0; i < records.arraySize(); i++) {
        JValue record = records[i];
        if (record["_del"].asBool())
            continue;
        std::string id = record["id"].asString();
        onPhone.insert(id);
        if (record["readMessage"].asBool())
            return fail("the listening of call " + id + " never reached the carrier");
        if (states.count(id) && record["read"].asBool() != (states[id] == "ARC_MSG"))
            return fail("call " + id + " reads " + (record["read"].asBool() ? "" : "un") +
                        "listened on the phone, " + states[id] + " on the carrier");
    }
    if (onPhone != expected) {
        std::string missing, extra;
        for (const std::string& id : expected)
            missing += onPhone.count(id) ? "" : " " + id;
        for (const std::string& id : onPhone)
            extra += expected.count(id) ? "" : " " + id;
        fail("the phone's messages differ from the carrier's mailbox: missing" + missing +
             "; not on the carrier" + extra);
    }
    m_killed = false;
}

void Walk::step(WalkStep kind)
{
    m_steps.push_back(walkStepName(kind));
    std::string detail;
    switch (kind) {
    case WalkStep::NewCall: {
        std::string id = std::to_string(m_nextCall++);
        int duration = 1 + int(m_plan.below(4));
        platform("addCall", "{\"call\":{\"id\":\"" + id + "\",\"caller\":\"3361100" + id +
                                "\",\"duration\":" + std::to_string(duration) + "}}");
        m_added.insert(id);
        detail = id;
        callKelvvm("smsNotification", "{}", {id});
        break;
    }
    case WalkStep::Sms:
        callKelvvm("smsNotification", "{}");
        break;
    case WalkStep::Listen:
    case WalkStep::Delete: {
        std::vector<std::string> ids = callsOnPhone();
        uint32_t pick = m_plan.below(uint32_t(ids.size() + 1));
        if (ids.empty())
            break;
        detail = ids[pick % ids.size()];
        JValue record = liveRecord(detail);
        if (record.isNull()) {
            detail += " (no record)";
            break;
        }
        std::string key = record["_id"].asString();
        if (kind == WalkStep::Listen) {
            // As the phone app marks a message listened to.
            call("quor://com.quor.db/merge",
                 "{\"objects\":[{\"_id\":\"" + key + "\",\"readMessage\":true}]}");
            break;
        }
        // As the phone app deletes one: marked, not purged.
        JValue done = call("quor://com.quor.db/del", "{\"ids\":[\"" + key + "\"]}");
        if (!done["returnValue"].asBool())
            return fail("the phone app's deletion was refused: " + done.stringify());
        m_userDeleted.insert(detail);
        if (m_erasureMayCome)
            m_erasable.insert(detail);
        break;
    }
    case WalkStep::Refresh:
        callKelvvm("refreshMessages", "{}");
        break;
    case WalkStep::SimOut:
        control("com.quor.telephony", "setSimState", "{\"state\":\"nosim\"}");
        break;
    case WalkStep::SimIn:
        control("com.quor.telephony", "setSimState", "{\"state\":\"simready\"}");
        break;
    case WalkStep::SimSwap:
    case WalkStep::Abroad:
        if (kind == WalkStep::SimSwap) {
            m_imsi = "20810" + std::to_string(1000000000u + m_plan.below(1000000000u));
            detail = m_imsi;
            control("com.quor.telephony", "setSimState", "{\"state\":\"nosim\"}");
            setSim(m_imsi, m_home ? "208" : "310");
            control("com.quor.telephony", "setSimState", "{\"state\":\"simready\"}");
        } else {
            setSim(m_imsi, "310");
            m_home = false;
        }
        // The account is erased: deletions not yet carried go with it, and the retries of
        // failed SMS end without a mailbox to bring their calls to.
        m_erasureMayCome = true;
        m_lastErasure = m_steps.size() - 1;
        m_erasable.insert(m_userDeleted.begin(), m_userDeleted.end());
        m_owed.clear();
        break;
    case WalkStep::Home:
        setSim(m_imsi, "208");
        m_home = true;
        break;
    case WalkStep::WanDown:
        control("com.quor.connectionmanager", "setWan", "{\"state\":\"disconnected\"}");
        m_wanUp = false;
        break;
    case WalkStep::WanUp:
        control("com.quor.connectionmanager", "setWan",
                "{\"state\":\"connected\",\"ipAddress\":\"127.0.0.1\"}");
        m_wanUp = true;
        break;
    case WalkStep::SoapFault: {
        static const char* const operations[] = {"",
                                                 "getAllCallOpti",
                                                 "getUserProfile",
                                                 "getMessageVocalById",
                                                 "archiveCall",
                                                 "deleteMultipleMessages",
                                                 "deliverMultipleMessages"};
        static const char* const failures[] = {"\"fault\":\"Generic_InternalError\"",
                                               "\"httpStatus\":503", "\"malformed\":true",
                                               "\"close\":true"};
        std::string operation = operations[m_plan.below(7)];
        std::string failure = failures[m_plan.below(4)];
        std::string count = std::to_string(1 + m_plan.below(3));
        detail = (operation.empty() ? "any" : operation) + " " + failure + " x" + count;
        platform("failSoap", "{" +
                                 (operation.empty() ? "" : "\"operation\":\"" + operation + "\",") +
                                 failure + ",\"count\":" + count + "}");
        break;
    }
    case WalkStep::SoapDelay: {
        std::string delay = std::to_string(100 + m_plan.below(kMaxDelayMs - 100));
        std::string count = std::to_string(1 + m_plan.below(4));
        detail = delay + " ms x" + count;
        platform("failSoap", "{\"delayMs\":" + delay + ",\"count\":" + count + "}");
        break;
    }
    case WalkStep::AudioFault: {
        // Each failure either ends within a download's attempts, or holds one call only:
        // a whole mailbox whose audio never comes keeps every synchronization retrying each
        // call for minutes, as designed, and leaves nothing to check.
        static const char* const audio[] = {"\"failFirst\":1,\"failStatus\":503",
                                            "\"failFirst\":3,\"failStatus\":404", "\"delayMs\":800",
                                            "\"closeAfter\":200"};
        uint32_t pick = m_plan.below(4);
        detail = audio[pick];
        if (pick == 3) {
            m_audioHeld = std::to_string(m_nextCall - 1);
            m_owed.erase(m_audioHeld);
            detail = "\"id\":\"" + m_audioHeld + "\"," + detail;
        }
        platform("setAudio", "{" + detail + "}");
        break;
    }
    case WalkStep::Recover:
        platform("recover");
        m_audioHeld.clear();
        break;
    case WalkStep::Ping:
        callKelvvm("ping", "{\"probe\":" + std::to_string(m_steps.size()) + "}");
        break;
    case WalkStep::Test:
        detail = m_plan.below(2) ? "getUserProfile" : "getAllMessages";
        callKelvvm("test", "{\"method\":\"" + detail + "\"}");
        break;
    case WalkStep::Kill: {
        int pid = nameOwnerPid(kKelvvm);
        if (pid <= 0) {
            detail = "(not running)";
            break;
        }
        kill(pid, SIGKILL);
        for (PendingCall& pending : m_pending)
            pending.killedMeanwhile = true;
        // What a killed process had queued, a retry's work included, is gone with it.
        m_owed.clear();
        m_killed = true;
        m_lastKill = m_steps.size() - 1;
        if (!runUntil([&] { return nameOwnerPid(kKelvvm) != pid; }, kPatienceMs))
            return fail("killed kelvvm kept its bus name");
        break;
    }
    case WalkStep::Advance: {
        static const int minutes[] = {1, 5, 11, 16, 61};
        int jump = minutes[m_plan.below(5)];
        detail = std::to_string(jump) + " min";
        control("com.quor.activitymanager", "advance",
                "{\"seconds\":" + std::to_string(jump * 60) + "}");
        break;
    }
    case WalkStep::Quiet:
        if (waitQuiet())
            checkQuiet(false);
        break;
    case WalkStep::Restore:
        restore();
        break;
    }
    if (!detail.empty())
        m_steps.back() += " " + detail;
    collectAnswers();
}

// Walks drawn from KEL_WALK_SEED (100) and the seeds after it: KEL_WALK_COUNT walks (2) of
// KEL_WALK_STEPS steps (200) each. The suite keeps to known seeds; scripts/soak draws fresh ones.
TEST(PhoneWalk, Walks)
{
    unsigned seed = envNumber("KEL_WALK_SEED", 100);
    unsigned count = envNumber("KEL_WALK_COUNT", 2);
    size_t steps = envNumber("KEL_WALK_STEPS", 200);
    for (unsigned i = 0; i < count; i++) {
        const auto begin = std::chrono::steady_clock::now();
        Walk walk(seed + i, steps);
        bool passed = walk.run();
        std::cout << "walk seed=" << seed + i << " steps=" << walk.stepsDone()
                  << " quiet=" << walk.quietPoints() << " result=" << (passed ? "pass" : "FAIL")
                  << " seconds=" << int(seconds(begin)) << std::endl;
        if (!passed)
            break;
    }
}

// The walks that found faults, replayed as they were drawn (docs/faults.md says which), each
// a case of its own.
class RegressionSeed : public ::testing::TestWithParam<unsigned>
{
};

TEST_P(RegressionSeed, WalksAgainWithoutAFault)
{
    Walk walk(GetParam(), 200);
    walk.run();
}

INSTANTIATE_TEST_SUITE_P(PhoneWalk, RegressionSeed,
                         ::testing::Values(1u, 2u, 8u, 9u, 118u, 1081u, 1098u, 2046u, 3510u));

} // namespace
