// The control connection's reply parser, fed what a server might send: the same bytes all at
// once and in pieces of every size must give the same replies and fail at the same place.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzTarget.h"
#include "platform/error/CloudError.h"
#include "platform/ftp/FtpReply.h"

namespace {

struct Outcome {
    std::vector<ct::FtpReply> replies;
    bool failed = false;
    std::string error;
    bool partial = false;
};

void Drain(ct::FtpReplyParser& parser, Outcome& outcome) {
    while (parser.HasReply())
        outcome.replies.push_back(parser.PopReply());
}

// Feeds the pieces in order; the first failure ends it, as it ends the session.
Outcome Parse(std::string_view bytes, const std::vector<std::size_t>& pieces) {
    ct::FtpReplyParser parser;
    Outcome outcome;
    std::size_t at = 0;
    try {
        for (std::size_t piece : pieces) {
            parser.Feed(bytes.substr(at, piece));
            at += piece;
            Drain(parser, outcome);
        }
        outcome.partial = parser.Partial();
    } catch (const ct::CloudError& e) {
        outcome.failed = true;
        outcome.error = e.what();
        Drain(parser, outcome);
        // Broken stays broken until Reset; after it the parser reads a new stream.
        bool refused = false;
        try {
            parser.Feed("200 again\r\n");
        } catch (const ct::CloudError&) {
            refused = true;
        }
        FUZZ_EXPECT(refused);
        parser.Reset();
        parser.Feed("220 ready\r\n");
        FUZZ_EXPECT(parser.HasReply() && parser.PopReply().code == 220);
    }
    return outcome;
}

// Piece sizes from 1 to 16 bytes, chosen by a generator seeded with the input itself.
std::vector<std::size_t> Pieces(std::string_view bytes, bool oneByOne) {
    std::vector<std::size_t> pieces;
    std::uint32_t state = 2166136261u;
    for (unsigned char c : bytes.substr(0, 32))
        state = (state ^ c) * 16777619u;
    for (std::size_t left = bytes.size(); left > 0;) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const std::size_t piece = oneByOne ? 1 : std::min<std::size_t>(left, 1 + state % 16);
        pieces.push_back(piece);
        left -= piece;
    }
    return pieces;
}

void CheckReply(const ct::FtpReply& reply) {
    FUZZ_EXPECT(reply.code >= 100 && reply.code <= 599);
    FUZZ_EXPECT(reply.text.size() >= 3 && reply.text.compare(0, 3, std::to_string(reply.code)) == 0);
    (void)reply.LastLineMessage();
    // The data-bearing replies are parsed from whatever text came.
    if (auto port = ct::ParseEpsvPort(reply.text))
        FUZZ_EXPECT(*port != 0);
    if (auto port = ct::ParsePasvPort(reply.text))
        FUZZ_EXPECT(*port != 0);
    (void)ct::ParseQuotedPath(reply.text);
    if (auto size = ct::ParseSizeReply(reply.text))
        FUZZ_EXPECT(*size >= 0);
    if (auto count = ct::ParseOpeningByteCount(reply.text))
        FUZZ_EXPECT(*count >= 0);
}

bool Same(const Outcome& a, const Outcome& b) {
    if (a.failed != b.failed || a.error != b.error || a.replies.size() != b.replies.size())
        return false;
    if (!a.failed && a.partial != b.partial)
        return false;
    for (std::size_t i = 0; i < a.replies.size(); ++i)
        if (a.replies[i].code != b.replies[i].code || a.replies[i].text != b.replies[i].text)
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const Outcome whole = Parse(bytes, bytes.empty() ? std::vector<std::size_t>{} : std::vector<std::size_t>{size});
    for (const ct::FtpReply& reply : whole.replies)
        CheckReply(reply);
    FUZZ_EXPECT(Same(whole, Parse(bytes, Pieces(bytes, false))));
    if (size <= 4096)
        FUZZ_EXPECT(Same(whole, Parse(bytes, Pieces(bytes, true))));
    return 0;
}
