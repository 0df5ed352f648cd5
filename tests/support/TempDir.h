#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

// A private directory under /tmp, removed with everything in it at the end.
// Its path is empty when it could not be made.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/vlm_test.XXXXXX";
        if (const char *made = mkdtemp(pattern)) {
            path_ = made;
        }
    }
    ~TempDir() {
        if (!path_.empty()) {
            std::filesystem::remove_all(path_);
        }
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};
