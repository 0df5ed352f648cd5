#include "Startup.h"

#include "AddressText.h"
#include "CConfigFile.h"
#include "Log.h"
#include "Service.h"
#include "parseAddress.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <cstdint>
#include <cstring>
#include <syslog.h>

namespace {

constexpr int kExitBadArgument = 1;
constexpr int kExitConfig = 2;
constexpr int kExitNotStarted = 3;

std::uint32_t lookUpAddress(CConfigFile &config, const QString &section, const char *key,
                            const char *fallback) {
    // An address text that doesn't parse gives 0; errno is not looked at.
    const QByteArray text = config.GetString(section, key, fallback).toLatin1();
    return parseAddress(text.constData());
}

int quit(int status) {
    closelog();
    return status;
}

} // namespace

int vlmMain(int argc, char **argv) {
    openlog("vlm_dhcpd", LOG_PID, LOG_USER);
    vlmLog(LOG_INFO, "Velmarind DHCP daemon is starting");

    const char *configPath = kDefaultConfigPath;
    const char *device = kDefaultDevice;
    // Options come in pairs; the value is whatever follows, dash or not.
    for (int i = 1; i < argc; i += 2) {
        const bool isConfig = std::strcmp(argv[i], "-c") == 0;
        if (!isConfig && std::strcmp(argv[i], "-d") != 0) {
            vlmLog(LOG_ERR, "Velmarind DHCP daemon: bad argument %s", argv[i]);
            return quit(kExitBadArgument);
        }
        if (i + 1 >= argc) {
            vlmLog(LOG_ERR, isConfig ? "Velmarind DHCP daemon: config file name missing"
                                     : "Velmarind DHCP daemon: device name missing");
            return quit(kExitBadArgument);
        }
        (isConfig ? configPath : device) = argv[i + 1];
    }

    CConfigFile *config = CreateConfigFile();
    if (config == nullptr || config->Read(QFile::decodeName(configPath)) < 0) {
        vlmLog(LOG_ERR, "Velmarind DHCP daemon failed to read config %s", configPath);
        if (config != nullptr) {
            config->Release();
        }
        return quit(kExitConfig);
    }

    const QString section = QFile::decodeName(device);
    if (config->GetNumber(section, "DHCP", 16, 1) == 0) {
        vlmLog(LOG_ERR, "Velmarind DHCP daemon is disabled for %s", device);
        config->Release();
        return quit(0);
    }
    const std::int32_t startInterface = config->GetNumber(section, "Start interface", 16, 0);
    const std::uint32_t start = lookUpAddress(*config, section, "Scope start", "255.255.255.255");
    const std::uint32_t end = lookUpAddress(*config, section, "Scope end", "255.255.255.255");
    const std::uint32_t mask =
        lookUpAddress(*config, section, "Scope network mask", "255.255.255.0");

    char startText[kAddressTextSize];
    char endText[kAddressTextSize];
    char maskText[kAddressTextSize];
    vlmLog(LOG_INFO, "Velmarind DHCP daemon at %s scope: %s-%s(%s)", device,
           addressText(start, startText), addressText(end, endText), addressText(mask, maskText));

    // Returns twice: in this process right after the fork, and in the
    // service process when the service is over (or its scope was refused).
    int status = 0;
    if (startDhcpServer(device, startInterface, start, end, mask) == -1) {
        vlmLog(LOG_ERR, "Velmarind DHCP daemon failed to start");
        status = kExitNotStarted;
    }
    config->Release();
    return quit(status);
}
