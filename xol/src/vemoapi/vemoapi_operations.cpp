// The device operations: each resolves its device, forwards the device's log records to the
// caller's callback, runs one job on the caller's thread and copies the results out.
#include <cstring>
#include <fstream>
#include <utility>

#include "exceptions.h"
#include "file_failure.h"
#include "operation_boundary.h"
#include "output_file.h"
#include "secure_buffers.h"
#include "tolvane_libusb.h"
#include "platform_config.h"
#include "vemoapi_impl.h"
#include "xol_job_configure.h"
#include "xol_jobs.h"
#include "zub_logger.h"

namespace {

void copyOut(void* dst, size_t dstSize, void const* src, size_t count)
{
    if (!memcpy_s_x(dst, dstSize, src, count))
        throw VemoException(0x30000, "memcopy_s failed.");
}

uint32_t word(_id_dev_ifp_emulation_t const& record, size_t at)
{
    uint32_t w;
    std::memcpy(&w, record.data + at, sizeof w);
    return w;
}

} // namespace

template <class Body>
void VemoAPI::withDevice(const char* identifier, log_callback_t callback, void* context,
                         Body&& body)
{
    const InFlight op(*this);
    const std::string serial = getDevice(identifier);
    ZubLogger sink;
    sink.sinkInstall(serial, callback, context);
    _id_dev_ifp_emulation_t stored;
    bool found = false;
    getIfpEmulation(serial, stored, found);
    body(serial, found ? &stored : nullptr);
}

template <class Job, class... Args>
void VemoAPI::runComplexJob(const char* identifier, log_callback_t callback, void* context,
                            const char* recoveryPath, Args&&... args)
{
    withDevice(identifier, callback, context,
               [&](std::string const& serial, _id_dev_ifp_emulation_t* ifp) {
                   Job job(usbAPI(), usbTimeout, serial, recoveryPath, ifp,
                           std::forward<Args>(args)...);
                   job.start();
                   job.join();
               });
}

unsigned long VemoAPI::settargetretrycount(unsigned int retryCount, _error_msg_t* msg)
{
    const InFlight op(*this);
    try {
        usbAPI()->SetRWRetry(retryCount);
    } catch (...) {
        setMessage(msg, "Internal error");
        return 0x30000;
    }
    setMessage(msg, "Success");
    return 0;
}

unsigned long VemoAPI::deviceid(unsigned int idParam, _id_dev_ifp_emulation_t* ifpRecord,
                                _oem_platform_id_t* oemId, _platform_id_t* platformId,
                                _id_dev_flags_t* flags, _image_error_values_t* imageErrors,
                                const char* identifier, _error_msg_t* msg,
                                log_callback_t callback, void* context)
{
    return runOperation(msg, [&] {
        const InFlight op(*this);
        const std::string serial = getDevice(identifier);
        ZubLogger sink;
        sink.sinkInstall(serial, callback, context);
        _id_dev_ifp_emulation_t record;
        std::memset(&record, 0, sizeof record);
        if (ifpRecord != nullptr)
            copyOut(&record, sizeof record, ifpRecord, sizeof record);
        // Stored before the device is asked anything, so it stays when the job fails.
        setIfpEmulation(serial, record);

        XolJobIdDevice job(usbAPI(), usbTimeout, serial, idParam, word(record, 0));
        job.start();
        job.join();
        flags->flags = job.getFlags();
        static const uint8_t unprogrammed[4] = {'Q', 'W', 'L', 'M'};
        if (word(record, 16) != 0 && std::memcmp(job.getOemPlatformId(), unprogrammed, 4) == 0)
            copyOut(oemId, sizeof *oemId, record.data + 16, 4);
        else
            copyOut(oemId, sizeof *oemId, job.getOemPlatformId(), 4);
        copyOut(platformId, sizeof *platformId, job.getPlatformUniqueId(), 16);
        copyOut(imageErrors, sizeof *imageErrors, job.getImageErrorValues(), 12);
    });
}

