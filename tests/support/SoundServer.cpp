#include "SoundServer.h"

#include "TestSupport.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace testsupport {

SoundServer::SoundServer(const std::string& name, const std::vector<std::string>& modules) {
    dir_ = scratchDir(name + "-" + std::to_string(getpid()));
    std::vector<std::string> args = {"pulseaudio",
                                     "-n",
                                     "--daemonize=no",
                                     "--exit-idle-time=-1",
                                     "--disallow-exit",
                                     "--use-pid-file=no",
                                     "-L",
                                     "module-native-protocol-unix socket=" + dir_ +
                                         "/native auth-anonymous=1"};
    for (const std::string& m : modules) {
        args.push_back("-L");
        args.push_back(m);
    }
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envs = {"PULSE_RUNTIME_PATH=" + dir_, "HOME=" + dir_};
    std::vector<char*> envp;
    for (std::string& e : envs)
        envp.push_back(e.data());
    for (char** e = environ; *e; ++e)
        envp.push_back(*e);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int spawned =
        posix_spawnp(&pid_, "pulseaudio", &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!pactl("info >/dev/null")) {
        if (std::chrono::steady_clock::now() > deadline) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // between polls
    }
    ok_ = true;
}

SoundServer::~SoundServer() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

bool SoundServer::pactl(const std::string& args) const {
    return run("PULSE_SERVER=" + server() + " pactl " + args).exitCode == 0;
}

} // namespace testsupport
