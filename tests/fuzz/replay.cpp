// Feeds every input kept in regressions/<target>/ (inputs that once made a fuzz target crash,
// hang or report) through that target's entry, as the libFuzzer program ran it. A fault that
// comes back aborts this program, which fails the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#define TOVAMIX_FUZZ_TARGET(name) extern "C" int tovamixFuzz_##name(const uint8_t*, size_t);
#include "FuzzTargets.inc"
#undef TOVAMIX_FUZZ_TARGET

namespace {

namespace fs = std::filesystem;

struct Target {
    const char* name;
    int (*entry)(const uint8_t*, size_t);
};

#define TOVAMIX_FUZZ_TARGET(name) {#name, tovamixFuzz_##name},
const Target Targets[] = {
#include "FuzzTargets.inc"
};
#undef TOVAMIX_FUZZ_TARGET

std::vector<uint8_t> readBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Test names and messages show the target's name.
void PrintTo(const Target& target, std::ostream* os) {
    *os << target.name;
}

class FuzzReplay : public testing::TestWithParam<Target> {};

TEST_P(FuzzReplay, KeptInputsAreReadSafely) {
    const Target& target = GetParam();
    // The smallest inputs first, as libFuzzer starts: nothing, and a byte.
    const uint8_t zero = 0;
    EXPECT_EQ(target.entry(&zero, 0), 0);
    EXPECT_EQ(target.entry(&zero, 1), 0);
    const fs::path dir = fs::path(TOVAMIX_FUZZ_REGRESSIONS) / target.name;
    std::error_code ec;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        const std::vector<uint8_t> bytes = readBytes(file);
        EXPECT_EQ(target.entry(bytes.empty() ? &zero : bytes.data(), bytes.size()), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, testing::ValuesIn(Targets),
                         [](const testing::TestParamInfo<Target>& info) {
                             return std::string(info.param.name);
                         });

// A folder of kept inputs whose target is gone (or misspelt) would be replayed by nothing.
TEST(FuzzRegressions, EveryFolderNamesATarget) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(TOVAMIX_FUZZ_REGRESSIONS, ec)) {
        if (!entry.is_directory()) continue;
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(std::any_of(std::begin(Targets), std::end(Targets), [&](const Target& t) {
            return name == t.name;
        })) << name;
    }
}

} // namespace