unsigned long VemoAPI::deviceid2(unsigned int idParam, const char* ifpFilePath,
                                 _oem_platform_id_t* oemId, _platform_id_t* platformId,
                                 _id_dev_flags_t* flags, _image_error_values_t* imageErrors,
                                 const char* identifier, _error_msg_t* msg,
                                 log_callback_t callback, void* context)
{
    _id_dev_ifp_emulation_t record;
    std::memset(&record, 0, sizeof record);
    const unsigned long status = runOperation(msg, [&] {
        const std::string path(ifpFilePath ? ifpFilePath : "");
        std::ifstream file;
        file_failure::openForReading(file, path);
        file.exceptions(std::ios_base::failbit | std::ios_base::badbit | std::ios_base::eofbit);
        try {
            file.read(reinterpret_cast<char*>(record.data), sizeof record.data);
        } catch (std::ios_base::failure const& e) {
            file_failure::cannotRead(path, file, e);
        }
    });
    if (status != 0)
        return status;
    return deviceid(idParam, &record, oemId, platformId, flags, imageErrors, identifier, msg,
                    callback, context);
}

unsigned long VemoAPI::startover(_startover_cmd_flags_t* flags, unsigned int* currentOp,
                                 unsigned int* currentCtx, const char* identifier,
                                 _error_msg_t* msg, log_callback_t callback, void* context)
{
    return runOperation(msg, [&] {
        const InFlight op(*this);
        const std::string serial = getDevice(identifier);
        ZubLogger sink;
        sink.sinkInstall(serial, callback, context);
        XolJobStartover job(usbAPI(), usbTimeout, serial, flags->flags);
        job.start();
        job.join();
        *currentOp = job.getCurrentOp();
        *currentCtx = job.getCurrentCtx();
    });
}

unsigned long VemoAPI::downloadfwrecovery(const char* recoveryPath, const char* identifier,
                                          _id_dev_ifp_emulation_t* ifpRecord, _error_msg_t* msg,
                                          log_callback_t callback, void* context)
{
    return runOperation(msg, [&] {
        const InFlight op(*this);
        const std::string serial = getDevice(identifier);
        ZubLogger sink;
        sink.sinkInstall(serial, callback, context);
        _id_dev_ifp_emulation_t record;
        std::memset(&record, 0, sizeof record);
        if (ifpRecord != nullptr)
            copyOut(&record, sizeof record, ifpRecord, sizeof record);
        _id_dev_ifp_emulation_t stored;
        bool found = false;
        getIfpEmulation(serial, stored, found);
        if (!found)
            setIfpEmulation(serial, record);
        XolJobDownloadFwRecovery job(usbAPI(), usbTimeout, serial, recoveryPath, ifpRecord);
        job.start();
        job.join();
    });
}

unsigned long VemoAPI::downloadfwos(const char* recoveryPath, const char* fwImagePath,
                                    _prov_fw_image_cmd_flags_t* flags, const char*, const char*,
                                    const char* identifier, _error_msg_t* msg,
                                    log_callback_t callback, void* context)
{
    return runOperation(msg, [&] {
        withDevice(identifier, callback, context,
                   [&](std::string const& serial, _id_dev_ifp_emulation_t* ifp) {
                       XolJobDownloadFw job(usbAPI(), usbTimeout, serial, recoveryPath, ifp,
                                            fwImagePath, flags->flags);
                       job.start();
                       job.join();
                   });
    });
}

unsigned long VemoAPI::writetoken(const char* recoveryPath, Token& token, unsigned char slot,
                                  const char* identifier, _error_msg_t* msg,
                                  log_callback_t callback, void* context)
{
    runComplexJob<XolJobWriteToken>(identifier, callback, context, recoveryPath, token, slot);
    setMessage(msg, "Success");
    return 0;
}

unsigned long VemoAPI::writetoken(const char* recoveryPath, const char* bytes, size_t length,
                                  unsigned char slot, const char* identifier, _error_msg_t* msg,
                                  log_callback_t callback, void* context)
{
    return runOperation(msg, [&] {
        Token token(bytes, length);
        writetoken(recoveryPath, token, slot, identifier, msg, callback, context);
    });
}

unsigned long VemoAPI::writetoken2(const char* recoveryPath, const char* tokenPath,
                                   unsigned char slot, const char* identifier, _error_msg_t* msg,
                                   log_callback_t callback, void* context)
{
    return runOperation(msg, [&] {
        Token token{std::string(tokenPath ? tokenPath : "")};
        writetoken(recoveryPath, token, slot, identifier, msg, callback, context);
    });
}

