#pragma once

#include <optional>
#include <string>

#include "batch/Job.h"

namespace ct {

// How a job's "d", "b" and "f" become remote and local names. Remote names follow the
// queue producers' Windows convention: backslash and colon separate, a forward slash does
// not. The local folder of a download also accepts forward slashes off Windows.

// Upload: the file-name part of "d", the text after its last backslash or colon
// (all of "d" when it has neither).
std::string UploadRemoteName(const std::string& d);

// Upload: "d" without its first character, up to and including its last backslash or
// colon (empty when it has neither), with every backslash turned into "/".
std::string UploadRemoteDir(const std::string& d);

// Download: "d" without a leading "-", backslashes turned into "/", "/" put in front when
// missing, and "/" + "b" in front when "b" is given. nullopt when "d" is empty or only "-".
std::optional<std::string> DownloadRemotePath(const std::string& d, const std::string& b);

// Download: the folder of the local file "f", "" when "f" has no folder part. The
// separator before the name is dropped unless it follows a colon or another separator, so
// a drive's or the file system's root keeps its separator (C:\x.bin -> C:\, /x.bin -> /).
std::string DownloadLocalFolder(const std::string& f);

// Where the job's file goes to or comes from on the server, as an absolute path; "" for a
// download that names no remote file.
std::string JobRemotePath(const Job& job);

} // namespace ct
