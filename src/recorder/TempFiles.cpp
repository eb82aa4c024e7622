#include "TempFiles.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace recorder {

namespace {

// The shared temporary folder the user's own folder goes into.
std::string baseFolder() {
    std::error_code ec;
    std::string dir = std::filesystem::temp_directory_path(ec).string();
    if (ec || dir.empty()) dir = "/tmp";
    // The platform keeps paths to 260 characters; room is left for our folder and file name.
    if (dir.size() > 260 - 32) dir = "/tmp";
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

[[noreturn]] void refuse(const std::string& folder, const std::string& why) {
    throw std::runtime_error("Cannot use the folder for temporary recordings \"" + folder +
                             "\": " + why);
}

std::string tempFile(const char* name) {
    return temporaryFolder() + "/" + name;
}

} // namespace

std::string temporaryFolder() {
    const uid_t uid = ::geteuid();
    const std::string folder = baseFolder() + "/tovamix-" + std::to_string(uid);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) refuse(folder, std::strerror(errno));
    // lstat, not stat: a symbolic link planted at our name is refused, not followed.
    struct stat st;
    if (::lstat(folder.c_str(), &st) != 0) refuse(folder, std::strerror(errno));
    if (S_ISLNK(st.st_mode)) refuse(folder, "it is a symbolic link");
    if (!S_ISDIR(st.st_mode)) refuse(folder, "it is not a folder");
    if (st.st_uid != uid)
        refuse(folder, "it belongs to another user (uid " + std::to_string(st.st_uid) + ")");
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        refuse(folder, std::string("other users can write into it (mode ") + mode + ")");
    }
    return folder;
}

std::string videoTempPath() {
    return tempFile("VideoTemp.avi");
}

std::string audioTempPath() {
    return tempFile("AudioTemp.avi");
}

std::unique_ptr<RecordingLock> RecordingLock::acquire(std::string* why) {
    std::string path;
    try {
        path = tempFile("recording.lock");
    } catch (const std::exception& e) {
        if (why) *why = e.what();
        return nullptr;
    }
    // O_NOFOLLOW: the folder is ours alone, but a link there is still never followed.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (why) *why = "cannot open \"" + path + "\": " + std::strerror(errno);
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char text[32] = {};
        const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
        const long holder = n > 0 ? std::strtol(text, nullptr, 10) : 0;
        ::close(fd);
        if (why)
            *why = holder > 0
                       ? "another recording is running (process " + std::to_string(holder) + ")"
                       : std::string("another recording is running");
        return nullptr;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.data(), pid.size(), 0) < 0) {
        // The lock holds without the number; a second start then names no process.
    }
    return std::unique_ptr<RecordingLock>(new RecordingLock(fd));
}

RecordingLock::~RecordingLock() {
    ::close(fd_); // releases the lock
}

void writeManifest(const RecordingManifest& m) {
    const std::string path = tempFile("Recording.txt");
    const std::string temp = path + ".new";
    {
        std::ofstream out(temp, std::ios::trunc);
        out << "started_ms=" << m.startedMs << "\n"
            << "voice=" << (m.voice ? 1 : 0) << "\n"
            << "interval_ms=" << m.intervalMs << "\n"
            << "pid=" << m.pid << "\n"
            << "finished=" << (m.finished ? 1 : 0) << "\n"
            << "saved=" << (m.saved ? 1 : 0) << "\n"
            << "declined=" << (m.declined ? 1 : 0) << "\n";
        if (!out) return; // a recording goes on without its manifest
    }
    std::error_code ec;
    std::filesystem::rename(temp, path, ec);
}

std::optional<RecordingManifest> readManifest() {
    std::ifstream in(tempFile("Recording.txt"));
    if (!in) return std::nullopt;
    RecordingManifest m;
    bool started = false;
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const long long v = std::strtoll(line.c_str() + eq + 1, nullptr, 10);
        if (key == "started_ms") {
            m.startedMs = v;
            started = v > 0;
        } else if (key == "voice") {
            m.voice = v != 0;
        } else if (key == "interval_ms") {
            m.intervalMs = int(v);
        } else if (key == "pid") {
            m.pid = pid_t(v);
        } else if (key == "finished") {
            m.finished = v != 0;
        } else if (key == "saved") {
            m.saved = v != 0;
        } else if (key == "declined") {
            m.declined = v != 0;
        }
    }
    if (!started) return std::nullopt;
    return m;
}

} // namespace recorder
