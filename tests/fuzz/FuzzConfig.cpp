// Bytes as a configuration file: Read (the file path with its size limit),
// the start-up code's five look-ups (with the address texts through
// parseAddress), then the document written out and read back. Besides the
// sanitizers, one property is checked: text written and read back writes out
// byte for byte the same again (a document that has been through Read is
// already in the form Write produces). The round trip runs through memory
// (WriteTo and Parse, which Write and Read use once the file is open): file
// opens cost more than everything else an input does.

#include "CConfigFile.h"
#include "CConfigFileR.h"
#include "parseAddress.h"

#include <QBuffer>
#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

// The scratch files live in memory where the machine has /dev/shm: every input
// goes through five opens and a write per parameter, which on a disk-backed
// /tmp cost more than the parsing itself.
std::string scratch(const char *name) {
    const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : "/tmp/";
    return std::string(dir) + "vlm-fuzz-config-" + std::to_string(getpid()) + "-" + name;
}

bool writeFile(const std::string &path, const std::uint8_t *data, std::size_t size) {
    std::FILE *out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        return false;
    }
    const bool ok = size == 0 || std::fwrite(data, 1, size, out) == size;
    return std::fclose(out) == 0 && ok;
}

// What the start-up code asks of a document for one adapter.
void lookUp(CConfigFile &config, const QString &device) {
    volatile int enabled = config.GetNumber(device, "DHCP", 16, 1);
    volatile int startInterface = config.GetNumber(device, "Start interface", 16, 0);
    (void)enabled;
    (void)startInterface;
    const char *keys[] = {"Scope start", "Scope end", "Scope network mask"};
    const char *defaults[] = {"255.255.255.255", "255.255.255.255", "255.255.255.0"};
    for (int i = 0; i < 3; ++i) {
        const QByteArray text = config.GetString(device, keys[i], defaults[i]).toLatin1();
        volatile std::uint32_t address = parseAddress(text.constData());
        (void)address;
    }
}

QByteArray written(const CConfigFileR &config) {
    QByteArray text;
    QBuffer buffer(&text);
    buffer.open(QIODevice::WriteOnly);
    config.WriteTo(buffer);
    return text;
}

// The scratch file of this process, removed again when it exits normally.
struct Scratch {
    std::string input = scratch("in.ini");
    Scratch() = default;
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    ~Scratch() { std::remove(input.c_str()); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const Scratch files;
    if (!writeFile(files.input, data, size)) {
        std::abort();
    }

    auto *config = new CConfigFileR(QString());
    if (config->Read(QString::fromStdString(files.input)) == 1) {
        lookUp(*config, "vnic0");
        if (!config->sections.empty()) {
            lookUp(*config, config->sections.front()->name);
        }
        const QByteArray first = written(*config);

        auto *again = new CConfigFileR(QString());
        if (again->Parse(first) != 1) {
            std::fprintf(stderr, "written text not read back\n");
            std::abort();
        }
        if (written(*again) != first) {
            std::fprintf(stderr, "written text changes when read and written again\n");
            std::abort();
        }
        again->Release();
    }
    config->Release();
    return 0;
}