namespace {

// Runs a read-token job and hands its token to `deliver`.
template <class Deliver>
void readToken(TolvaneWdAPI* usb, unsigned long timeout, std::string const& serial,
               const char* recoveryPath, _id_dev_ifp_emulation_t* ifp, unsigned char slot,
               Deliver&& deliver)
{
    XolJobReadToken job(usb, timeout, serial, recoveryPath, ifp, slot);
    job.start();
    job.join();
    deliver(job.getToken());
}

} // namespace

unsigned long VemoAPI::readtoken(const char* recoveryPath, char* buffer, size_t* length,
                                 unsigned char slot, const char* identifier, _error_msg_t* msg,
                                 log_callback_t callback, void* context)
{
    return runOperation(msg, [&] {
        withDevice(identifier, callback, context,
                   [&](std::string const& serial, _id_dev_ifp_emulation_t* ifp) {
                       readToken(usbAPI(), usbTimeout, serial, recoveryPath, ifp, slot,
                                 [&](Token const& t) { t.write(buffer, length); });
                   });
    });
}

unsigned long VemoAPI::readtoken2(const char* recoveryPath, const char* outPath,
                                  unsigned char slot, const char* identifier, _error_msg_t* msg,
                                  log_callback_t callback, void* context)
{
    return runOperation(msg, [&] {
        withDevice(identifier, callback, context,
                   [&](std::string const& serial, _id_dev_ifp_emulation_t* ifp) {
                       readToken(usbAPI(), usbTimeout, serial, recoveryPath, ifp, slot,
                                 [&](Token const& t) { t.write(std::string(outPath ? outPath : "")); });
                   });
    });
}

unsigned long VemoAPI::erasetoken(const char* recoveryPath, unsigned char slot,
                                  const char* identifier, _error_msg_t* msg,
                                  log_callback_t callback, void* context)
{
    return runOperation(msg, [&] {
        runComplexJob<XolJobEraseToken>(identifier, callback, context, recoveryPath, slot);
    });
}

unsigned long VemoAPI::setdevicelifecyclestage(const char* recoveryPath, Token& token,
                                               const char* identifier, _error_msg_t* msg,
                                               log_callback_t callback, void* context)
{
    runComplexJob<XolJobSetDeviceLifecycleStage>(identifier, callback, context, recoveryPath,
                                                 token);
    setMessage(msg, "Success");
    return 0;
}

unsigned long VemoAPI::setdevicelifecyclestage(const char* recoveryPath, const char* bytes,
                                               size_t length, const char* identifier,
                                               _error_msg_t* msg, log_callback_t callback,
                                               void* context)
{
    return runOperation(msg, [&] {
        Token token(bytes, length);
        setdevicelifecyclestage(recoveryPath, token, identifier, msg, callback, context);
    });
}

unsigned long VemoAPI::setdevicelifecyclestage2(const char* recoveryPath, const char* tokenPath,
                                                const char* identifier, _error_msg_t* msg,
                                                log_callback_t callback, void* context)
{
    return runOperation(msg, [&] {
        Token token{std::string(tokenPath ? tokenPath : "")};
        setdevicelifecyclestage(recoveryPath, token, identifier, msg, callback, context);
    });
}

unsigned long VemoAPI::oemifpprov(const char* recoveryPath, OemIfpBlock& block,
                                  const char* identifier, _error_msg_t* msg,
                                  log_callback_t callback, void* context)
{
    runComplexJob<XolJobOemIfpProvision>(identifier, callback, context, recoveryPath, block);
    setMessage(msg, "Success");
    return 0;
}

unsigned long VemoAPI::oemifpprov(const char* recoveryPath, const char* bytes, size_t length,
                                  const char* identifier, _error_msg_t* msg,
                                  log_callback_t callback, void* context)
{
    return runOperation(msg, [&] {
        OemIfpBlock block(bytes, length);
        oemifpprov(recoveryPath, block, identifier, msg, callback, context);
    });
}

unsigned long VemoAPI::oemifpprov2(const char* recoveryPath, const char* blockPath,
                                   const char* identifier, _error_msg_t* msg,
                                   log_callback_t callback, void* context)
{
    return runOperation(msg, [&] {
        OemIfpBlock block{std::string(blockPath ? blockPath : "")};
        oemifpprov(recoveryPath, block, identifier, msg, callback, context);
    });
}

