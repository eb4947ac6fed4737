// SetGreetingActivity: uploads the user's recorded greeting to the carrier's platform.
#include "SetGreetingActivity.h"

#include "KelVvmLog.h"
#include "KelVvmRequest.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace
{
const int kActivityErrorCode = 666;

const char* const kUnableToOpen = "Unable to open file";

struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor()
    {
        if (fd >= 0)
            close(fd);
    }
};

// The primary and supplementary groups of user `uid`, from the user database; false when it
// does not know the user.
bool groupsOf(uid_t uid, gid_t& primary, std::vector<gid_t>& groups)
{
    long bufferSize = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(bufferSize > 0 ? size_t(bufferSize) : 16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    while (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE)
        buffer.resize(buffer.size() * 2);
    if (!found)
        return false;
    primary = entry.pw_gid;
    int count = 16;
    for (;;) {
        groups.resize(size_t(count));
        int wanted = count;
        if (getgrouplist(entry.pw_name, primary, groups.data(), &wanted) >= 0) {
            groups.resize(size_t(wanted));
            return true;
        }
        if (wanted <= count)
            return false;
        count = wanted;
    }
}

// Sets this thread's supplementary groups. The libc setgroups changes those of every thread of
// the process; the system call itself, like setfsuid and setfsgid, changes only the caller's.
bool setThreadGroups(const std::vector<gid_t>& groups)
{
    return syscall(SYS_setgroups, groups.size(), groups.data()) == 0;
}

// Opens `path` read-only as user `uid` would: with that user's file-system identity (user,
// primary group, supplementary groups) on this thread only, the kernel applies the user's own
// permission checks to every folder of the path and to the file, ACLs included, and none of
// root's overrides. Taking it needs root, or CAP_SETUID and CAP_SETGID for a service running as
// its own user (its unit grants it those two). The service's identity is restored before
// returning, and no other thread ever sees it changed. Returns -1 with errno set when the open
// fails; throws when the caller's identity cannot be taken.
int openAsUser(const std::string& path, uid_t uid)
{
    const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    // Root's files are opened with root's identity even by a service that runs as another
    // user, so only a caller that is the service itself skips the switch.
    if (uid == geteuid())
        return open(path.c_str(), flags);
    const char* const unableToCheck = "Unable to check the caller's access to the file";
    gid_t primary;
    std::vector<gid_t> groups;
    int savedCount = getgroups(0, nullptr);
    std::vector<gid_t> saved(size_t(savedCount > 0 ? savedCount : 0));
    if (!groupsOf(uid, primary, groups) || savedCount < 0 ||
        getgroups(savedCount, saved.data()) != savedCount) {
        // Without the user database the service does not know the caller's groups: nothing is
        // opened on a guess.
        throw KelVvmActivityException(unableToCheck);
    }
    // Without CAP_SETGID (nor root) this fails and nothing has changed.
    if (!setThreadGroups(groups))
        throw KelVvmActivityException(unableToCheck);
    uid_t oldUid = uid_t(setfsuid(uid));
    gid_t oldGid = gid_t(setfsgid(primary));
    int fd = -1, error = 0;
    // setfsuid reports no failure (none without CAP_SETUID); asking again (an invalid id
    // changes nothing) tells.
    bool taken = uid_t(setfsuid(uid_t(-1))) == uid && gid_t(setfsgid(gid_t(-1))) == primary;
    if (taken) {
        fd = open(path.c_str(), flags);
        error = errno;
    }
    setfsuid(oldUid);
    setfsgid(oldGid);
    if (!setThreadGroups(saved) || uid_t(setfsuid(uid_t(-1))) != oldUid) {
        // The service would go on with a caller's identity: no state to continue from.
        KLOG_CRITICAL("Cannot restore the service's own identity");
        abort();
    }
    if (!taken)
        throw KelVvmActivityException(unableToCheck);
    errno = error;
    return fd;
}

// The whole greeting, read before any exchange: a regular file of 1 to s_maxGreetingSize bytes
// that the user `uid` may read. A file whose size changes while it is read is refused rather
// than sent torn.
std::string readGreeting(const std::string& path, uid_t uid)
{
    if (path.empty())
        throw KelVvmActivityException(kUnableToOpen);
    FileDescriptor file;
    file.fd = openAsUser(path, uid);
    if (file.fd < 0) {
        if (errno == EACCES || errno == EPERM)
            throw KelVvmActivityException("Greeting file not readable by the caller");
        throw KelVvmActivityException(kUnableToOpen);
    }
    struct stat status;
    // Non-blocking, and only a regular file: a FIFO or a device would otherwise hold the loop,
    // or be read without end.
    if (fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode))
        throw KelVvmActivityException(kUnableToOpen);
    if (status.st_size == 0) {
        // The text callers have always received for an empty greeting.
        throw KelVvmActivityException("Failed to mmap file");
    }
    if (status.st_size < 0 || uint64_t(status.st_size) > SetGreetingActivity::s_maxGreetingSize)
        throw KelVvmActivityException("Greeting file too large: " + std::to_string(status.st_size) +
                                      " bytes, at most " +
                                      std::to_string(SetGreetingActivity::s_maxGreetingSize));
    std::string bytes(size_t(status.st_size), '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = read(file.fd, &bytes[done], bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw KelVvmActivityException("Unable to read file");
        if (n == 0)
            break;
        done += size_t(n);
    }
    // One byte more than announced tells a file that grew meanwhile.
    char extra;
    ssize_t more;
    do
        more = read(file.fd, &extra, 1);
    while (more < 0 && errno == EINTR);
    if (more < 0)
        throw KelVvmActivityException("Unable to read file");
    struct stat after;
    if (done != bytes.size() || more != 0 || fstat(file.fd, &after) != 0 ||
        after.st_size != status.st_size)
        throw KelVvmActivityException("Greeting file changed while being read");
    return bytes;
}
} // namespace

