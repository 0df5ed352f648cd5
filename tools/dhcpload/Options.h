#pragma once

#include "BridgeAttach.h"
#include "BridgeLink.h"
#include "LoadRunner.h"
#include "Responder.h"

#include <string>
#include <vector>

struct Options {
    // Where to attach: an interface name, or else the bridge device.
    std::string interface;
    std::string device = bridge::kDevicePath;
    std::string portName = "dhcpload";
    // The stand-in bridge answers poll() with "readable" at all times, so a
    // reader thread is the default.
    BridgeLink::Mode bridgeMode = BridgeLink::Mode::kThread;
    MacAddr portMac{0x06, 0x00, 0x00, 0x00, 0x00, 0x01};
    bool json = false;
    bool respond = false;
    bool help = false;
    RunConfig run;
    ResponderConfig responder;
};

// Fills options from argv; false with a message in error on a bad argument.
bool parseOptions(const std::vector<std::string> &args, Options &options, std::string &error);
const char *usageText();
