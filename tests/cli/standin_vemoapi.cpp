// A scripted stand-in for libvemoapi, linked into a second build of xolcli. Every call is written
// to "standin.journal" in the current folder, with the arguments the program handed over; the
// results come from the environment:
//   XOL_STANDIN_NO_OBJECT   set: api_acquire returns null
//   XOL_STANDIN_STATUS      status of the device operation (strtoul, base 0; default 0)
//   XOL_STANDIN_MESSAGE     failure text (default "standin failure")
//   XOL_STANDIN_DEVICES     number of devices getavailabletargets lists (default 0)
//   XOL_STANDIN_CARD_TYPE   device type getcardinfo reports (default: the one asked for)
//   XOL_STANDIN_CARD_LENGTH length getcardinfo reports (default: the buffer's)
// With a callback, each device operation reports one progress record through it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <boost/format.hpp>

#include "secure_buffers.h"
#include "vemoapi.h"

namespace {

unsigned long envNumber(const char* name, unsigned long fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr ? std::strtoul(text, nullptr, 0) : fallback;
}

void journal(const std::string& line)
{
    std::ofstream("standin.journal", std::ios::app | std::ios::binary) << line << '\n';
}

std::string quoted(const char* text)
{
    return text == nullptr ? std::string("null") : "'" + std::string(text) + "'";
}

std::string hexBytes(const void* data, size_t count)
{
    std::string out;
    for (size_t i = 0; i < count; ++i)
        out += (boost::format("%02x") % unsigned(static_cast<const uint8_t*>(data)[i])).str();
    return out;
}

// The device operation's ending: journal line with the trailing arguments, progress record,
// message and status.
unsigned long finish(const std::string& call, const char* identifier, _error_msg_t* msg,
                     log_callback_t callback, void* context)
{
    std::ostringstream line;
    line << call << " sn=" << quoted(identifier) << " cb=";
    if (callback == nullptr)
        line << (context == nullptr ? "none" : "context-without-callback");
    else
        line << quoted(static_cast<const char*>(context));
    journal(line.str());
    if (callback != nullptr)
        callback(0, "standin progress", context);
    const unsigned long status = envNumber("XOL_STANDIN_STATUS", 0);
    if (msg != nullptr) {
        const char* text = std::getenv("XOL_STANDIN_MESSAGE");
        copyMessage(msg->text, status == 0 ? "Success" : (text ? text : "standin failure"),
                    sizeof msg->text);
    }
    return status;
}

bool succeeds()
{
    return envNumber("XOL_STANDIN_STATUS", 0) == 0;
}

void fillPattern(void* data, size_t count, uint8_t first)
{
    for (size_t i = 0; i < count; ++i)
        static_cast<uint8_t*>(data)[i] = static_cast<uint8_t>(first + i);
}

void fillIdentity(_oem_platform_id_t* oemId, _platform_id_t* platformId, _id_dev_flags_t* flags,
                  _image_error_values_t* imageErrors)
{
    if (!succeeds())
        return;
    std::memcpy(&oemId->id, "ABCD", 4);
    fillPattern(platformId->id, sizeof platformId->id, 0xa0);
    flags->flags = 0x5a;
    fillPattern(imageErrors->values, sizeof imageErrors->values, 0x00);
    imageErrors->values[11] = 0x1f;
}

class StandinAPI final : public IVemoAPI {
public:
    unsigned long getfullversion(_version_t* versionInfo) override
    {
        journal("getfullversion");
        copyMessage(versionInfo->version, "standin", sizeof versionInfo->version);
        return versionInfo->length = 7;
    }
    unsigned long settargetretrycount(unsigned int retryCount, _error_msg_t* msg) override
    {
        journal((boost::format("settargetretrycount %u msg=%s") % retryCount %
                 (msg ? "record" : "null")).str());
        return 0;
    }
    unsigned long setusbreadwritedelay(unsigned long timeoutMs, _error_msg_t* msg) override
    {
        journal((boost::format("setusbreadwritedelay %u msg=%s") % timeoutMs %
                 (msg ? "record" : "null")).str());
        return 0;
    }
    unsigned long getavailabletargets(_soc_device_info_arr_t* targets, _error_msg_t* msg) override
    {
        const unsigned long devices = envNumber("XOL_STANDIN_DEVICES", 0);
        if (succeeds()) {
            targets->ids.count = static_cast<uint32_t>(devices);
            for (unsigned long i = 0; i < devices && i < SOC_DEVICE_MAX; ++i) {
                std::snprintf(targets->ids.devices[i].id, sizeof targets->ids.devices[i].id,
                              "%030lu%02lx", i, i + 0xa0);
                _soc_device_info_t& info = targets->info[i];
                if (i % 2 == 0) {
                    info.type = 1;
                    info.usb.busNumber = static_cast<uint8_t>(3 + i);
                    info.usb.portNumbers[0] = 1;
                    info.usb.portNumbers[1] = 4;
                    info.usb.portCount = 2;
                } else {
                    info.type = 0;
                    info.tree.uniqueId = 77;
                    info.tree.rootHubNumber = 2;
                    for (int j = 0; j < 5; ++j)
                        info.tree.ports[j] = static_cast<unsigned long>(j * 10);
                    std::wcsncpy(info.tree.driverKeyName, L"{usb}\\0012", 1024);
                }
            }
        }
        return finish("getavailabletargets", nullptr, msg, nullptr, nullptr);
    }
    unsigned long deviceid(unsigned int idParam, _id_dev_ifp_emulation_t* ifpRecord,
                           _oem_platform_id_t* oemId, _platform_id_t* platformId,
                           _id_dev_flags_t* flags, _image_error_values_t* imageErrors,
                           const char* identifier, _error_msg_t* msg, log_callback_t callback,
                           void* context) override
    {
        fillIdentity(oemId, platformId, flags, imageErrors);
        const std::string record = ifpRecord ? hexBytes(ifpRecord->data, 44) : "null";
        return finish((boost::format("deviceid param=%#x record=%s") % idParam % record).str(),
                      identifier, msg, callback, context);
    }
    unsigned long startover(_startover_cmd_flags_t* flags, unsigned int* currentOp,
                            unsigned int* currentCtx, const char* identifier, _error_msg_t* msg,
                            log_callback_t callback, void* context) override
    {
        if (succeeds()) {
            *currentOp = 0x12;
            *currentCtx = 1;
        }
        return finish((boost::format("startover flags=%#x") % flags->flags).str(), identifier,
                      msg, callback, context);
    }
    unsigned long downloadfwrecovery(const char* recoveryPath, const char* identifier,
                                     _id_dev_ifp_emulation_t* ifpRecord, _error_msg_t* msg,
                                     log_callback_t callback, void* context) override
    {
        const std::string record = ifpRecord ? hexBytes(ifpRecord->data, 44) : "null";
        return finish("downloadfwrecovery fw=" + quoted(recoveryPath) + " record=" + record,
                      identifier, msg, callback, context);
    }
    unsigned long downloadfwos(const char* recoveryPath, const char* fwImagePath,
                               _prov_fw_image_cmd_flags_t* flags, const char* unused1,
                               const char* unused2, const char* identifier, _error_msg_t* msg,
                               log_callback_t callback, void* context) override
    {
        return finish((boost::format("downloadfwos fw=%s image=%s flags=%#x unused=%s,%s") %
                       quoted(recoveryPath) % quoted(fwImagePath) % flags->flags %
                       quoted(unused1) % quoted(unused2)).str(),
                      identifier, msg, callback, context);
    }
    unsigned long writetoken(const char*, const char*, size_t, unsigned char,
                             const char* identifier,
                             _error_msg_t* msg, log_callback_t callback, void* context) override
    {
        return finish("writetoken", identifier, msg, callback, context);
    }
    unsigned long readtoken(const char*, char*, size_t*, unsigned char, const char* identifier,
                            _error_msg_t* msg, log_callback_t callback, void* context) override
    {
        return finish("readtoken", identifier, msg, callback, context);
    }
    unsigned long erasetoken(const char* recoveryPath, unsigned char slot, const char* identifier,
                             _error_msg_t* msg, log_callback_t callback, void* context) override
    {
        return finish((boost::format("erasetoken fw=%s slot=%#x") % quoted(recoveryPath) %
                       unsigned(slot)).str(),
                      identifier, msg, callback, context);
    }
    unsigned long setdevicelifecyclestage(const char*, const char*, size_t, const char* identifier,
                                          _error_msg_t* msg, log_callback_t callback,
                                          void* context) override
    {
        return finish("setdevicelifecyclestage", identifier, msg, callback, context);
    }
    unsigned long oemifpprov(const char*, const char*, size_t, const char* identifier,
                             _error_msg_t* msg, log_callback_t callback, void* context) override
    {
        return finish("oemifpprov", identifier, msg, callback, context);
    }
    unsigned long configpart(const char* recoveryPath, const char* configPath,
                             unsigned char devType, unsigned char idx, const char* identifier,
                             _error_msg_t* msg, log_callback_t callback, void* context) override
    {
        return finish((boost::format("configpart fw=%s config=%s dev=%u idx=%u") %
                       quoted(recoveryPath) % quoted(configPath) % unsigned(devType) %
                       unsigned(idx)).str(),
                      identifier, msg, callback, context);
    }
    unsigned long gettokenpid(const char* recoveryPath, unsigned int param,
                              _token_part_id_t* tokenPartId, unsigned int* nonce,
                              unsigned int* trustedTime, unsigned int* deviceId,
                              _oem_platform_id_t* oemId, const char* identifier,
                              _error_msg_t* msg, log_callback_t callback, void* context) override
    {
        if (succeeds()) {
            fillPattern(tokenPartId->id, sizeof tokenPartId->id, 0xf4);
            *nonce = 0xdeadbeef;
            *trustedTime = 0x600d;
            *deviceId = 0x7;
            std::memcpy(&oemId->id, "QWLM", 4);
        }
        return finish((boost::format("gettokenpid fw=%s param=%#x") % quoted(recoveryPath) %
                       param).str(),
                      identifier, msg, callback, context);
    }
    unsigned long getcardinfo(const char* recoveryPath, unsigned char* devType, unsigned char idx,
                              char* buffer, size_t* length, const char* identifier,
                              _error_msg_t* msg, log_callback_t callback, void* context) override
    {
        const std::string call = (boost::format("getcardinfo fw=%s dev=%u idx=%u length=%u") %
                                  quoted(recoveryPath) % unsigned(*devType) % unsigned(idx) %
                                  *length).str();
        if (succeeds()) {
            const size_t answer = envNumber("XOL_STANDIN_CARD_LENGTH", *length);
            if (answer <= *length)
                fillPattern(buffer, answer, 0x10);
            *length = answer;
            *devType = static_cast<unsigned char>(envNumber("XOL_STANDIN_CARD_TYPE", *devType));
        }
        return finish(call, identifier, msg, callback, context);
    }
    unsigned long readbootmedia(const char*, unsigned char, unsigned char, _content_addr_t*, char*,
                                size_t*, const char* identifier, _error_msg_t* msg,
                                log_callback_t callback, void* context) override
    {
        return finish("readbootmedia", identifier, msg, callback, context);
    }
    unsigned long clearRPMB(const char* recoveryPath, unsigned char devType, unsigned char idx,
                            const char* identifier, _error_msg_t* msg, log_callback_t callback,
                            void* context) override
    {
        return finish((boost::format("clearRPMB fw=%s dev=%u idx=%u") % quoted(recoveryPath) %
                       unsigned(devType) % unsigned(idx)).str(),
                      identifier, msg, callback, context);
    }
    unsigned long deviceid2(unsigned int idParam, const char* ifpFilePath,
                            _oem_platform_id_t* oemId, _platform_id_t* platformId,
                            _id_dev_flags_t* flags, _image_error_values_t* imageErrors,
                            const char* identifier, _error_msg_t* msg, log_callback_t callback,
                            void* context) override
    {
        fillIdentity(oemId, platformId, flags, imageErrors);
        return finish((boost::format("deviceid2 param=%#x ifp=%s") % idParam %
                       quoted(ifpFilePath)).str(),
                      identifier, msg, callback, context);
    }
    unsigned long writetoken2(const char* recoveryPath, const char* tokenPath, unsigned char slot,
                              const char* identifier, _error_msg_t* msg, log_callback_t callback,
                              void* context) override
    {
        return finish((boost::format("writetoken2 fw=%s token=%s slot=%#x") %
                       quoted(recoveryPath) % quoted(tokenPath) % unsigned(slot)).str(),
                      identifier, msg, callback, context);
    }
    unsigned long readtoken2(const char* recoveryPath, const char* outPath, unsigned char slot,
                             const char* identifier, _error_msg_t* msg, log_callback_t callback,
                             void* context) override
    {
        return finish((boost::format("readtoken2 fw=%s out=%s slot=%#x") % quoted(recoveryPath) %
                       quoted(outPath) % unsigned(slot)).str(),
                      identifier, msg, callback, context);
    }
    unsigned long setdevicelifecyclestage2(const char* recoveryPath, const char* tokenPath,
                                           const char* identifier, _error_msg_t* msg,
                                           log_callback_t callback, void* context) override
    {
        return finish("setdevicelifecyclestage2 fw=" + quoted(recoveryPath) + " token=" +
                          quoted(tokenPath),
                      identifier, msg, callback, context);
    }
    unsigned long oemifpprov2(const char* recoveryPath, const char* blockPath,
                              const char* identifier, _error_msg_t* msg, log_callback_t callback,
                              void* context) override
    {
        return finish("oemifpprov2 fw=" + quoted(recoveryPath) + " block=" + quoted(blockPath),
                      identifier, msg, callback, context);
    }
    unsigned long getcardinfo2(const char* recoveryPath, unsigned char* devType, unsigned char idx,
                               const char* outPath, const char* identifier, _error_msg_t* msg,
                               log_callback_t callback, void* context) override
    {
        const std::string call = (boost::format("getcardinfo2 fw=%s dev=%u idx=%u out=%s") %
                                  quoted(recoveryPath) % unsigned(*devType) % unsigned(idx) %
                                  quoted(outPath)).str();
        if (succeeds())
            *devType = static_cast<unsigned char>(envNumber("XOL_STANDIN_CARD_TYPE", *devType));
        return finish(call, identifier, msg, callback, context);
    }
    unsigned long readbootmedia2(const char* recoveryPath, unsigned char devType,
                                 unsigned char idx, _content_addr_t* addr, const char* outPath,
                                 const char* identifier, _error_msg_t* msg,
                                 log_callback_t callback, void* context) override
    {
        return finish((boost::format("readbootmedia2 fw=%s dev=%u idx=%u part=%#x start=%#x "
                                     "blocks=%#x out=%s") %
                       quoted(recoveryPath) % unsigned(devType) % unsigned(idx) %
                       addr->partition % addr->start % addr->blocks % quoted(outPath)).str(),
                      identifier, msg, callback, context);
    }
    void setlogging(bool enable, std::string path) override
    {
        journal((boost::format("setlogging %d %s") % enable % quoted(path.c_str())).str());
    }
};

StandinAPI* standin = nullptr;

} // namespace

extern "C" IVemoAPI* api_acquire()
{
    journal("api_acquire");
    if (std::getenv("XOL_STANDIN_NO_OBJECT") != nullptr)
        return nullptr;
    if (standin == nullptr)
        standin = new StandinAPI;
    return standin;
}

extern "C" void api_release()
{
    journal("api_release");
    delete standin;
    standin = nullptr;
}
