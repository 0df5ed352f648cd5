#include "ServiceLock.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t kLockFileMode = 0600;
// A file removed between the open and the lock is opened again; two removals
// in a row mean a service ends while another starts, and one more try does.
constexpr int kLockAttempts = 3;

} // namespace

bool buildLockPath(char (&path)[kRenewPathSize], const char *device, const char *dir) {
    const int needed = std::snprintf(path, sizeof path, kLockFilePattern, dir, device);
    if (needed < 0 || static_cast<std::size_t>(needed) >= sizeof path) {
        path[0] = '\0';
        return false;
    }
    return true;
}

int takeServiceLock(const char *path) {
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        const int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kLockFileMode);
        if (fd < 0) {
            return -1;
        }
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET; // the whole file
        if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
            const int error = errno;
            close(fd);
            if (error == EAGAIN || error == EACCES) {
                return kServiceLockHeld;
            }
            errno = error;
            return -1;
        }
        // The lock counts only if the name still leads to the locked file.
        struct stat held {};
        struct stat named {};
        if (fstat(fd, &held) == 0 && stat(path, &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino) {
            return fd;
        }
        close(fd);
    }
    errno = EAGAIN;
    return -1;
}

void releaseServiceLock(const char *path, int fd) {
    if (fd < 0) {
        return;
    }
    unlink(path);
    close(fd);
}
