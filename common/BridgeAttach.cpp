#include "BridgeAttach.h"

#include <cstring>

BridgePortRequest makeBridgePortRequest(const char *portName, const std::uint8_t *hwAddr) {
    BridgePortRequest request;
    std::memset(&request, 0, sizeof request);
    if (portName != nullptr) {
        for (std::size_t i = 0; i < bridge::kPortNameSize && portName[i] != '\0'; ++i) {
            request.name[i] = portName[i];
        }
    }
    // The driver reads the name as a C string.
    request.name[bridge::kPortNameSize - 1] = '\0';
    if (hwAddr != nullptr) {
        std::memcpy(request.hwAddr, hwAddr, sizeof request.hwAddr);
    }
    return request;
}
