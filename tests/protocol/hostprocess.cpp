#include "hostprocess.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace hosttest {

std::string lengthPrefix(std::uint32_t length)
{
    std::string prefix(4, '\0');
    std::memcpy(&prefix[0], &length, 4);
    return prefix;
}

std::string frame(const std::string &text)
{
    return lengthPrefix(static_cast<std::uint32_t>(text.size())) + text;
}

std::vector<std::string> hostCommand()
{
    const char *command = std::getenv("QUORVANTA_HOST_COMMAND");
    if (!command || !*command) throw std::runtime_error("QUORVANTA_HOST_COMMAND is not set");
    std::vector<std::string> words;
    std::istringstream in(command);
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

namespace {

void splitFrames(HostRun &run)
{
    std::size_t pos = 0;
    const std::string &out = run.output;
    while (pos + 4 <= out.size()) {
        std::uint32_t length;
        std::memcpy(&length, out.data() + pos, 4);
        if (pos + 4 + length > out.size()) return;
        run.frames.push_back(out.substr(pos + 4, length));
        pos += 4 + length;
    }
    run.wellFramed = pos == out.size();
}

} // namespace

HostRun runHost(const std::string &input, const std::map<std::string, std::string> &extraEnv,
                int timeoutSeconds)
{
    const std::vector<std::string> command = hostCommand();
    int toChild[2], fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0) throw std::runtime_error("pipe failed");

    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        close(toChild[0]);
        close(toChild[1]);
        close(fromChild[0]);
        close(fromChild[1]);
        for (const auto &kv : extraEnv) setenv(kv.first.c_str(), kv.second.c_str(), 1);
        std::vector<char *> argv;
        for (const std::string &word : command) argv.push_back(const_cast<char *>(word.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    signal(SIGPIPE, SIG_IGN);
    fcntl(toChild[1], F_SETFL, O_NONBLOCK);

    HostRun run;
    std::size_t written = 0;
    bool inputOpen = true;
    if (input.empty()) {
        close(toChild[1]);
        inputOpen = false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    char buffer[65536];
    bool outputOpen = true;
    while (outputOpen) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd fds[2] = {{fromChild[0], POLLIN, 0}, {inputOpen ? toChild[1] : -1, POLLOUT, 0}};
        if (poll(fds, 2, int(left)) < 0 && errno != EINTR) break;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = read(fromChild[0], buffer, sizeof buffer);
            if (n > 0) run.output.append(buffer, std::size_t(n));
            else if (n == 0 || errno != EINTR) outputOpen = false;
        }
        if (inputOpen && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n = write(toChild[1], input.data() + written, input.size() - written);
            if (n > 0) written += std::size_t(n);
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
                close(toChild[1]);
                inputOpen = false;
            }
        }
    }
    if (inputOpen) close(toChild[1]);
    close(fromChild[0]);

    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            splitFrames(run);
            return run;
        }
        usleep(10000);
    }
    if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    splitFrames(run);
    return run;
}

std::string request(const std::map<std::string, std::string> &members)
{
    std::string text = "{";
    for (const auto &kv : members) {
        if (text.size() > 1) text += ",";
        text += "\"" + kv.first + "\":\"" + kv.second + "\"";
    }
    return text + "}";
}

std::string handledResponse(const std::string &result, const std::string &message,
                            const std::string &nonce)
{
    return "{\n\t\"api\": 1,\n\t\"message\": \"" + message + "\",\n\t\"nonce\": \"" + nonce
           + "\",\n\t\"result\": \"" + result + "\" \n} \n";
}

std::string endingResponse(const std::string &result, const std::string &message,
                           const std::string &nonce)
{
    std::string text = "{\n\t\"message\": \"" + message + "\",\n";
    if (!nonce.empty()) text += "\t\"nonce\": \"" + nonce + "\",\n";
    return text + "\t\"result\": \"" + result + "\" \n} \n";
}

} // namespace hosttest
