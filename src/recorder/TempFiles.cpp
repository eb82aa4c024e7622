#include "TempFiles.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
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

} // namespace recorder
