// A SIGHUP is served without waiting for a frame, wherever it lands in the
// main loop: before the first read, during a renewal, or after the loop's
// last look at the renew bit but before its read blocks; so is a SIGHUP or a
// SIGUSR1 that lands while a request's wake-up timer is being stopped. The loop runs in a
// forked child over one end of a socketpair (the bridge port's test seam);
// the child's log lines come back through a pipe.
#include "CPhysProto.h"
#include "Log.h"
#include "RenewFile.h"
#include "Service.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string kRenewing = "Velmarind DHCP server for virtual NIC renewing scope.";
const std::string kReady = "ready";
// Snapshots go to a folder that does not exist: each one served logs this.
const char *const kSnapshotPath = "/nonexistent/vnic0.leases";
const std::string kSnapshotFailed =
    "Velmarind DHCP server for virtual NIC couldn't write lease "
    "snapshot /nonexistent/vnic0.leases: No such file or directory.";
// No frame follows a request unless a case sends one, so a request left for
// the next frame is never served at all: the bound only ends a failing run,
// and is wide because a busy machine may keep the child off the CPU for long.
constexpr int kServedWithinMs = 10000;

// Set in the child only.
int gNotes = -1;           // where the child's log lines go
int gRaiseOnRenewals = 0;  // raise SIGHUP from inside this many renewals
int gRaiseBeforeReads = 0; // raise SIGHUP just before this many bridge reads
int gBridgeFd = -1;
int gRaiseInWakeStops = 0; // raise this signal from inside the next stop of the wake-up timer
int gWakeStopSignal = 0;

void note(const std::string &line) {
    const std::string text = line + "\n";
    if (write(gNotes, text.data(), text.size()) < 0) {
        _exit(3);
    }
}

void noteSink(int /*priority*/, const char *message) {
    note(message);
    if (message == kRenewing && gRaiseOnRenewals > 0) {
        --gRaiseOnRenewals;
        raise(SIGHUP);
    }
}

} // namespace

// Interposes the C library's read for this test program. When armed (in the
// child), a bridge read first raises SIGHUP: the signal lands after the loop
// looked at the renew bit and before the blocking read begins, the narrowest
// window there is.
extern "C" ssize_t read(int fd, void *buffer, size_t count) {
    if (fd == gBridgeFd && gRaiseBeforeReads > 0) {
        --gRaiseBeforeReads;
        raise(SIGHUP);
    }
    return static_cast<ssize_t>(syscall(SYS_read, fd, buffer, count));
}

// Interposes timer_settime the same way. When armed, a call that stops the
// wake-up timer first raises a signal: it lands after the loop cleared a
// request's bit and before the timer that the signal starts is stopped.
extern "C" int timer_settime(timer_t timer, int flags, const itimerspec *value, itimerspec *old) {
    using Real = int (*)(timer_t, int, const itimerspec *, itimerspec *);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "timer_settime"));
    if (gRaiseInWakeStops > 0 && value != nullptr && value->it_value.tv_sec == 0 &&
        value->it_value.tv_nsec == 0) {
        --gRaiseInWakeStops;
        raise(gWakeStopSignal);
    }
    return real(timer, flags, value, old);
}

namespace {

struct Plan {
    bool raiseBeforeLoop = false;
    int raiseOnRenewals = 0;
    int raiseBeforeReads = 0;
    int requestBeforeLoop = 0; // a signal raised before the loop starts
    int raiseInWakeStop = 0;   // a signal raised inside the first stop of the timer
};

// The service's main loop in a child process; the parent holds the other end
// of the bridge and reads the child's log lines.
class LoopChild {
public:
    LoopChild(const Plan &plan) {
        char templ[] = "/tmp/wakeupXXXXXX";
        if (mkdtemp(templ) == nullptr) {
            ADD_FAILURE() << "mkdtemp";
            return;
        }
        dir_ = templ;
        path_ = dir_ + "/renew";
        record_.scopeStart = 0x0A258101;
        record_.scopeEnd = 0x0A2581FE;
        record_.scopeMask = 0xFFFFFF00;
        // The file holds the current scope: a renewal logs one line and
        // touches no adapter.
        writeRenewFile(path_.c_str(), record_);
        int pair[2];
        int notes[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0 || pipe(notes) != 0) {
            ADD_FAILURE() << "socketpair/pipe";
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(pair[0]);
            close(notes[0]);
            runChild(plan, pair[1], notes[1]);
        }
        close(pair[1]);
        close(notes[1]);
        bridge_ = pair[0];
        notes_ = notes[0];
    }

    ~LoopChild() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(bridge_);
        close(notes_);
        unlink(path_.c_str());
        rmdir(dir_.c_str());
    }

    LoopChild(const LoopChild &) = delete;
    LoopChild &operator=(const LoopChild &) = delete;

    // The next log line, or "" when none came within the time.
    std::string nextLine(int ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const std::size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd fd{notes_, POLLIN, 0};
            if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
                return "";
            }
            char chunk[512];
            const ssize_t got = ::read(notes_, chunk, sizeof chunk);
            if (got <= 0) {
                return "";
            }
            pending_.append(chunk, static_cast<std::size_t>(got));
        }
    }

    void sighup() const { kill(pid_, SIGHUP); }

    // Until the child sleeps: after its "ready" line only the bridge read
    // can put it to sleep.
    bool waitAsleep(int ms) const {
        const std::string stat = "/proc/" + std::to_string(pid_) + "/stat";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < deadline) {
            char text[512] = {};
            const int fd = open(stat.c_str(), O_RDONLY);
            const ssize_t got = fd < 0 ? -1 : ::read(fd, text, sizeof text - 1);
            close(fd);
            const char *state = got > 0 ? std::strrchr(text, ')') : nullptr;
            if (state != nullptr && state[1] == ' ' && state[2] == 'S') {
                return true;
            }
            usleep(1000);
        }
        return false;
    }

    // A frame the stack drops without a word: an EtherType nobody serves.
    void sendFrame() const {
        std::uint8_t frame[60] = {};
        std::memset(frame, 0xff, 6);
        frame[12] = 0x88;
        frame[13] = 0xb5;
        EXPECT_EQ(send(bridge_, frame, sizeof frame, 0), static_cast<ssize_t>(sizeof frame));
    }

