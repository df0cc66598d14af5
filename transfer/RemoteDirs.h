#pragma once

#include <string>

#include "platform/client/TransferClient.h"

namespace ct {

// Walks path ("/"-separated, normally normalised by EnsureRemoteDir) segment by segment,
// making each (errors swallowed) and entering it; returns to the starting directory
// afterwards. True when the whole walk succeeded. Never raises.
bool MakeRemoteDirs(const std::string& path, ITransferClient& client);

// The absolute remote folder that EnsureRemoteDir makes of path and base: backslashes to
// "/", a leading "/", and "/" + base in front when base is given.
std::string NormaliseRemoteDir(const std::string& path, const std::string& base);

// Normalises path (backslashes to "/", leading "/", "/" + base in front when base is given),
// builds it, enters it, with a simpler fallback walk when that fails. True when the client
// now stands in the normalised directory. When the client already knows it stands there
// (ITransferClient::KnownCurrentDir), nothing is sent. Never raises.
bool EnsureRemoteDir(const std::string& path, ITransferClient& client, const std::string& base);

} // namespace ct
