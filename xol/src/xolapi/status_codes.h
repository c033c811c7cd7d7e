// The library's own statuses by name, and the failures that always carry the same code and text.
// Negative statuses are libusb's error numbers (see libusbStatus in the transport); firmware
// statuses (0x8000xxxx) and their texts are FwError's table.
#ifndef XOL_STATUS_CODES_H
#define XOL_STATUS_CODES_H

#include <string>

#include "exceptions.h"

enum VemoStatus : unsigned long {
    VEMO_SUCCESS = 0,
    // The USB library cannot be loaded (or, on Windows, the executable's path is unknown).
    VEMO_ERROR_USB_LIBRARY = 0x10002,
    VEMO_ERROR_USB_SYMBOL = 0x10003,
    // Framing errors in a device's answer.
    VEMO_ERROR_RESPONSE_CODE = 0x20000,
    VEMO_ERROR_RESPONSE_MARKER = 0x20001,
    VEMO_ERROR_UNSUPPORTED_DATA = 0x20002,
    VEMO_ERROR_MESSAGE_SIZE = 0x20003,
    VEMO_ERROR_ADDITIONAL_SIZE = 0x20004,
    // Library errors; the general failure is also the status of any other standard exception.
    VEMO_ERROR_GENERAL = 0x30000,
    VEMO_ERROR_DEVICE_TYPE = 0x30001,
    VEMO_ERROR_REQUEST_BUFFER = 0x30002,
    VEMO_ERROR_DEVICE_NOT_FOUND = 0x30003,
    VEMO_ERROR_CONFIG_LOOKUP = 0x30004,
    VEMO_ERROR_UNSUPPORTED = 0x30005,
    VEMO_ERROR_TIMEOUT_VALUE = 0x30006,
};

// A framing failure leaves the rest of a device message unread.
inline bool isFramingError(unsigned long code)
{
    return code >= VEMO_ERROR_RESPONSE_CODE && code <= VEMO_ERROR_ADDITIONAL_SIZE;
}

namespace status {

// The message of VEMO_SUCCESS.
inline const char* successText()
{
    return "Success";
}

inline VemoException libusbNotFound()
{
    return VemoException(VEMO_ERROR_USB_LIBRARY, "Fatal error: Can not find libusb shared object");
}
inline VemoException moduleFileNameNotFound()
{
    return VemoException(VEMO_ERROR_USB_LIBRARY, "Fatal error: Can not find module file name");
}
inline VemoException libusbSymbolNotFound(std::string const& name)
{
    return VemoException(VEMO_ERROR_USB_SYMBOL, "libusb symbol \"" + name + "\" not found");
}

inline VemoException badResponseCode()
{
    return VemoException(VEMO_ERROR_RESPONSE_CODE, "Bad response code");
}
inline VemoException badResponseMarker()
{
    return VemoException(VEMO_ERROR_RESPONSE_MARKER, "Bad response marker");
}
inline VemoException responseDataUnsupported()
{
    return VemoException(VEMO_ERROR_UNSUPPORTED_DATA,
                         "Additional Response Data is not supported for this command");
}
inline VemoException dataRequestUnsupported()
{
    return VemoException(VEMO_ERROR_UNSUPPORTED_DATA,
                         "Additional Command Data Request is not supported for this command");
}
inline VemoException unexpectedMessageSize()
{
    return VemoException(VEMO_ERROR_MESSAGE_SIZE, "Unexpected message data size");
}
inline VemoException unexpectedAdditionalSize()
{
    return VemoException(VEMO_ERROR_ADDITIONAL_SIZE, "Unexpected additional data size");
}

inline VemoException memcopyFailed()
{
    return VemoException(VEMO_ERROR_GENERAL, "memcopy_s failed.");
}
inline VemoException libusbNotLoaded()
{
    return VemoException(VEMO_ERROR_GENERAL, "libusb shared object is not loaded");
}
// Also the message of an operation that reports VEMO_ERROR_GENERAL without an exception.
inline const char* internalErrorText()
{
    return "Internal error";
}
inline VemoException internalError()
{
    return VemoException(VEMO_ERROR_GENERAL, internalErrorText());
}

// A unit the wire's 32-bit lengths cannot carry ("Image", "Data", "File").
inline VemoException notSupportedFrom4GiB(std::string const& what)
{
    return VemoException(VEMO_ERROR_GENERAL, what + " of 4 GiB or more is not supported");
}

// Read Boot Media's device type.
inline VemoException unsupportedDeviceType()
{
    return VemoException(VEMO_ERROR_DEVICE_TYPE, "Unsupported device type");
}
// configpart's device type.
inline VemoException deviceTypeNotSupported()
{
    return VemoException(VEMO_ERROR_DEVICE_TYPE, "Device type is not supported");
}
inline VemoException requestBufferTooSmall()
{
    return VemoException(VEMO_ERROR_REQUEST_BUFFER,
                         "Device configuration request buffer is too small");
}
inline VemoException deviceNotFound()
{
    return VemoException(VEMO_ERROR_DEVICE_NOT_FOUND, "Device not found");
}
inline VemoException deviceConfigNotFound()
{
    return VemoException(VEMO_ERROR_CONFIG_LOOKUP, "Device configuration not found");
}
inline VemoException gppIndexOutOfRange()
{
    return VemoException(VEMO_ERROR_CONFIG_LOOKUP, "GPP index is out of range");
}
inline VemoException lunIndexOutOfRange()
{
    return VemoException(VEMO_ERROR_CONFIG_LOOKUP, "LUN index is out of range");
}
inline VemoException unsupportedProtocolVersion()
{
    return VemoException(VEMO_ERROR_UNSUPPORTED, "Unsupported protocol version");
}
// UFS card information larger than the configuration record it is written to.
inline VemoException ufsConfigWriteFailed()
{
    return VemoException(VEMO_ERROR_UNSUPPORTED, "Write to mpCurrCfg failed");
}
inline VemoException timeoutTooSmall()
{
    return VemoException(VEMO_ERROR_TIMEOUT_VALUE, "Timeout value is too small");
}

} // namespace status

#endif
