// A bridge port that behaves as the DHCP service does: it opens the device
// for reading and writing, attaches with the 22-byte record, and reads in a
// blocking loop with a SIGHUP handler installed with SA_SIGINFO and without
// SA_RESTART, so a signal interrupts the read.
//
//   bridge_client DEVICE NAME MAC [--read-size N]
//
// Reports on stdout, one line each:
//   attached | attach-error ERRNO   after the attach request
//   ready                           the handler is installed, reads begin
//   frame LEN HEX                   one read that returned LEN bytes
//   eintr MICROSECONDS              a read interrupted; time since the handler ran
//   read-error ERRNO                a read failed otherwise; the client exits 3
// Takes on stdin:  send HEX  (one write)  ->  sent N | send-error ERRNO
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iostream>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr unsigned long kAttachRequest = 0x40166E10;
constexpr std::size_t kRecordSize = 22, kNameSize = 16, kAddressOffset = 16;

volatile std::sig_atomic_t hangups = 0;
timespec hangupAt{};
std::mutex outputLock;

void onHangup(int, siginfo_t *, void *) {
    clock_gettime(CLOCK_MONOTONIC, &hangupAt);
    hangups = hangups + 1;
}

void report(const std::string &line) {
    std::lock_guard<std::mutex> guard(outputLock);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string hex(const unsigned char *data, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

std::vector<unsigned char> unhex(const std::string &text) {
    std::vector<unsigned char> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

void writer(int fd) {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.rfind("send ", 0) != 0) {
            continue;
        }
        const std::vector<unsigned char> frame = unhex(line.substr(5));
        const ssize_t n = write(fd, frame.data(), frame.size());
        report(n < 0 ? "send-error " + std::to_string(errno) : "sent " + std::to_string(n));
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: bridge_client DEVICE NAME MAC [--read-size N]\n");
        return 2;
    }
    std::size_t readSize = 2048;
    if (argc >= 6 && std::strcmp(argv[4], "--read-size") == 0) {
        readSize = std::strtoul(argv[5], nullptr, 10);
    }

    const int fd = open(argv[1], O_RDWR);
    if (fd < 0) {
        report("open-error " + std::to_string(errno));
        return 1;
    }
    unsigned char record[kRecordSize] = {};
    std::strncpy(reinterpret_cast<char *>(record), argv[2], kNameSize);
    record[kNameSize - 1] = 0;
    unsigned int mac[6];
    if (std::sscanf(argv[3], "%x:%x:%x:%x:%x:%x", &mac[0], &mac[1], &mac[2], &mac[3], &mac[4],
                    &mac[5]) != 6) {
        return 2;
    }
    for (int i = 0; i < 6; ++i) {
        record[kAddressOffset + static_cast<std::size_t>(i)] = static_cast<unsigned char>(mac[i]);
    }
    if (ioctl(fd, kAttachRequest, record) < 0) {
        report("attach-error " + std::to_string(errno));
        return 1;
    }
    report("attached");

    struct sigaction action {};
    action.sa_sigaction = onHangup;
    action.sa_flags = SA_SIGINFO; // no SA_RESTART: the read must come back
    sigemptyset(&action.sa_mask);
    sigaction(SIGHUP, &action, nullptr);

    // Signals belong to the reading thread, as in the single-threaded
    // service: the writer starts with SIGHUP blocked, inherited from here,
    // so that no SIGHUP can reach it before it would block the signal itself.
    sigset_t hangup;
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &hangup, nullptr);
    std::thread(writer, fd).detach();
    pthread_sigmask(SIG_UNBLOCK, &hangup, nullptr);
    report("ready");

    std::vector<unsigned char> buffer(readSize);
    for (;;) {
        const ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n >= 0) {
            report("frame " + std::to_string(n) + " " +
                   hex(buffer.data(), static_cast<std::size_t>(n)));
        } else if (errno == EINTR) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const long long micros = (now.tv_sec - hangupAt.tv_sec) * 1000000LL +
                                     (now.tv_nsec - hangupAt.tv_nsec) / 1000;
            report("eintr " + std::to_string(micros));
        } else {
            report("read-error " + std::to_string(errno));
            return 3;
        }
    }
}
