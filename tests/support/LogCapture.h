#pragma once

// Collects what the code under test logs, with its syslog priority.
#include "Log.h"

#include <string>
#include <utility>
#include <vector>

class LogCapture {
public:
    LogCapture() {
        previous_ = setLogSink(&LogCapture::sink);
        lines().clear();
    }
    ~LogCapture() { setLogSink(previous_); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    static std::vector<std::pair<int, std::string>> &lines() {
        static std::vector<std::pair<int, std::string>> captured;
        return captured;
    }

private:
    static void sink(int priority, const char *message) { lines().emplace_back(priority, message); }
    LogSink previous_;
};
