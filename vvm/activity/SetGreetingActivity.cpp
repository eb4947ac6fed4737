// SetGreetingActivity: uploads the user's recorded greeting to the carrier's platform.
#include "SetGreetingActivity.h"

#include "KelVvmLog.h"
#include "KelVvmRequest.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace
{
const int kActivityErrorCode = 666;

// The open greeting file and its mapping, released whatever happens during the upload.
struct MappedFile {
    int fd = -1;
    void* map = MAP_FAILED;
    size_t size = 0;
    ~MappedFile()
    {
        if (map != MAP_FAILED)
            munmap(map, size);
        if (fd >= 0)
            close(fd);
    }
};
} // namespace

SetGreetingActivity::SetGreetingActivity(TSMessage* message) : KelVvmActivity(message)
{
    m_activityType = 6;
    KLOG_DEBUG("New SetGreetingActivity");
}

void SetGreetingActivity::onWork()
{
    KLOG_DEBUG("SetGreetingActivity::onWork");
    try {
        std::string path;
        m_params["filePath"].asString(path);
        std::unique_ptr<KelVvmResponse> response;
        {
            MappedFile file;
            // Non-blocking, and only a regular file: a FIFO or a device would otherwise hold
            // the loop, or be read without end.
            file.fd = path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            struct stat status;
            if (file.fd < 0 || fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode))
                throw KelVvmActivityException("Unable to open file");
            file.size = size_t(status.st_size);
            file.map = mmap(nullptr, file.size, PROT_READ, MAP_SHARED, file.fd, 0);
            if (file.map == MAP_FAILED)
                throw KelVvmActivityException("Failed to mmap file");
            KLOG_INFO("Set Greeting: %s - Size: %ld - Map: %p", path.c_str(), long(file.size),
                      file.map);
            response =
                KelVvmRequest::setInviteMessage(static_cast<const char*>(file.map), int(file.size));
        }
        if (response->getType() != RESPONSE_OK)
            throw KelVvmActivityException("Failed to upload file");
    } catch (const std::exception& e) {
        fail(e.what(), kActivityErrorCode);
        return;
    }
    complete(true);
}
