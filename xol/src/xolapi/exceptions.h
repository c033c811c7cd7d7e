// The library's exception types: every failure inside the library travels as one of these (or a
// standard exception) until an interface operation turns it into a status and a message.
#ifndef XOL_EXCEPTIONS_H
#define XOL_EXCEPTIONS_H

#include <cstdint>
#include <stdexcept>
#include <string>

// A failure with the status code the interface operation returns for it.
class VemoException : public std::runtime_error {
public:
    VemoException(unsigned long code, std::string const& message);
    ~VemoException() override;
    virtual unsigned long getErrorCode() const;

private:
    unsigned long code;
};

// A nonzero firmware status reported by the device, with its fixed text.
class FwError : public VemoException {
public:
    explicit FwError(unsigned long status);
    // Text of a firmware status, keyed on its low 32 bits.
    static std::string message(unsigned long status);
};

// Firmware statuses are 32-bit device values; codes are compared on those bits only.
inline bool sameFwStatus(unsigned long code, unsigned long status)
{
    return static_cast<uint32_t>(code) == static_cast<uint32_t>(status);
}

#endif
