#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/client/Endpoint.h"
#include "platform/json/SuperObject.h"

namespace ct {

enum class JobDirection { Upload, Download };

// "verify": absent or "auto" (compare a hash where the server offers one), "hash" (a hash
// check is required), "off".
enum class JobVerify { Auto, Hash, Off };
// "publish": absent or "direct" (upload to the target name), "rename" (upload to a
// temporary name beside it, then rename over it).
enum class JobPublish { Direct, Rename };
// "mtime": absent (the time the transfer leaves), "keep" (the source's modification time).
enum class JobMtime { Default, Keep };

// One job of the queue, read from its line by ParseJob.
struct Job {
    Endpoint endpoint;                       // "ftp": "h", "t", "u", "p", "s", "fp", "k"
    JobDirection direction = JobDirection::Upload;  // "v"
    std::string localPath;                   // "f"
    std::string remotePath;                  // "d", as the producer wrote it
    std::string base;                        // "b"
    // "error" as text; nullopt when the line has no such member (the job never failed).
    std::optional<std::string> errorMark;
    std::string reason;                      // "reason"
    JobVerify verify = JobVerify::Auto;      // "verify"
    JobPublish publish = JobPublish::Direct; // "publish"
    JobMtime mtime = JobMtime::Default;      // "mtime"
    // The line as read. A failed job is written back from it, so that members this program
    // does not know survive the rewrite in their places.
    ISuperObject line;
};

// Why a line is not a job the worker may run.
struct JobFault {
    enum class Kind {
        // The line cannot be read as a job at all (not a JSON object, beyond the bounds, no
        // "ftp" object): the run stops at it and leaves it as it is.
        NotAJob,
        // A job that breaks a rule: it fails at once, before anything is sent.
        BrokenRule,
    };
    Kind kind = Kind::NotAJob;
    // Readable, and never a piece of the password.
    std::string rule;
    // The job as far as it reads, whenever the line is a JSON object: what it is marked
    // through and what the log and the window show of it.
    std::optional<Job> job;
};

using ParsedJob = std::variant<Job, JobFault>;

// Reads a job line and applies every rule a job must pass before a connection is made for
// it: the bounds of a line (kMaxJobLineBytes, kMaxJobDepth), a JSON object with an "ftp"
// object, "t" a whole number of 1..65535 (absent, empty or 0: the usual port of the job's
// security), "s" one of "", "tls", "implicit", "sftp" (absent or null: ""), "fp" a
// fingerprint that only a secured session may carry, in its protocol's form (hex for TLS,
// "SHA256:" and base64 for SFTP), "k" (a key file) on SFTP jobs only, "verify" one of "auto",
// "hash", "off", "publish" one of "direct", "rename", "mtime" "keep" (each absent, null or
// empty: the first; any other value refuses the job). Text members read as their text, other
// scalars as their JSON text, null as empty.
ParsedJob ParseJob(std::string_view line);

// The job, or as much of it as reads when it breaks a rule; nullptr when the line is no JSON
// object.
const Job* JobOf(const ParsedJob& parsed);

} // namespace ct