SetGreetingActivity::SetGreetingActivity(TSMessage* message) : KelVvmActivity(message)
{
    m_activityType = 6;
    KLOG_DEBUG("New SetGreetingActivity");
}

SetGreetingActivity::~SetGreetingActivity()
{
    TSSenderUidQueryCancel(m_uidQuery);
}

void SetGreetingActivity::onWork()
{
    KLOG_DEBUG("SetGreetingActivity::onWork");
    m_params["filePath"].asString(m_path);
    if (m_path.empty()) {
        fail(kUnableToOpen, kActivityErrorCode);
        return;
    }
    TSError error;
    TSErrorInit(&error);
    m_uidQuery = TSMessageQuerySenderUid(m_message, handleCallerUid, this, &error);
    if (!m_uidQuery) {
        KLOG_ERROR("Cannot ask who called: %s", error.message ? error.message : "");
        TSErrorFree(&error);
        fail("Unable to identify the caller", kActivityErrorCode);
    }
}

void SetGreetingActivity::handleCallerUid(bool found, unsigned int uid, void* activity)
{
    static_cast<SetGreetingActivity*>(activity)->onCallerUid(found, uid);
}

void SetGreetingActivity::onCallerUid(bool found, unsigned int uid)
{
    // The query has ended: nothing is left to cancel.
    m_uidQuery = nullptr;
    try {
        if (!found)
            throw KelVvmActivityException("Unable to identify the caller");
        std::string greeting = readGreeting(m_path, uid_t(uid));
        KLOG_INFO("Set Greeting: %s - Size: %zu - Caller: %u", m_path.c_str(), greeting.size(),
                  uid);
        std::unique_ptr<KelVvmResponse> response =
            KelVvmRequest::setInviteMessage(greeting.data(), greeting.size());
        if (response->getType() != RESPONSE_OK)
            throw KelVvmActivityException("Failed to upload file");
    } catch (const std::exception& e) {
        fail(e.what(), kActivityErrorCode);
        return;
    }
    complete(true);
}
