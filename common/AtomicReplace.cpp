#include "AtomicReplace.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t kLetterCount = sizeof kLetters - 1;
constexpr std::size_t kSuffixLetters = 6;
// Names are drawn again when one exists; O_EXCL keeps the draw safe, the
// bound keeps a folder full of leftovers from looping for ever.
constexpr int kNameAttempts = 100;

std::uint32_t nextDraw(std::uint32_t &state) {
    // xorshift32: only collisions with files that exist matter here.
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

// Creates "name.XXXXXX" in dirFd; fills temporary with its name.
int createTemporary(int dirFd, const char *name, std::string &temporary) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::uint32_t state =
        (static_cast<std::uint32_t>(now.tv_nsec) ^ (static_cast<std::uint32_t>(getpid()) << 16) ^
         static_cast<std::uint32_t>(now.tv_sec)) |
        1U;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        temporary.assign(name);
        temporary += '.';
        for (std::size_t i = 0; i < kSuffixLetters; ++i) {
            temporary += kLetters[nextDraw(state) % kLetterCount];
        }
        const int fd = openat(dirFd, temporary.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

// The folder that holds path, opened once; name points at path's last part.
int openFolderOf(const char *path, const char *&name) {
    const char *slash = std::strrchr(path, '/');
    const std::string dir = slash == nullptr ? std::string(".")
                            : slash == path  ? std::string("/")
                                             : std::string(path, slash);
    name = slash == nullptr ? path : slash + 1;
    return open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

} // namespace

int writeAll(int fd, const void *bytes, std::size_t size) {
    const auto *next = static_cast<const unsigned char *>(bytes);
    while (size > 0) {
        const ssize_t put = write(fd, next, size);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0) {
            return errno;
        }
        if (put == 0) {
            return ENOSPC;
        }
        next += put;
        size -= static_cast<std::size_t>(put);
    }
    return 0;
}

int replaceFileAt(int dirFd, const char *name, mode_t mode, const ReplaceWriter &writer) {
    if (name == nullptr || name[0] == '\0' || std::strchr(name, '/') != nullptr) {
        return EINVAL;
    }
    std::string temporary;
    const int fd = createTemporary(dirFd, name, temporary);
    if (fd < 0) {
        return errno;
    }
    // Created 0600 and cut by the umask; the file gets what its readers expect.
    int error = fchmod(fd, mode) == 0 ? 0 : errno;
    if (error == 0) {
        error = writer(fd);
    }
    if (error == 0 && fsync(fd) != 0) {
        error = errno;
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && renameat(dirFd, temporary.c_str(), dirFd, name) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlinkat(dirFd, temporary.c_str(), 0);
    }
    return error;
}

int replaceFile(const char *path, mode_t mode, const ReplaceWriter &writer) {
    if (path == nullptr || path[0] == '\0') {
        return ENOENT;
    }
    const char *name = nullptr;
    const int dirFd = openFolderOf(path, name);
    if (dirFd < 0) {
        return errno;
    }
    const int error = replaceFileAt(dirFd, name, mode, writer);
    close(dirFd);
    return error;
}

int replaceFile(const char *path, mode_t mode, const void *bytes, std::size_t size) {
    return replaceFile(path, mode, [bytes, size](int fd) { return writeAll(fd, bytes, size); });
}

bool isReplaceTemporary(std::string_view name, std::string_view target) {
    if (name.size() != target.size() + 1 + kSuffixLetters || !name.starts_with(target) ||
        name[target.size()] != '.') {
        return false;
    }
    for (const char c : name.substr(target.size() + 1)) {
        if (std::memchr(kLetters, c, kLetterCount) == nullptr) {
            return false;
        }
    }
    return true;
}

void removeReplaceTemporaries(const char *path) {
    const char *name = nullptr;
    const int dirFd = openFolderOf(path, name);
    if (dirFd < 0) {
        return;
    }
    DIR *folder = fdopendir(dirFd);
    if (folder == nullptr) {
        close(dirFd);
        return;
    }
    while (const dirent *entry = readdir(folder)) {
        if (isReplaceTemporary(entry->d_name, name)) {
            unlinkat(dirFd, entry->d_name, 0);
        }
    }
    closedir(folder);
}
