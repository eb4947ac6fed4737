// KelVvmMediaFiles: which names and paths the service may create or remove in its media folder.
#include "KelVvmMediaFiles.h"

#include "KelVvmLog.h"
#include "KelVvmServiceValues.h"

#include <climits>
#include <cstdio>

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
