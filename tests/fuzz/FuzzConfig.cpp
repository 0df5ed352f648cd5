// Bytes as a configuration file: Read, the start-up code's five look-ups
// (with the address texts through parseAddress), then Write and Read again.
// Besides the sanitizers, one property is checked: text written by Write and
// read back writes out byte for byte the same again (a document that has been
// through Read is already in the form Write produces).

#include "CConfigFile.h"
#include "CConfigFileR.h"
#include "parseAddress.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string scratch(const char *name) {
    return "/tmp/vlm-fuzz-config-" + std::to_string(getpid()) + "-" + name;
}

bool writeFile(const std::string &path, const std::uint8_t *data, std::size_t size) {
    std::FILE *out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        return false;
    }
    const bool ok = size == 0 || std::fwrite(data, 1, size, out) == size;
    return std::fclose(out) == 0 && ok;
}

QByteArray readFile(const std::string &path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
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

// The scratch files of this process, removed again when it exits normally.
struct Scratch {
    std::string input = scratch("in.ini");
    std::string first = scratch("out1.ini");
    std::string second = scratch("out2.ini");
    Scratch() = default;
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    ~Scratch() {
        std::remove(input.c_str());
        std::remove(first.c_str());
        std::remove(second.c_str());
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const Scratch files;
    const std::string &input = files.input;
    const std::string &first = files.first;
    const std::string &second = files.second;
    if (!writeFile(input, data, size)) {
        std::abort();
    }

    auto *config = new CConfigFileR(QString());
    if (config->Read(QString::fromStdString(input)) == 1) {
        lookUp(*config, "vnic0");
        if (!config->sections.empty()) {
            lookUp(*config, config->sections.front()->name);
        }
        config->Write(QString::fromStdString(first));

        auto *again = new CConfigFileR(QString());
        if (again->Read(QString::fromStdString(first)) == 1) {
            again->Write(QString::fromStdString(second));
            const QByteArray a = readFile(first);
            const QByteArray b = readFile(second);
            if (a != b) {
                std::fprintf(stderr, "written text changes when read and written again\n");
                std::abort();
            }
        }
        again->Release();
    }
    config->Release();
    return 0;
}
