#include "transfer/JobPaths.h"

#include <algorithm>

#include "platform/fs/FileSystem.h"
#include "transfer/RemoteDirs.h"

namespace ct {

namespace {

bool IsRemoteSeparator(char c) {
    return c == '\\' || c == ':';
}

} // namespace

std::string UploadRemoteName(const std::string& d) {
    auto it = std::find_if(d.rbegin(), d.rend(), IsRemoteSeparator);
    if (it == d.rend())
        return d;
    return std::string(it.base(), d.end());
}

std::string UploadRemoteDir(const std::string& d) {
    if (d.empty())
        return {};
    std::string rest = d.substr(1);
    auto it = std::find_if(rest.rbegin(), rest.rend(), IsRemoteSeparator);
    std::string dir = it == rest.rend() ? std::string() : std::string(rest.begin(), it.base());
    std::replace(dir.begin(), dir.end(), '\\', '/');
    return dir;
}

std::optional<std::string> DownloadRemotePath(const std::string& d, const std::string& b) {
    if (d.empty() || d == "-")
        return std::nullopt;
    std::string path = d[0] == '-' ? d.substr(1) : d;
    std::replace(path.begin(), path.end(), '\\', '/');
    if (path.empty() || path[0] != '/')
        path.insert(path.begin(), '/');
    if (!b.empty())
        path = "/" + b + path;
    return path;
}

std::string DownloadLocalFolder(const std::string& f) {
    std::size_t cut = std::string::npos;
    for (std::size_t i = f.size(); i-- > 0;) {
        if (IsLocalPathSeparator(i, f[i])) {
            cut = i;
            break;
        }
    }
    if (cut == std::string::npos)
        return {};
    const bool keepSeparator = f[cut] == ':' || cut == 0 || IsLocalPathSeparator(cut - 1, f[cut - 1]);
    return f.substr(0, keepSeparator ? cut + 1 : cut);
}

std::string JobRemotePath(const Job& job) {
    if (job.direction == JobDirection::Upload)
        return NormaliseRemoteDir(UploadRemoteDir(job.remotePath), job.base) + UploadRemoteName(job.remotePath);
    return DownloadRemotePath(job.remotePath, job.base).value_or(std::string());
}

} // namespace ct
