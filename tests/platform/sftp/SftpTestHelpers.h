#pragma once

#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "platform/sftp/SftpClient.h"
#include "support/SshServers.h"

namespace ct::test {

// A client for the test server as its test user: by password, or by the key file with its
// passphrase; host trust through the known_hosts file given (none: the server's own, plain).
inline std::unique_ptr<SftpClient> MakeSftpClient(const SshdServer& server, const std::string& keyFile = "",
                                                  const std::string& secret = SftpTestPassword,
                                                  const std::string& pin = "") {
    Endpoint endpoint{"127.0.0.1", server.Port(), SftpTestUser, secret, EndpointSecurity::Sftp, pin, keyFile};
    auto client = std::make_unique<SftpClient>(endpoint);
    client->SetKnownHostsFile(server.KnownHosts().string());
    client->SetTimeouts(std::chrono::seconds(20));
    return client;
}

// Runs the call; gives the TransferError it raises (the test fails when it raises none).
inline TransferError ExpectTransferError(const std::function<void()>& call) {
    try {
        call();
    } catch (const TransferError& error) {
        return error;
    }
    ADD_FAILURE() << "no TransferError raised";
    return TransferError("none");
}

} // namespace ct::test
