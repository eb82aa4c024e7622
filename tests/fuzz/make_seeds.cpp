// Writes the seeds that only the program's own writers make: saved DVD places (title, chapter,
// time) as the bookmark stream holds them, and whole bookmark files around them.
//   fuzz_make_seeds SEED_DIR   (fills SEED_DIR/dvd_state and SEED_DIR/bookmark_file)
#include "platform/dshow/dvd/DvdImpl.h"
#include "platform/storage/CompoundFile.h"

#include <filesystem>
#include <fstream>
#include <iostream>

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    using namespace platform::dshow;
    if (argc != 2) {
        std::cerr << "usage: fuzz_make_seeds SEED_DIR\n";
        return 2;
    }
    const fs::path dir = argv[1];
    fs::create_directories(dir / "dvd_state");
    fs::create_directories(dir / "bookmark_file");
    struct Place {
        uint32_t title, chapter;
        int64_t time;
    };
    const Place places[] = {{1, 1, 0}, {2, 3, 123'456'789}, {99, 999, int64_t(1) << 40}};
    int n = 0;
    for (const Place& p : places) {
        DvdDiscId disc{};
        for (size_t i = 0; i < disc.size(); ++i)
            disc[i] = uint8_t(17 * i + n);
        DvdState state(disc, p.title, p.chapter, p.time);
        std::string bytes;
        state.Save(&bytes);
        const std::string name = "place" + std::to_string(++n);
        std::ofstream(dir / "dvd_state" / name, std::ios::binary) << bytes;
        const std::string error = platform::storage::writeCompoundStream(
            (dir / "bookmark_file" / name).string(), "BookMark", bytes);
        if (!error.empty()) {
            std::cerr << error << "\n";
            return 1;
        }
    }
    return 0;
}
