// The links of the driver's devices, shared: devices that name the same gateway address (and
// transport) or the same serial port get one link, and their workers take turns on it under
// its lock, so a line or a gateway never sees two requests at once.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "link.h"
#include "modbus_settings.h"

namespace modbus {

struct SharedLink {
    std::mutex lock;  // held for a whole request and its answer
    std::unique_ptr<Link> link;
};

// What makes two devices share a link: the transport and the address or port (and, for a
// port, its character format, so a device edited to another speed gets a link of its own).
std::string LinkKey(const DeviceSettings& device);
// The link for `device`, made on first use and gone with its last user.
std::shared_ptr<SharedLink> AcquireLink(const DeviceSettings& device);

}  // namespace modbus
