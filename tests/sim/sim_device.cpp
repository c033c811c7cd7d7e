#include "sim_device.h"

SimDeviceDesc SimDeviceDesc::bulk(uint16_t productId, uint16_t packetSize)
{
    SimDeviceDesc d;
    d.productId = productId;
    d.interfaces = {SimInterface{0, {SimAltSetting{{SimEndpoint{0x81, 2, packetSize},
                                                     SimEndpoint{0x01, 2, packetSize}}}}}};
    return d;
}

namespace {
void put16(std::vector<uint8_t>& out, unsigned value)
{
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}
} // namespace

std::vector<uint8_t> SimDeviceDesc::deviceDescriptor() const
{
    std::vector<uint8_t> d{18, 1};
    put16(d, 0x0200);
    d.insert(d.end(), {0, 0, 0, 64});
    put16(d, vendorId);
    put16(d, productId);
    put16(d, 0x0100);
    d.insert(d.end(), {1, 2, iSerialNumber, 1});
    return d;
}

std::vector<uint8_t> SimDeviceDesc::configDescriptor() const
{
    std::vector<uint8_t> body;
    for (const SimInterface& iface : interfaces) {
        for (size_t alt = 0; alt < iface.altSettings.size(); ++alt) {
            const SimAltSetting& setting = iface.altSettings[alt];
            body.insert(body.end(), {9, 4, iface.number, static_cast<uint8_t>(alt),
                                     static_cast<uint8_t>(setting.endpoints.size()), 0xFF, 0, 0, 0});
            for (const SimEndpoint& ep : setting.endpoints) {
                body.insert(body.end(), {7, 5, ep.address, ep.attributes});
                put16(body, ep.maxPacketSize);
                body.push_back(ep.attributes == 3 || ep.attributes == 1 ? 1 : 0);
            }
        }
    }
    std::vector<uint8_t> c{9, 2};
    put16(c, static_cast<unsigned>(9 + body.size()));
    c.insert(c.end(), {static_cast<uint8_t>(interfaces.size()), 1, 0, 0x80, 50});
    c.insert(c.end(), body.begin(), body.end());
    return c;
}

const SimEndpoint* SimDeviceDesc::findEndpoint(uint8_t address) const
{
    for (const SimInterface& iface : interfaces)
        for (const SimAltSetting& setting : iface.altSettings)
            for (const SimEndpoint& ep : setting.endpoints)
                if (ep.address == address)
                    return &ep;
    return nullptr;
}
