#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/client/Endpoint.h"
#include "platform/ftp/FtpReply.h"

namespace ct::ftp {

// Masks every occurrence of the secret. Where a line was cut (it ends in FtpReply::CutMark)
// the start of the secret may stand right before the cut, so that is masked too.
// Redaction comes before any shortening, never after.
std::string Redact(std::string text, std::string_view secret);

// Shortens to at most maxChars, marking the cut; control characters become '?'.
std::string Bound(std::string_view text, std::size_t maxChars);

// The first line of a reply as a reason ("550 Permission denied."): redacted, then bounded.
std::string ReasonLine(const FtpReply& reply, std::string_view secret, std::size_t maxChars = 120);

// The whole reply on one line for an error message: redacted, then bounded.
std::string QuoteReply(const FtpReply& reply, std::string_view secret, std::size_t maxChars = 300);

// Whether a refusal of RETR says that the file is not there. vsftpd says only "Failed to
// open file." for a missing file and an unreadable one alike; vagueOnly tells the caller
// that the text said nothing more precise.
bool SaysFileMissing(const FtpReply& reply, bool* vagueOnly = nullptr);

// Whether a refusal of the login says that the server wants TLS first.
bool SaysTlsRequired(const FtpReply& reply);

// A SHA-256 fingerprint in the form `openssl x509 -noout -fingerprint -sha256` prints:
// upper-case hex byte pairs joined by colons.
std::string FormatFingerprint(const unsigned char* digest, std::size_t length);
// The job's pin in the form the certificate check compares (platform/client/Endpoint.h).
using ct::NormalizeFingerprint;

} // namespace ct::ftp
