// The job line from end to end as the worker and the window treat it: parse with every rule,
// mark a failure, write the line back, and read that again.
#include <string>
#include <string_view>

#include "FuzzTarget.h"
#include "batch/JobLine.h"
#include "platform/json/SuperObject.h"

namespace {

void ReadMembers(const ct::TSuperObject& line) {
    for (const char* name : {"v", "f", "d", "b", "error", "ftp", "t"}) {
        (void)line.S(name);
        (void)line.I(name);
        (void)line.Has(name);
    }
    if (const ct::ISuperObject ftp = line.O("ftp"))
        (void)ftp->AsJSon();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ct::ParsedJob parsed = ct::ParseJob(text);
    const ct::Job* read = ct::JobOf(parsed);
    if (!read)
        return 0; // not a job: the run stops there, nothing else to do with it
    ct::Job job = *read;
    FUZZ_EXPECT(job.line != nullptr);
    ReadMembers(*job.line);
    // A job that passes the rules names a port the worker can connect to.
    if (std::holds_alternative<ct::Job>(parsed))
        FUZZ_EXPECT(job.endpoint.port != 0);

    // A job line stays one line: the queue file is split at line ends.
    const std::string original = job.line->AsJSon();
    FUZZ_EXPECT(original.find('\n') == std::string::npos && original.find('\r') == std::string::npos);

    const std::optional<std::string> mark = ct::NextErrorMark(job);
    job.line->SetS("error", mark.value_or("dropped"));
    const std::string rewritten = job.line->AsJSon();
    FUZZ_EXPECT(rewritten.find('\n') == std::string::npos && rewritten.find('\r') == std::string::npos);
    if (rewritten.size() > ct::kMaxJobLineBytes)
        return 0;

    // What the worker writes back, it must be able to read at its next run, unchanged.
    const ct::ParsedJob reparsed = ct::ParseJob(rewritten);
    const ct::Job* again = ct::JobOf(reparsed);
    if (!again) {
        std::fprintf(stderr, "a rewritten line does not parse: %s\n", std::get<ct::JobFault>(reparsed).rule.c_str());
        std::abort();
    }
    FUZZ_EXPECT(again->line->AsJSon() == rewritten);
    FUZZ_EXPECT(again->errorMark == mark.value_or("dropped"));
    FUZZ_EXPECT(again->direction == job.direction);
    FUZZ_EXPECT(again->endpoint == job.endpoint);
    ReadMembers(*again->line);
    return 0;
}
