#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "batch/Job.h"
#include "platform/client/TransferClient.h"
#include "platform/fs/TempFile.h"
#include "transfer/PartialDownloads.h"

namespace ct {

// Downloads smaller than this are never resumed: starting over costs less than the MDTM
// and the record that resuming needs.
inline constexpr std::int64_t kResumeMinimum = 1024 * 1024;

// The hash a job's transfer is checked with, nullopt for none. "verify": "hash" with a
// server that offers none raises (before anything is transferred); "auto" asks the client,
// which learns what the server offers once per session; "off" asks nothing.
std::optional<HashAlgorithm> VerificationFor(const Job& job, ITransferClient& client);

// Compares the server's hash of remotePath with ours; raises "<algorithm> checksum mismatch"
// when they differ. Returns what the outcome log says of it ("verified by SHA-256"); a
// server that then gives no hash fails a job that requires one, and leaves an "auto" job
// unverified (said so).
std::string CheckTransferHash(const Job& job, ITransferClient& client, HashAlgorithm algorithm,
                              const std::string& remotePath, const std::optional<std::string>& localHash);

// What ties a kept part (or an upload's record) to its job: direction, server, login, remote
// and local paths.
std::string ResumeKeyOf(const Job& job);

// The name an upload with "publish": "rename" goes to first, beside the target: ".x.bin.part".
std::string TemporaryUploadName(const std::string& remoteName);

// A local file's modification time in seconds since 1970 (UTC), and setting it.
std::optional<std::int64_t> LocalModifiedTime(const std::filesystem::path& path);
bool SetLocalModifiedTime(const std::filesystem::path& path, std::int64_t unixSeconds);

// Joins notes for the outcome log's reason ("resumed at 1048576; verified by SHA-256").
void AddNote(std::string& reason, const std::string& note);

// At a run's start: removes the parts and records of the journal beside the queue, but those of
// jobs still in the queue. Never raises.
void RemoveLeftoverParts(const std::filesystem::path& batchFile);

// The part a download kept for the job of wanted.key, reopened, and where to go on in it
// (request.startPosition); a part that no longer matches the remote file is removed.
std::optional<TempFile> ResumablePart(PartialDownloadJournal& journal, const PartialRecord& wanted,
                                      TransferRequest& request);

// Where a cut upload of f goes on (request.startPosition), with the record that lets a later
// try know it: only while the local file keeps the size and time it had at the first try,
// and onto a remote part no larger than it. False when the upload is not one to resume.
bool UploadResumeStart(ITransferClient& client, const std::string& f, const std::string& sendName,
                       const std::string& key, PartialDownloadJournal& journal, TransferRequest& request);

} // namespace ct
