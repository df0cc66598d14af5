#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace ct {

// Reachability probe: true when the named host answers. The worker receives it injected;
// tests always pass a fake.
using PingFunction = std::function<bool(const std::string& host)>;

// The real probe: an unprivileged ICMP echo where the system allows it, else a TCP connect
// to port 80 / 443, each with a short time-out. Never used by tests.
bool Ping(const std::string& host, std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

// The public host the worker probes when a connection could not be had.
inline constexpr const char* kReachabilityHost = "www.google.com";

} // namespace ct