unsigned long VemoAPI::gettokenpid(const char* recoveryPath, unsigned int param,
                                   _token_part_id_t* tokenPartId, unsigned int* nonce,
                                   unsigned int* trustedTime, unsigned int* deviceId,
                                   _oem_platform_id_t* oemId, const char* identifier,
                                   _error_msg_t* msg, log_callback_t callback, void* context)
{
    return runOperation(msg, [&] {
        withDevice(identifier, callback, context,
                   [&](std::string const& serial, _id_dev_ifp_emulation_t* ifp) {
                       XolJobGetTokenPartID job(usbAPI(), usbTimeout, serial, recoveryPath, ifp,
                                                param);
                       job.start();
                       job.join();
                       *nonce = job.getNonce();
                       *trustedTime = job.getTrustedTime();
                       *deviceId = job.getDeviceId();
                       copyOut(oemId, sizeof *oemId, job.getOemPlatformId(), 4);
                       copyOut(tokenPartId, sizeof *tokenPartId, job.getTokenPartId(), 12);
                   });
    });
}

unsigned long VemoAPI::getavailabletargets(_soc_device_arr_t* targets, _error_msg_t* msg)
{
    const InFlight op(*this);
    try {
        usbAPI();
        std::list<std::string> ids;
        {
            std::lock_guard<std::recursive_mutex> lock(tableLock);
            for (auto const& entry : deviceTable)
                ids.push_back(entry.first);
        }
        targets->count = 0;
        for (std::string const& id : ids) {
            if (targets->count >= SOC_DEVICE_MAX)
                break;
            copyMessage(targets->devices[targets->count].id, id.c_str(),
                        sizeof targets->devices[targets->count].id);
            ++targets->count;
        }
    } catch (std::exception const& e) {
        setMessage(msg, e.what());
        return 0x30000;
    }
    setMessage(msg, "Success");
    return 0;
}

unsigned long VemoAPI::getavailabletargets(_soc_device_info_arr_t* targets, _error_msg_t* msg)
{
    const InFlight op(*this);
    const unsigned long status = getavailabletargets(&targets->ids, msg);
    if (status != 0)
        return status;
    try {
        for (uint32_t i = 0; i < targets->ids.count; ++i) {
            const std::string serial = getDevice(targets->ids.devices[i].id);
            usbAPI()->GetDeviceInfo(serial, targets->info[i]);
        }
    } catch (VemoException const& e) {
        setMessage(msg, e.what());
        return e.getErrorCode();
    }
    setMessage(msg, "Success");
    return 0;
}

namespace {

template <class Deliver>
void readCardInfo(TolvaneWdAPI* usb, unsigned long timeout, std::string const& serial,
                  const char* recoveryPath, _id_dev_ifp_emulation_t* ifp, unsigned char* devType,
                  unsigned char idx, Deliver&& deliver)
{
    XolJobGetCardInfo job(usb, timeout, serial, recoveryPath, ifp, *devType, idx);
    job.start();
    job.join();
    deliver(job.getDeviceInfo());
    *devType = job.getDeviceType();
}

XolJobReadBootMedia bootMediaJob(TolvaneWdAPI* usb, unsigned long timeout,
                                 std::string const& serial, const char* recoveryPath,
                                 _id_dev_ifp_emulation_t* ifp, unsigned char devType,
                                 unsigned char idx, _content_addr_t const* addr,
                                 std::streambuf* sink = nullptr)
{
    return XolJobReadBootMedia(usb, timeout, serial, recoveryPath, ifp, devType, idx, addr->start,
                               addr->blocks, static_cast<unsigned char>(addr->partition & 0xFF),
                               sink);
}

} // namespace

unsigned long VemoAPI::getcardinfo(const char* recoveryPath, unsigned char* devType,
                                   unsigned char idx, char* buffer, size_t* length,
                                   const char* identifier, _error_msg_t* msg,
                                   log_callback_t callback, void* context)
{
    return runOperation(msg, [&] {
        withDevice(identifier, callback, context,
                   [&](std::string const& serial, _id_dev_ifp_emulation_t* ifp) {
                       readCardInfo(usbAPI(), usbTimeout, serial, recoveryPath, ifp, devType, idx,
                                    [&](DeviceInfo const& info) { info.write(buffer, length); });
                   });
    });
}

