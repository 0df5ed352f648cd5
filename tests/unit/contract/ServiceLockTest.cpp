// The claim on a host adapter: held while its holder lives, whatever way the
// holder ends, and by one holder at a time.
#include "ServiceLock.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class ServiceLock : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vlm_lock_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = std::string(pattern) + "/";
        ASSERT_TRUE(buildLockPath(path, "vnic0", dir.c_str()));
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string dir;
    char path[kRenewPathSize]{};
};

TEST_F(ServiceLock, OneHolderAtATimeUntilItEnds) {
    EXPECT_EQ(std::string(path), dir + ".dhcp-lock.vnic0");
    // A holder in another process, as the service is for its start-up.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        const int fd = takeServiceLock(path);
        (void)!write(ready[1], fd >= 0 ? "y" : "n", 1);
        pause();
        _exit(0);
    }
    char took = 0;
    ASSERT_EQ(read(ready[0], &took, 1), 1);
    ASSERT_EQ(took, 'y');
    struct stat st {};
    ASSERT_EQ(stat(path, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(takeServiceLock(path), kServiceLockHeld);

    // Killed: its file stays, its claim does not.
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    const int fd = takeServiceLock(path);
    ASSERT_GE(fd, 0);
    // Descriptions are the owners: another open in the same process is refused too.
    EXPECT_EQ(takeServiceLock(path), kServiceLockHeld);
    releaseServiceLock(path, fd);
    EXPECT_NE(access(path, F_OK), 0);
    const int again = takeServiceLock(path);
    EXPECT_GE(again, 0);
    releaseServiceLock(path, again);
    close(ready[0]);
    close(ready[1]);
}

TEST_F(ServiceLock, NoFolderNoLock) {
    char missing[kRenewPathSize];
    ASSERT_TRUE(buildLockPath(missing, "vnic0", (dir + "absent/").c_str()));
    EXPECT_EQ(takeServiceLock(missing), -1);
    EXPECT_EQ(errno, ENOENT);
    const std::string tooLong(kRenewPathSize, 'x');
    EXPECT_FALSE(buildLockPath(missing, tooLong.c_str()));
    EXPECT_STREQ(missing, "");
}

} // namespace
