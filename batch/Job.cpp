#include "batch/Job.h"

#include <charconv>
#include <initializer_list>
#include <utility>
#include <cstdint>
#include <limits>

namespace ct {

namespace {

// The direction rule: "v" equal to "put" (exactly) or empty/missing is an upload, anything
// else a download.
JobDirection DirectionOf(const TSuperObject& line) {
    const std::string v = line.S("v");
    return v == "put" || v.empty() ? JobDirection::Upload : JobDirection::Download;
}

std::optional<EndpointSecurity> SecurityOf(const std::string& s) {
    if (s.empty())
        return EndpointSecurity::None;
    if (s == "tls")
        return EndpointSecurity::ExplicitTls;
    if (s == "implicit")
        return EndpointSecurity::ImplicitTls;
    if (s == "sftp")
        return EndpointSecurity::Sftp;
    return std::nullopt;
}

// "t" as a number: nullopt when it is no whole decimal number (a fraction, a word, true).
std::optional<std::int64_t> WholeNumber(const std::string& text) {
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (stop != end)
        return std::nullopt;
    if (error == std::errc::result_out_of_range)
        return text.front() == '-' ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
    if (error != std::errc())
        return std::nullopt;
    return value;
}

// The endpoint's rules; "" when it keeps them all, else the first rule it breaks. What does
// read is kept either way, for the log.
std::string ReadEndpoint(const TSuperObject& ftp, Endpoint& endpoint) {
    endpoint.host = ftp.S("h");
    endpoint.user = ftp.S("u");
    endpoint.password = ftp.S("p");
    endpoint.pin = ftp.S("fp");
    endpoint.keyFile = ftp.S("k");
    const std::string s = ftp.S("s");
    const auto security = SecurityOf(s);
    endpoint.security = security.value_or(EndpointSecurity::None);
    const std::string t = ftp.S("t");
    const auto port = t.empty() ? std::optional<std::int64_t>(0) : WholeNumber(t);
    const bool portInRange = port && *port >= 0 && *port <= 65535;
    if (portInRange)
        endpoint.port = *port == 0 ? UsualPort(endpoint.security) : static_cast<std::uint16_t>(*port);

    if (!security)
        return "unknown security \"" + s + "\" in \"s\" (expected \"tls\", \"implicit\", \"sftp\" or none)";
    if (!portInRange)
        return "\"t\" is not a port of 1..65535: " + t.substr(0, 40);
    const bool sftp = endpoint.security == EndpointSecurity::Sftp;
    if (!endpoint.keyFile.empty() && !sftp)
        return "a key file (\"k\") needs SFTP (\"s\": \"sftp\")";
    if (!endpoint.pin.empty()) {
        // A pin says which certificate the owner trusts; without TLS there is none to check,
        // and the login would go out in clear.
        if (endpoint.security == EndpointSecurity::None)
            return "a pinned fingerprint (\"fp\") needs TLS (\"s\": \"tls\" or \"implicit\") or SFTP";
        // A pin of the other protocol's form can never match: the job could only fail later,
        // after a connection, for a reason that hides the mistake.
        if (sftp && !NormalizeSshFingerprint(endpoint.pin))
            return "malformed fingerprint in \"fp\" (expected an SSH host key fingerprint, SHA256: and base64)";
        if (!sftp && !NormalizeFingerprint(endpoint.pin))
            return "malformed fingerprint in \"fp\" (expected a SHA-256 fingerprint)";
    }
    return {};
}

// One of a member's allowed texts; absent, null or empty reads as the first. Empty when it is one.
template <typename Mode>
std::string ReadChoice(const TSuperObject& line, const char* name,
                       std::initializer_list<std::pair<const char*, Mode>> choices, Mode& mode) {
    if (line.S(name).empty())
        return {};
    const std::string value = line.S(name);
    for (const auto& [text, choice] : choices)
        if (value == text) {
            mode = choice;
            return {};
        }
    std::string allowed;
    for (const auto& [text, choice] : choices)
        allowed += (allowed.empty() ? "\"" : ", \"") + std::string(text) + "\"";
    return "\"" + std::string(name) + "\" must be one of " + allowed + ": " + value.substr(0, 40);
}

std::string ReadDelivery(const TSuperObject& line, Job& job) {
    std::string broken = ReadChoice(line, "verify",
                                    {{"auto", JobVerify::Auto}, {"hash", JobVerify::Hash}, {"off", JobVerify::Off}},
                                    job.verify);
    if (broken.empty())
        broken = ReadChoice(line, "publish", {{"direct", JobPublish::Direct}, {"rename", JobPublish::Rename}},
                            job.publish);
    if (broken.empty())
        broken = ReadChoice(line, "mtime", {{"keep", JobMtime::Keep}}, job.mtime);
    return broken;
}

} // namespace

ParsedJob ParseJob(std::string_view text) {
    ISuperObject line;
    try {
        line = SO(text);
    } catch (const JsonError& error) {
        return JobFault{JobFault::Kind::NotAJob, error.what(), std::nullopt};
    }
    Job job;
    job.line = line;
    job.direction = DirectionOf(*line);
    job.localPath = line->S("f");
    job.remotePath = line->S("d");
    job.base = line->S("b");
    if (line->Has("error"))
        job.errorMark = line->S("error");
    job.reason = line->S("reason");

    const ISuperObject ftp = line->O("ftp");
    if (!ftp)
        return JobFault{JobFault::Kind::NotAJob, "the job line has no \"ftp\" settings", std::move(job)};
    std::string broken = ReadEndpoint(*ftp, job.endpoint);
    if (broken.empty())
        broken = ReadDelivery(*line, job);
    if (!broken.empty())
        return JobFault{JobFault::Kind::BrokenRule, std::move(broken), std::move(job)};
    return job;
}

const Job* JobOf(const ParsedJob& parsed) {
    if (const Job* job = std::get_if<Job>(&parsed))
        return job;
    const auto& fault = std::get<JobFault>(parsed);
    return fault.job ? &*fault.job : nullptr;
}

} // namespace ct
