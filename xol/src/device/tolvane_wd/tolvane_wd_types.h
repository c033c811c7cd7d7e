// Plain records of the USB transport: queued hot-plug events and the I/O configuration of one
// connection.
#ifndef XOL_TOLVANE_WD_TYPES_H
#define XOL_TOLVANE_WD_TYPES_H

#include <cstdint>
#include <string>

enum TVD_EVENT : uint32_t {
    TVD_EVENT_ATTACH = 0,
    TVD_EVENT_DETACH = 1,
    TVD_EVENT_EXIT = 3,
};

// One event for the notification thread. `serial` is set for detach events only: the departed
// connection is no longer in the tables when the event is taken.
struct TVD_EVENT_INFO {
    TVD_EVENT event;
    void* handle;
    std::string serial;
};

struct TVD_LIBUSB_ENDPOINT {
    uint8_t address;        // bit 7 set for IN
    uint16_t maxPacketSize; // as the descriptor gives it
};

// The claimed interface of a connection and the bulk endpoints used on it.
typedef struct _TVD_LIBUSB_CACHE_ENTRY {
    uint8_t interfaceNumber;
    TVD_LIBUSB_ENDPOINT inEndpoint;
    TVD_LIBUSB_ENDPOINT outEndpoint;
} TVD_LIBUSB_DEV_IO_CONFIG;

#endif
