// KelVvmMediaFiles: which names and paths the service may create or remove in its media folder.
#include "KelVvmMediaFiles.h"

#include "KelVvmLog.h"
#include "KelVvmServiceValues.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

bool isPlainFileName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.size() <= NAME_MAX &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

bool isFileInFolder(const std::string& path, const std::string& folder)
{
    return !folder.empty() && folder.back() == '/' && path.size() > folder.size() &&
           path.compare(0, folder.size(), folder) == 0 &&
           isPlainFileName(path.substr(folder.size()));
}

void removeMediaFile(const std::string& path)
{
    if (path.empty())
        return;
    if (!isFileInFolder(path, KelVvmServiceValues::s_mediaFolder)) {
        KLOG_WARNING("Not removing %s: not a file of the media folder", path.c_str());
        return;
    }
    std::remove(path.c_str());
}

namespace
{

bool hasAudioExtension(const std::string& name)
{
    for (const char* extension : {".amr", ".wav", ".mp3"}) {
        size_t length = strlen(extension);
        if (name.size() > length && name.compare(name.size() - length, length, extension) == 0)
            return true;
    }
    return false;
}

} // namespace

void removeEveryAudioFile()
{
    const std::string& folder = KelVvmServiceValues::s_mediaFolder;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
    if (!dir)
        return;
    while (dirent* entry = readdir(dir.get())) {
        std::string name = entry->d_name;
        struct stat info;
        // Not followed: a link is removed as a name, never what it points to.
        if (hasAudioExtension(name) &&
            fstatat(dirfd(dir.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISDIR(info.st_mode) && unlinkat(dirfd(dir.get()), entry->d_name, 0) != 0)
            KLOG_WARNING("Cannot remove %s%s: %s", folder.c_str(), entry->d_name, strerror(errno));
    }
}
