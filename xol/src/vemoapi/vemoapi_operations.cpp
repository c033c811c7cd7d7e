// Device operations. Each one needs the USB transport, which this build does not have yet:
// they fail with a status and a text rather than pretend to succeed.
#include "vemoapi_impl.h"

#include "exceptions.h"
#include "operation_boundary.h"

namespace {

[[noreturn]] void noTransport()
{
    throw VemoException(0x30000, "USB device operations are not available in this build");
}

} // namespace

unsigned long VemoAPI::settargetretrycount(unsigned int, _error_msg_t* msg)
{
    try {
        noTransport();
    } catch (...) {
        setMessage(msg, "Internal error");
        return 0x30000;
    }
}

unsigned long VemoAPI::getavailabletargets(_soc_device_info_arr_t*, _error_msg_t* msg)
{
    return runOperation(msg, [] { noTransport(); });
}

unsigned long VemoAPI::deviceid(unsigned int, _id_dev_ifp_emulation_t*, _oem_platform_id_t*, _platform_id_t*, _id_dev_flags_t*, _image_error_values_t*, const char*, _error_msg_t* msg, log_callback_t, void*)
{
    return runOperation(msg, [] { noTransport(); });
}

unsigned long VemoAPI::startover(_startover_cmd_flags_t*, unsigned int*, unsigned int*, const char*, _error_msg_t* msg, log_callback_t, void*)
{
    return runOperation(msg, [] { noTransport(); });
}

unsigned long VemoAPI::downloadfwrecovery(const char*, const char*, _id_dev_ifp_emulation_t*, _error_msg_t* msg, log_callback_t, void*)
{
    return runOperation(msg, [] { noTransport(); });
}

unsigned long VemoAPI::downloadfwos(const char*, const char*, _prov_fw_image_cmd_flags_t*, const char*, const char*, const char*, _error_msg_t* msg, log_callback_t, void*)
{
    return runOperation(msg, [] { noTransport(); });
}

unsigned long VemoAPI::writetoken(const char*, const char*, size_t, unsigned char, const char*, _error_msg_t* msg, log_callback_t, void*)
{
    return runOperation(msg, [] { noTransport(); });
}

unsigned long VemoAPI::readtoken(const char*, char*, size_t*, unsigned char, const char*, _error_msg_t* msg, log_callback_t, void*)
{
    return runOperation(msg, [] { noTransport(); });
}

unsigned long VemoAPI::erasetoken(const char*, unsigned char, const char*, _error_msg_t* msg, log_callback_t, void*)
{
    return runOperation(msg, [] { noTransport(); });
}

unsigned long VemoAPI::setdevicelifecyclestage(const char*, const char*, size_t, const char*, _error_msg_t* msg, log_callback_t, void*)
{
    return runOperation(msg, [] { noTransport(); });
}

unsigned long VemoAPI::oemifpprov(const char*, const char*, size_t, const char*, _error_msg_t* msg, log_callback_t, void*)
{
    return runOperation(msg, [] { noTransport(); });
}

unsigned long VemoAPI::configpart(const char*, const char*, unsigned char, unsigned char, const char*, _error_msg_t* msg, log_callback_t, void*)
{
    return runOperation(msg, [] { noTransport(); });
}

unsigned long VemoAPI::gettokenpid(const char*, unsigned int, _token_part_id_t*, unsigned int*, unsigned int*, unsigned int*, _oem_platform_id_t*, const char*, _error_msg_t* msg, log_callback_t, void*)
{
    return runOperation(msg, [] { noTransport(); });
}

unsigned long VemoAPI::getcardinfo(const char*, unsigned char*, unsigned char, char*, size_t*, const char*, _error_msg_t* msg, log_callback_t, void*)
{
    return runOperation(msg, [] { noTransport(); });
}

unsigned long VemoAPI::readbootmedia(const char*, unsigned char, unsigned char, _content_addr_t*, char*, size_t*, const char*, _error_msg_t* msg, log_callback_t, void*)
{
    return runOperation(msg, [] { noTransport(); });
}

unsigned long VemoAPI::clearRPMB(const char*, unsigned char, unsigned char, const char*, _error_msg_t* msg, log_callback_t, void*)
{
    return runOperation(msg, [] { noTransport(); });
}

unsigned long VemoAPI::deviceid2(unsigned int, const char*, _oem_platform_id_t*, _platform_id_t*, _id_dev_flags_t*, _image_error_values_t*, const char*, _error_msg_t* msg, log_callback_t, void*)
{
    return runOperation(msg, [] { noTransport(); });
}

unsigned long VemoAPI::writetoken2(const char*, const char*, unsigned char, const char*, _error_msg_t* msg, log_callback_t, void*)
{
    return runOperation(msg, [] { noTransport(); });
}

unsigned long VemoAPI::readtoken2(const char*, const char*, unsigned char, const char*, _error_msg_t* msg, log_callback_t, void*)
{
    return runOperation(msg, [] { noTransport(); });
}

unsigned long VemoAPI::setdevicelifecyclestage2(const char*, const char*, const char*, _error_msg_t* msg, log_callback_t, void*)
{
    return runOperation(msg, [] { noTransport(); });
}

unsigned long VemoAPI::oemifpprov2(const char*, const char*, const char*, _error_msg_t* msg, log_callback_t, void*)
{
    return runOperation(msg, [] { noTransport(); });
}

unsigned long VemoAPI::getcardinfo2(const char*, unsigned char*, unsigned char, const char*, const char*, _error_msg_t* msg, log_callback_t, void*)
{
    return runOperation(msg, [] { noTransport(); });
}

unsigned long VemoAPI::readbootmedia2(const char*, unsigned char, unsigned char, _content_addr_t*, const char*, const char*, _error_msg_t* msg, log_callback_t, void*)
{
    return runOperation(msg, [] { noTransport(); });
}
