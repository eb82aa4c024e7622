// Skipped tests must say why, and only for what a machine may lack. A test that skips because
// its fixture broke (a disc that could not be made, a tool the test set-up installs) would
// otherwise pass a run unseen. Linked into every test program: at the end of the run, a skip
// whose message names none of the reasons below makes the program fail, listing the tests.
//
// The reasons a machine may lack a test's ground:
//   - a processor feature ("on this processor");
//   - a privilege the run does not have ("cannot mount");
//   - the sanitized builds' own limits ("a sanitized program").
// Set TOVAMIX_ALLOW_SKIPS=1 to run a program by hand on a machine without the test tools.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

namespace {

const std::regex& allowedReasons() {
    static const std::regex r("on this processor|cannot mount|a sanitized program",
                              std::regex::icase);
    return r;
}

class SkipReasons : public ::testing::EmptyTestEventListener {
  public:
    void OnTestEnd(const ::testing::TestInfo& info) override {
        const ::testing::TestResult* result = info.result();
        if (!result || !result->Skipped()) return;
        std::string reason;
        for (int i = 0; i < result->total_part_count(); ++i) {
            const ::testing::TestPartResult& part = result->GetTestPartResult(i);
            if (part.skipped() && part.message()) reason += part.message();
        }
        if (std::regex_search(reason, allowedReasons())) return;
        unexplained_.push_back(std::string(info.test_suite_name()) + "." + info.name() + ": " +
                               (reason.empty() ? "(no reason given)" : reason));
    }

    void OnTestProgramEnd(const ::testing::UnitTest&) override {
        if (unexplained_.empty()) return;
        if (const char* allow = std::getenv("TOVAMIX_ALLOW_SKIPS"); allow && *allow == '1') return;
        std::fprintf(stderr, "Skipped for a reason no machine of the test set-up should have:\n");
        for (const std::string& s : unexplained_)
            std::fprintf(stderr, "  %s\n", s.c_str());
        std::fflush(nullptr);
        // The run's result is already decided by gtest's main: end with a failure instead.
        std::_Exit(1);
    }

  private:
    std::vector<std::string> unexplained_;
};

[[maybe_unused]] const bool registered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new SkipReasons);
    return true;
}();

} // namespace
