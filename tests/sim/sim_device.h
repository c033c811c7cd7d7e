// What a simulated USB device looks like from the bus: identifiers, location, speed and the
// interfaces, alternate settings and endpoints of its one configuration. Every bed builds its
// device from this description.
#ifndef XOL_TEST_SIM_DEVICE_H
#define XOL_TEST_SIM_DEVICE_H

#include <cstddef>
#include <cstdint>
#include <vector>

struct SimEndpoint {
    uint8_t address;            // bit 7 set for IN
    uint8_t attributes = 2;     // transfer type in bits 0..1: 0 control, 1 iso, 2 bulk, 3 interrupt
    uint16_t maxPacketSize = 512;
};

struct SimAltSetting {
    std::vector<SimEndpoint> endpoints;
};

struct SimInterface {
    uint8_t number;
    std::vector<SimAltSetting> altSettings; // alternate setting j is altSettings[j]
};

struct SimDeviceDesc {
    uint16_t vendorId = 0x7A3C;
    uint16_t productId = 0x3C11;
    uint8_t busNumber = 1;
    std::vector<uint8_t> portNumbers{1}; // from the root hub down
    unsigned speedMbps = 480;
    uint8_t iSerialNumber = 3;
    std::vector<SimInterface> interfaces;

    // One interface with bulk IN 0x81 and bulk OUT 0x01 of the given packet size.
    static SimDeviceDesc bulk(uint16_t productId = 0x3C11, uint16_t packetSize = 512);

    // Raw descriptors as the device returns them (little-endian, descriptor order).
    std::vector<uint8_t> deviceDescriptor() const;
    std::vector<uint8_t> configDescriptor() const;
    // The endpoint with that address in any setting, or null.
    const SimEndpoint* findEndpoint(uint8_t address) const;
};

#endif
