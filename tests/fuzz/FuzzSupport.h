// What the fuzz targets share: a scratch folder of this process for the readers that take a
// file name, and the writing of an input into it. Built both into the libFuzzer programs and
// into the suite's replay of the inputs kept in regressions/. One thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fuzzsupport {

// A folder of this process under the temporary folder, removed when the process ends.
inline const std::filesystem::path& scratchDir() {
    struct Dir {
        std::filesystem::path path;
        Dir() {
            std::string pattern =
                (std::filesystem::temp_directory_path() / "tovamix-fuzz.XXXXXX").string();
            if (!mkdtemp(pattern.data())) std::abort();
            path = pattern;
        }
        ~Dir() {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    };
    static const Dir dir;
    return dir.path;
}

// Writes the bytes to path (replacing what was there); aborts when it cannot, since a target
// that silently reads nothing would find nothing.
inline void writeFile(const std::filesystem::path& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    if (!out.flush()) std::abort();
}

// The bytes as a file named name in the scratch folder; its path.
inline std::string scratchFile(const std::string& name, const uint8_t* data, size_t size) {
    const std::filesystem::path path = scratchDir() / name;
    writeFile(path, data, size);
    return path.string();
}

} // namespace fuzzsupport
