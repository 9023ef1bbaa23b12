// Measures how long a native-messaging host takes from being spawned until its
// VERSION response has arrived, for the shipped host and for a trivial
// program, alternating runs so that both see the same machine load. Prints
// the medians and their ratio and fails when the host is above the limit.
//   startup-measure HOST BASELINE [RUNS] [LIMIT]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

bool readAll(int fd, char *data, std::size_t size)
{
    while (size) {
        const ssize_t n = read(fd, data, size);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Seconds from spawn to the complete first response frame; negative on error.
double timeOneRun(const char *program)
{
    static const std::string request =
        R"({"type":"VERSION","nonce":"1","origin":"https://startup.example"})";
    int toChild[2], fromChild[2];
    if (pipe(toChild) || pipe(fromChild)) return -1;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]})
        posix_spawn_file_actions_addclose(&actions, fd);
    char *argv[] = {const_cast<char *>(program), nullptr};

    const auto start = std::chrono::steady_clock::now();
    pid_t pid;
    const int spawned = posix_spawn(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    if (spawned != 0) return -1;

    std::string frame(4, '\0');
    const std::uint32_t size = static_cast<std::uint32_t>(request.size());
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>(size >> (8 * i));
    frame += request;
    bool ok = write(toChild[1], frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
    unsigned char header[4];
    std::string body;
    if (ok) ok = readAll(fromChild[0], reinterpret_cast<char *>(header), 4);
    if (ok) {
        body.resize(header[0] | header[1] << 8 | header[2] << 16 | std::uint32_t(header[3]) << 24);
        ok = readAll(fromChild[0], &body[0], body.size());
    }
    const auto end = std::chrono::steady_clock::now();

    close(toChild[1]); // end of input ends the host
    close(fromChild[0]);
    int status;
    waitpid(pid, &status, 0);
    if (!ok || body.find("2.3.9") == std::string::npos) return -1;
    return std::chrono::duration<double>(end - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s HOST BASELINE [RUNS] [LIMIT]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 3 ? std::atoi(argv[3]) : 50;
    const double limit = argc > 4 ? std::atof(argv[4]) : 1.2;
    std::vector<double> host, baseline;
    // A few unmeasured runs first, so that both programs are in the page cache.
    for (int i = 0; i < 3; ++i) {
        timeOneRun(argv[1]);
        timeOneRun(argv[2]);
    }
    for (int i = 0; i < runs; ++i) {
        const double h = timeOneRun(argv[1]);
        const double b = timeOneRun(argv[2]);
        if (h < 0 || b < 0) {
            std::fprintf(stderr, "a run failed to answer VERSION (%s)\n", h < 0 ? argv[1] : argv[2]);
            return 1;
        }
        host.push_back(h);
        baseline.push_back(b);
    }
    const double hostMedian = median(host);
    const double baselineMedian = median(baseline);
    const double ratio = hostMedian / baselineMedian;
    std::printf("host median %.3f ms, trivial program median %.3f ms, ratio %.3f (limit %.2f, %d runs)\n",
                hostMedian * 1e3, baselineMedian * 1e3, ratio, limit, runs);
    return ratio <= limit ? 0 : 1;
}
