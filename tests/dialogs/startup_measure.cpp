// Measures how long a native-messaging host takes from being spawned until its
// VERSION response has arrived, and its resident memory while it then waits
// for the next request, for the shipped host and for a trivial program,
// alternating runs so that both see the same machine load. Prints the medians
// and their ratios beside the goal; the figures are never judged, since a
// shared machine's timings are no test.
//   startup-measure HOST BASELINE [RUNS] [TIME GOAL] [MEMORY GOAL]
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

// Resident memory of a process in KiB, from /proc; 0 when unreadable.
long residentKiB(pid_t pid)
{
    std::FILE *status = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (!status) return 0;
    long kib = 0;
    char line[256];
    while (std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "VmRSS: %ld kB", &kib) == 1) break;
    std::fclose(status);
    return kib;
}

struct Run {
    double seconds = -1; // spawn to the complete first response frame; negative on error
    long idleKiB = 0;    // resident memory once the response has arrived
};

Run oneRun(const char *program)
{
    static const std::string request =
        R"({"type":"VERSION","nonce":"1","origin":"https://startup.example"})";
    int toChild[2], fromChild[2];
    if (pipe(toChild) || pipe(fromChild)) return {};

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
    if (spawned != 0) return {};

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
    Run run;
    run.idleKiB = ok ? residentKiB(pid) : 0;

    close(toChild[1]); // end of input ends the host
    close(fromChild[0]);
    int status;
    waitpid(pid, &status, 0);
    if (!ok || body.find("2.3.9") == std::string::npos) return {};
    run.seconds = std::chrono::duration<double>(end - start).count();
    return run;
}

template <typename T> T median(std::vector<T> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s HOST BASELINE [RUNS] [TIME GOAL] [MEMORY GOAL]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 50;
    const double timeGoal = argc > 4 ? std::atof(argv[4]) : 1.2;
    const double memoryGoal = argc > 5 ? std::atof(argv[5]) : 1.5;
    std::vector<double> hostTime, baselineTime;
    std::vector<long> hostMemory, baselineMemory;
    // A few unmeasured runs first, so that both programs are in the page cache.
    for (int i = 0; i < 3; ++i) {
        oneRun(argv[1]);
        oneRun(argv[2]);
    }
    for (int i = 0; i < runs; ++i) {
        const Run h = oneRun(argv[1]);
        const Run b = oneRun(argv[2]);
        if (h.seconds < 0 || b.seconds < 0) {
            std::fprintf(stderr, "a run failed to answer VERSION (%s)\n", h.seconds < 0 ? argv[1] : argv[2]);
            return 1;
        }
        hostTime.push_back(h.seconds);
        baselineTime.push_back(b.seconds);
        hostMemory.push_back(h.idleKiB);
        baselineMemory.push_back(b.idleKiB);
    }
    const double hostSeconds = median(hostTime), baselineSeconds = median(baselineTime);
    const long hostKiB = median(hostMemory), baselineKiB = median(baselineMemory);
    std::printf("start-up: host %.3f ms, trivial program %.3f ms, ratio %.3f (goal: at most %.2f; medians of %d runs)\n",
                hostSeconds * 1e3, baselineSeconds * 1e3, hostSeconds / baselineSeconds, timeGoal, runs);
    std::printf("idle memory: host %ld KiB, trivial program %ld KiB, ratio %.3f (goal: at most %.2f)\n",
                hostKiB, baselineKiB, baselineKiB ? double(hostKiB) / double(baselineKiB) : 0.0, memoryGoal);
    return 0;
}
