// What the benchmarks share: running a child program with its CPU time or its wall time
// measured.
#pragma once

#include "support/TestSupport.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

inline double cpuMs(const rusage& r) {
    return (double(r.ru_utime.tv_sec) + double(r.ru_stime.tv_sec)) * 1000.0 +
           (double(r.ru_utime.tv_usec) + double(r.ru_stime.tv_usec)) / 1000.0;
}

// Starts argv with its standard output (and with bothOutputs its standard error too) on outFd
// (when not negative).
inline pid_t spawn(const std::vector<std::string>& argv, int outFd, bool bothOutputs = false) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (outFd >= 0) dup2(outFd, 1);
        if (outFd >= 0 && bothOutputs) dup2(outFd, 2);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// Reads fd to its end and closes it.
inline std::string readAndClose(int fd) {
    std::string all;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        all.append(buf, size_t(n));
    close(fd);
    return all;
}

struct Usage {
    int exitCode = -1;
    double cpuMs = 0;
    std::string out;
};

// Runs argv to its end, capturing standard output; its CPU time (user + system, with anything
// it waited for) is the growth of this process's reaped-children usage across the wait.
inline Usage measure(const std::vector<std::string>& argv) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    rusage before{};
    getrusage(RUSAGE_CHILDREN, &before);
    const pid_t pid = spawn(argv, fds[1]);
    close(fds[1]);
    Usage u;
    u.out = readAndClose(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    rusage after{};
    getrusage(RUSAGE_CHILDREN, &after);
    u.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    u.cpuMs = cpuMs(after) - cpuMs(before);
    return u;
}

// Wall seconds of a shell command run to its end; *ok tells whether it succeeded (a failure is
// shown with its standard error).
inline double timedRun(const std::string& command, bool* ok) {
    const auto t0 = std::chrono::steady_clock::now();
    const testsupport::CommandResult r = testsupport::run(command);
    const double seconds =
        testsupport::milliseconds(std::chrono::steady_clock::now() - t0) / 1000.0;
    *ok = r.exitCode == 0;
    if (!*ok) std::fprintf(stderr, "failed: %s\n%s\n", command.c_str(), r.err.c_str());
    return seconds;
}

} // namespace bench
