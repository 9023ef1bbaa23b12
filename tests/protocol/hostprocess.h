// Runs the host as the browser does: a child process whose standard input and
// output are pipes carrying length-prefixed frames. The command that starts
// the host comes from QUORVANTA_HOST_COMMAND (for example "wine host.exe"),
// so the same tests run against the Linux and the Windows host.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace hosttest {

std::string frame(const std::string &text);
std::string lengthPrefix(std::uint32_t length);

struct HostRun {
    std::string output;              // everything the host wrote to stdout
    std::vector<std::string> frames; // the output split into frame texts
    bool wellFramed = false;         // the output is whole frames and nothing else
    int exitCode = -1;               // -1: killed or did not exit in time
};

// The command from QUORVANTA_HOST_COMMAND, split at spaces.
std::vector<std::string> hostCommand();

// Starts the host with `extraEnv` added to the environment, writes `input`,
// closes its stdin and collects its output until it exits.
HostRun runHost(const std::string &input, const std::map<std::string, std::string> &extraEnv = {},
                int timeoutSeconds = 60);

// A request object's text from key/value pairs of strings.
std::string request(const std::map<std::string, std::string> &members);

// The exact text of an error response that the request handler answers
// (the host goes on) ...
std::string handledResponse(const std::string &result, const std::string &message,
                            const std::string &nonce);
// ... and of one that the main loop answers before the host ends: no "api",
// and "nonce" only when there was one.
std::string endingResponse(const std::string &result, const std::string &message,
                           const std::string &nonce = "");

} // namespace hosttest