private:
    [[noreturn]] void runChild(const Plan &plan, int bridgeFd, int notesFd) {
        gNotes = notesFd;
        setLogSink(&noteSink);
        installSighupHandler();
        installSnapshotHandler();
        CPhysProto phys(CPhysProto::AdoptDescriptor{bridgeFd});
        const ServiceLayers layers =
            buildServiceLayers(&phys, record_.scopeStart, record_.scopeEnd, record_.scopeMask);
        ServiceScope current{record_.scopeStart, record_.scopeEnd, record_.scopeMask};
        gRaiseOnRenewals = plan.raiseOnRenewals;
        gRaiseBeforeReads = plan.raiseBeforeReads;
        gBridgeFd = bridgeFd;
        note(kReady);
        if (plan.raiseInWakeStop != 0) {
            gWakeStopSignal = plan.raiseInWakeStop;
            gRaiseInWakeStops = 1;
        }
        if (plan.raiseBeforeLoop) {
            raise(SIGHUP);
        }
        if (plan.requestBeforeLoop != 0) {
            raise(plan.requestBeforeLoop);
        }
        runMainLoop(ServiceStack{&phys, layers}, path_.c_str(), record_, current,
                    SnapshotTarget{kSnapshotPath, "vnic0"});
        _exit(0);
    }

    std::string dir_;
    std::string path_;
    ScopeRenewRecord record_{};
    std::string pending_;
    pid_t pid_ = -1;
    int bridge_ = -1;
    int notes_ = -1;
};

TEST(RenewalWakeup, SighupIsServedWithoutAFrameWhereverItLands) {
    struct Case {
        const char *where;
        Plan plan;
        bool parentSends; // one SIGHUP from outside once the child sleeps in its read
        int renewals;
    };
    const Case cases[] = {
        {"before the first read", {.raiseBeforeLoop = true}, false, 1},
        {"during a renewal", {.raiseOnRenewals = 5}, true, 6},
        {"after the last look, before the read blocks", {.raiseBeforeReads = 5}, false, 5},
        {"while the read is blocked", {}, true, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.where);
        LoopChild child(c.plan);
        ASSERT_EQ(child.nextLine(10000), kReady);
        if (c.parentSends) {
            ASSERT_TRUE(child.waitAsleep(10000));
            child.sighup();
        }
        for (int i = 0; i < c.renewals; ++i) {
            const std::string line = child.nextLine(kServedWithinMs);
            EXPECT_EQ(line, kRenewing) << "renewal " << i + 1;
            if (line != kRenewing) {
                break; // the others are as lost; go on with the next case
            }
        }
    }
}

// A request that lands while the timer of the one just served is stopped:
// the stop must not cancel the timer that the new request started, or the
// new one waits for a frame.
TEST(RenewalWakeup, RequestDuringTheTimersStopIsServedWithoutAFrame) {
    struct Case {
        const char *what;
        int first;
        int during;
        std::vector<std::string> served;
    };
    const Case cases[] = {
        {"SIGHUP while a snapshot stops the timer", SIGUSR1, SIGHUP, {kSnapshotFailed, kRenewing}},
        {"SIGUSR1 while a snapshot stops the timer",
         SIGUSR1,
         SIGUSR1,
         {kSnapshotFailed, kSnapshotFailed}},
        {"SIGUSR1 while a renewal stops the timer", SIGHUP, SIGUSR1, {kRenewing, kSnapshotFailed}},
        {"SIGHUP while a renewal stops the timer", SIGHUP, SIGHUP, {kRenewing, kRenewing}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        LoopChild child(Plan{.requestBeforeLoop = c.first, .raiseInWakeStop = c.during});
        ASSERT_EQ(child.nextLine(10000), kReady);
        for (const std::string &expected : c.served) {
            EXPECT_EQ(child.nextLine(kServedWithinMs), expected);
        }
    }
}

// SIGHUPs at random moments while frames flow: every one is served and none
// is merged into another (each is sent only once the previous renewal has
// begun, that is after the loop cleared the bit).
TEST(RenewalWakeup, EverySighupAmongFramesIsServed) {
    LoopChild child(Plan{});
    ASSERT_EQ(child.nextLine(10000), kReady);
    std::mt19937 random(20240613);
    for (int i = 0; i < 300; ++i) {
        const unsigned pick = random() % 4;
        if (pick == 1 || pick == 3) {
            child.sendFrame();
        }
        // A few microseconds to a few hundred: the signal meets the loop in
        // the frame's handling, between passes or in the blocked read.
        const auto spin =
            std::chrono::steady_clock::now() + std::chrono::microseconds(random() % 300);
        while (std::chrono::steady_clock::now() < spin) {
        }
        child.sighup();
        if (pick == 2 || pick == 3) {
            child.sendFrame();
        }
        ASSERT_EQ(child.nextLine(kServedWithinMs), kRenewing) << "SIGHUP " << i + 1;
    }
}

} // namespace
