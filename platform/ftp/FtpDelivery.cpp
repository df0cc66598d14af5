// What FtpSession offers beyond the plain transfer: the server's extensions (FEAT), hashes,
// modification times, renames.
#include "platform/ftp/FtpSession.h"

#include <algorithm>
#include <cstdio>

#include "platform/ftp/FtpText.h"

namespace ct::ftp {

namespace {

// Days since 1970-01-01 of a civil date and back (proleptic Gregorian), so that UTC times need
// neither timegm nor the C library's time zone.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::string TimeText(std::int64_t unixSeconds) {
    std::int64_t days = unixSeconds / 86400;
    std::int64_t rest = unixSeconds % 86400;
    if (rest < 0)
        rest += 86400, --days;
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
    char text[32];
    std::snprintf(text, sizeof text, "%04lld%02u%02u%02lld%02lld%02lld", static_cast<long long>(y), m, d,
                  static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60),
                  static_cast<long long>(rest % 60));
    return text;
}

bool Offers(const std::vector<HashAlgorithm>& list, HashAlgorithm algorithm) {
    return std::find(list.begin(), list.end(), algorithm) != list.end();
}

} // namespace

std::optional<std::int64_t> ParseMdtmReply(const std::string& text) {
    // "213 YYYYMMDDHHMMSS[.sss]"
    if (text.size() < 18 || text.compare(0, 4, "213 ") != 0)
        return std::nullopt;
    const std::string digits = text.substr(4, 14);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    auto field = [&](std::size_t at, std::size_t n) { return std::stoll(digits.substr(at, n)); };
    const auto month = field(4, 2), day = field(6, 2), hour = field(8, 2), minute = field(10, 2), second = field(12, 2);
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    return DaysFromCivil(field(0, 4), static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
           hour * 3600 + minute * 60 + second;
}

std::string FormatMdtmTime(std::int64_t unixSeconds) {
    return TimeText(unixSeconds);
}

const FtpFeatures& FtpSession::Features() {
    if (!m_features) {
        // No state change: this may be asked while a transfer is being set up.
        const FtpReply reply = Command("FEAT");
        m_features = reply.code == 211 ? ParseFeatures(reply.text) : FtpFeatures{};
        m_hashChosen = m_features->hashCurrent;
    }
    return *m_features;
}

FtpReply FtpSession::PlainCommand(const std::string& command, const std::string& argument) {
    CheckUsable();
    if (!argument.empty())
        CheckArgument(command, argument);
    RequireConnection();
    SetState(FtpState::Command);
    const FtpReply reply = Command(command, argument);
    SetState(FtpState::Ready);
    ArmControlRead();
    return reply;
}

std::vector<HashAlgorithm> FtpSession::OfferedHashes() {
    CheckUsable();
    RequireConnection();
    std::vector<HashAlgorithm> offered = Features().hash;
    offered.insert(offered.end(), m_features->xHash.begin(), m_features->xHash.end());
    std::sort(offered.begin(), offered.end());
    offered.erase(std::unique(offered.begin(), offered.end()), offered.end());
    offered.erase(std::remove_if(offered.begin(), offered.end(), [](HashAlgorithm a) { return !LocalHasher::Available(a); }),
                  offered.end());
    return offered;
}

std::vector<HashAlgorithm> FtpSession::OfferedRangeHashes() {
    CheckUsable();
    RequireConnection();
    std::vector<HashAlgorithm> offered = Features().xHash;
    offered.erase(std::remove_if(offered.begin(), offered.end(), [](HashAlgorithm a) { return !LocalHasher::Available(a); }),
                  offered.end());
    return offered;
}

std::optional<std::string> FtpSession::RemoteHash(HashAlgorithm algorithm, const std::string& remotePath,
                                                  std::int64_t start, std::int64_t end) {
    CheckUsable();
    RequireConnection();
    const FtpFeatures& features = Features();
    const bool whole = start == 0 && end < 0;
    if (whole && Offers(features.hash, algorithm)) {
        if (m_hashChosen != algorithm) {
            const FtpReply chosen = PlainCommand("OPTS", std::string("HASH ") + HashName(algorithm));
            if (chosen.Positive())
                m_hashChosen = algorithm;
        }
        if (m_hashChosen == algorithm) {
            const FtpReply reply = PlainCommand("HASH", remotePath);
            if (reply.Positive())
                return ParseHashReply(algorithm, reply.text);
        }
    }
    if (!Offers(features.xHash, algorithm))
        return std::nullopt;
    std::string argument = remotePath;
    if (!whole)
        argument += " " + std::to_string(start) + " " + std::to_string(end);
    const FtpReply reply = PlainCommand(XCommandOf(algorithm), argument);
    if (!reply.Positive())
        return std::nullopt;
    return ParseHashReply(algorithm, reply.text);
}

std::optional<std::int64_t> FtpSession::ModifiedTime(const std::string& remotePath) {
    const FtpReply reply = PlainCommand("MDTM", remotePath);
    return reply.code == 213 ? ParseMdtmReply(reply.text) : std::nullopt;
}

bool FtpSession::SetModifiedTime(const std::string& remotePath, std::int64_t unixSeconds) {
    CheckUsable();
    CheckArgument("MFMT", remotePath);
    RequireConnection();
    const std::string stamp = TimeText(unixSeconds);
    // MFMT where FEAT lists it, else MDTM with two arguments (vsftpd), else SITE UTIME
    // (proftpd's mod_site_misc); the first that works is kept for the session.
    std::vector<TimeSetter> order;
    if (m_timeSetter == TimeSetter::None)
        return false;
    if (m_timeSetter != TimeSetter::Unknown) {
        order.push_back(m_timeSetter);
    } else {
        if (Features().mfmt)
            order.push_back(TimeSetter::Mfmt);
        order.push_back(TimeSetter::MdtmTwo);
        order.push_back(TimeSetter::SiteUtime);
    }
    bool onlyUnknown = true;
    for (TimeSetter way : order) {
        FtpReply reply;
        if (way == TimeSetter::Mfmt)
            reply = PlainCommand("MFMT", stamp + " " + remotePath);
        else if (way == TimeSetter::MdtmTwo)
            reply = PlainCommand("MDTM", stamp + " " + remotePath);
        else
            reply = PlainCommand("SITE", "UTIME " + stamp + " " + remotePath);
        if (reply.Positive()) {
            m_timeSetter = way;
            return true;
        }
        onlyUnknown = onlyUnknown && (reply.code == 500 || reply.code == 502 || reply.code == 504);
    }
    // A server that knows none of the commands will not learn them later in the session.
    if (onlyUnknown && m_timeSetter == TimeSetter::Unknown)
        m_timeSetter = TimeSetter::None;
    return false;
}

void FtpSession::Rename(const std::string& from, const std::string& to) {
    CheckArgument("RNTO", to);
    auto renameOnce = [&] {
        const FtpReply asked = PlainCommand("RNFR", from);
        if (asked.code != 350)
            FailReply("RNFR " + from + " refused", asked);
        return PlainCommand("RNTO", to);
    };
    const FtpReply reply = renameOnce();
    if (reply.Positive())
        return;
    // Some servers will not rename over an existing file: only then does the old target go
    // first. Where the target is not there, the refusal has another cause and stands.
    if (PlainCommand("SIZE", to).code != 213)
        FailReply("RNTO " + to + " refused", reply);
    const FtpReply removed = PlainCommand("DELE", to);
    if (!removed.Positive())
        FailReply("RNTO " + to + " refused", reply);
    const FtpReply again = renameOnce();
    if (!again.Positive())
        FailReply("RNTO " + to + " refused", again);
}

void FtpSession::Delete(const std::string& remotePath) {
    const FtpReply reply = PlainCommand("DELE", remotePath);
    if (!reply.Positive())
        FailReply("DELE " + remotePath + " refused", reply);
}

} // namespace ct::ftp