unsigned long VemoAPI::getcardinfo2(const char* recoveryPath, unsigned char* devType,
                                    unsigned char idx, const char* outPath,
                                    const char* identifier, _error_msg_t* msg,
                                    log_callback_t callback, void* context)
{
    return runOperation(msg, [&] {
        withDevice(identifier, callback, context,
                   [&](std::string const& serial, _id_dev_ifp_emulation_t* ifp) {
                       readCardInfo(usbAPI(), usbTimeout, serial, recoveryPath, ifp, devType, idx,
                                    [&](DeviceInfo const& info) {
                                        info.write(std::string(outPath ? outPath : ""));
                                    });
                   });
    });
}

unsigned long VemoAPI::readbootmedia(const char* recoveryPath, unsigned char devType,
                                     unsigned char idx, _content_addr_t* addr, char* buffer,
                                     size_t* length, const char* identifier, _error_msg_t* msg,
                                     log_callback_t callback, void* context)
{
    return runOperation(msg, [&] {
        withDevice(identifier, callback, context,
                   [&](std::string const& serial, _id_dev_ifp_emulation_t* ifp) {
                       XolJobReadBootMedia job = bootMediaJob(usbAPI(), usbTimeout, serial,
                                                              recoveryPath, ifp, devType, idx,
                                                              addr);
                       job.start();
                       job.join();
                       job.getData().write(buffer, length);
                   });
    });
}

unsigned long VemoAPI::readbootmedia2(const char* recoveryPath, unsigned char devType,
                                      unsigned char idx, _content_addr_t* addr,
                                      const char* outPath, const char* identifier,
                                      _error_msg_t* msg, log_callback_t callback, void* context)
{
    return runOperation(msg, [&] {
        withDevice(identifier, callback, context,
                   [&](std::string const& serial, _id_dev_ifp_emulation_t* ifp) {
                       // The data goes to the file as it arrives; a path that cannot be
                       // written is still reported only after the read.
                       OutputFile file(outPath ? outPath : "");
                       XolJobReadBootMedia job = bootMediaJob(usbAPI(), usbTimeout, serial,
                                                              recoveryPath, ifp, devType, idx,
                                                              addr, &file.content());
                       job.start();
                       job.join();
                       file.commit();
                   });
    });
}

unsigned long VemoAPI::clearRPMB(const char* recoveryPath, unsigned char devType,
                                 unsigned char idx, const char* identifier, _error_msg_t* msg,
                                 log_callback_t callback, void* context)
{
    return runOperation(msg, [&] {
        runComplexJob<XolJobClearData>(identifier, callback, context, recoveryPath, devType, idx);
    });
}

unsigned long VemoAPI::configpart(const char* recoveryPath, const char* configPath,
                                  unsigned char devType, unsigned char idx,
                                  const char* identifier, _error_msg_t* msg,
                                  log_callback_t callback, void* context)
{
    return runOperation(msg, [&] {
        withDevice(identifier, callback, context,
                   [&](std::string const& serial, _id_dev_ifp_emulation_t* ifp) {
                       auto run = [&](auto& job) {
                           job.start();
                           job.join();
                       };
                       if (devType == DEV_TYPE_EMMC || devType == DEV_TYPE_UFS) {
                           PlatformConfig platform;
                           platform.parse(configPath ? configPath : "");
                           if (devType == DEV_TYPE_UFS) {
                               XolJobConfigureUFSDevice job(usbAPI(), usbTimeout, serial,
                                                            recoveryPath, ifp,
                                                            platform.getDeviceUFS(idx), idx);
                               run(job);
                           } else {
                               XolJobConfigureEMMCDevice job(usbAPI(), usbTimeout, serial,
                                                             recoveryPath, ifp,
                                                             platform.getDeviceEMMC(idx), idx);
                               run(job);
                           }
                       } else if (devType == DEV_TYPE_SPI) {
                           XolJobConfigureSPIDevice job(usbAPI(), usbTimeout, serial, recoveryPath,
                                                        ifp, DeviceConfigSPI(), idx);
                           run(job);
                       } else {
                           throw VemoException(0x30001, "Device type is not supported");
                       }
                   });
    });
}
