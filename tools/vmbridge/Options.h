#pragma once

#include "BridgeAttach.h"

#include <cstddef>
#include <string>
#include <vector>

namespace vmbridge {

struct Options {
    std::string path = bridge::kDevicePath;
    std::size_t portLimit = 32;
    std::size_t queueLimit = 256;
    std::vector<std::string> taps;
    std::string pcapPath;
    int readyFd = -1;
    bool help = false;
};

// Parses the command line; prints usage and returns false on a bad one.
bool parseOptions(int argc, char **argv, Options &options);

} // namespace vmbridge
