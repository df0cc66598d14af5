// The job line from end to end as the worker and the window treat it: parse, read every
// member, mark a failure, write the line back, and read that again.
#include <string>
#include <string_view>

#include "FuzzTarget.h"
#include "batch/JobLine.h"
#include "platform/json/SuperObject.h"

namespace {

void ReadMembers(const ct::TSuperObject& job) {
    for (const char* name : {"v", "f", "d", "b", "error", "ftp", "t"}) {
        (void)job.S(name);
        (void)job.I(name);
        (void)job.Has(name);
    }
    if (const ct::ISuperObject ftp = job.O("ftp")) {
        for (const char* name : {"h", "u", "p", "t"}) {
            (void)ftp->S(name);
            (void)ftp->I(name);
        }
        (void)ftp->AsJSon();
    }
    (void)ct::IsUploadJob(job);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ct::ISuperObject job;
    try {
        job = ct::SO(text);
    } catch (const ct::JsonError&) {
        return 0; // not a job: the run stops there, nothing else to do with it
    }
    FUZZ_EXPECT(job != nullptr);
    ReadMembers(*job);

    // A job line stays one line: the queue file is split at line ends.
    const std::string original = job->AsJSon();
    FUZZ_EXPECT(original.find('\n') == std::string::npos && original.find('\r') == std::string::npos);

    const std::optional<std::string> mark = ct::NextErrorMark(*job);
    job->SetS("error", mark.value_or("dropped"));
    const std::string rewritten = job->AsJSon();
    FUZZ_EXPECT(rewritten.find('\n') == std::string::npos && rewritten.find('\r') == std::string::npos);
    if (rewritten.size() > ct::kMaxJobLineBytes)
        return 0;

    // What the worker writes back, it must be able to read at its next run, unchanged.
    ct::ISuperObject again;
    try {
        again = ct::SO(rewritten);
    } catch (const ct::JsonError& e) {
        std::fprintf(stderr, "a rewritten line does not parse: %s\n", e.what());
        std::abort();
    }
    FUZZ_EXPECT(again->AsJSon() == rewritten);
    FUZZ_EXPECT(again->S("error") == mark.value_or("dropped"));
    FUZZ_EXPECT(ct::IsUploadJob(*again) == ct::IsUploadJob(*job));
    ReadMembers(*again);
    return 0;
}
