#include "link_pool.h"

#include <map>

#include "modbus_connection.h"
#include "rtu_frame.h"
#include "rtu_link.h"
#include "serial_port.h"
#include "socket_channel.h"

namespace modbus {

namespace {

std::unique_ptr<Link> MakeLink(const DeviceSettings& d) {
    switch (d.transport) {
        case Transport::kRtu:
            return std::make_unique<RtuLink>(std::make_unique<SerialPort>(d),
                                             SilenceMicros(d.baud, CharacterBits(d)));
        case Transport::kRtuOverTcp:
            // A gateway times the line itself; the socket needs no silence of ours.
            return std::make_unique<RtuLink>(std::make_unique<SocketChannel>(d.host, d.port), 0);
        case Transport::kTcp:
            break;
    }
    return std::make_unique<Connection>(d.host, d.port, d.unit, d.timeoutMs);
}

}  // namespace

std::string LinkKey(const DeviceSettings& d) {
    switch (d.transport) {
        case Transport::kRtu:
            return "rtu:COM" + std::to_string(ComPortNumber(d.portName)) + ":" +
                   std::to_string(d.baud) + ":" + std::to_string(d.dataBits) + ":" +
                   std::to_string(static_cast<int>(d.parity)) + ":" + std::to_string(d.stopBits);
        case Transport::kRtuOverTcp:
            return "rtu-tcp:" + d.host + ":" + std::to_string(d.port);
        case Transport::kTcp:
            break;
    }
    return "tcp:" + d.host + ":" + std::to_string(d.port);
}

std::shared_ptr<SharedLink> AcquireLink(const DeviceSettings& device) {
    static std::mutex poolLock;
    static std::map<std::string, std::weak_ptr<SharedLink>> pool;
    const std::string key = LinkKey(device);
    std::lock_guard<std::mutex> lock(poolLock);
    for (auto p = pool.begin(); p != pool.end();)
        p = p->second.expired() ? pool.erase(p) : std::next(p);
    if (auto shared = pool[key].lock()) return shared;
    auto made = std::make_shared<SharedLink>();
    made->link = MakeLink(device);
    pool[key] = made;
    return made;
}

}  // namespace modbus
