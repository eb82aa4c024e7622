// The command line that runs the tovamix-cli built with the tests (TOVAMIX_CLI, given to each
// CLI test program by the build) with args.
#pragma once

#include <string>

inline std::string cli(const std::string& args) {
    return std::string(TOVAMIX_CLI) + " " + args;
}
