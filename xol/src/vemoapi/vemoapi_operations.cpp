// The device operations. Each runs in the one frame, onDevice: hold the object, look the device
// up, forward its log records to the caller's callback, fetch its stored IFP record when the job
// sends it; then the operation's body declares one JobRun (its job, built and run to the end on
// the caller's thread) and copies the results out. `operation` is that frame inside the error
// boundary; the object forms of the token and block operations, which report by exception, use
// onDevice itself.
#include <atomic>
#include <cstring>
#include <fstream>
#include <utility>

#include "exceptions.h"
#include "file_failure.h"
#include "little_endian.h"
#include "operation_boundary.h"
#include "output_file.h"
#include "secure_buffers.h"
#include "status_codes.h"
#include "tolvane_libusb.h"
#include "platform_config.h"
#include "vemoapi_impl.h"
#include "xol_job_configure.h"
#include "xol_jobs.h"
#include "zub_logger.h"

namespace {

// What the body of a device operation has of its device.
struct DeviceCall {
    VemoAPI& api;
    std::atomic<unsigned long> const& timeout;
    // The connection the look-up found: the job, its IFP record and every transfer are held to
    // it, whatever board takes its serial text later.
    TolvaneConnection const& board;
    // The record stored for the device, for a job that finds it in ROM context; null when none
    // is stored or the operation does not send the stored one.
    _id_dev_ifp_emulation_t* storedIfp;
};

// The one job of a device operation, on the caller's stack. The constructor builds it from the
// transport, the time-out in effect now, the connection and the job's own arguments, and runs it
// to its end on the calling thread; the results are then read through ->. A job without results
// is run by declaring it.
template <class Job>
class JobRun {
public:
    template <class... Args>
    explicit JobRun(DeviceCall const& device, Args&&... args)
        : job(device.api.usbAPI(), device.timeout, device.board, std::forward<Args>(args)...)
    {
        job.start();
        job.join();
    }
    JobRun(JobRun const&) = delete;
    JobRun& operator=(JobRun const&) = delete;

    Job* operator->() { return &job; }

private:
    Job job;
};

} // namespace

template <class Body>
void VemoAPI::onDevice(const char* identifier, log_callback_t callback, void* context,
                       IfpRecord ifp, Body&& body)
{
    const InFlight op(*this);
    const TolvaneConnection board = getDevice(identifier);
    const Operating running(*this, board);
    ZubLogger sink;
    sink.sinkInstall(board.id, callback, context);
    _id_dev_ifp_emulation_t stored;
    bool found = false;
    if (ifp == IfpRecord::stored)
        getIfpEmulation(board, stored, found);
    body(DeviceCall{*this, usbTimeout, board, found ? &stored : nullptr});
}

template <class Body>
unsigned long VemoAPI::operation(_error_msg_t* msg, const char* identifier,
                                 log_callback_t callback, void* context, IfpRecord ifp,
                                 Body&& body)
{
    return runOperation(msg, [&] { onDevice(identifier, callback, context, ifp, body); });
}

namespace {

void copyOut(void* dst, size_t dstSize, void const* src, size_t count)
{
    if (!memcpy_s_x(dst, dstSize, src, count))
        throw status::memcopyFailed();
}

// The caller's IFP record, or 44 zero bytes when it gave none.
_id_dev_ifp_emulation_t callersRecord(_id_dev_ifp_emulation_t const* given)
{
    _id_dev_ifp_emulation_t record;
    std::memset(&record, 0, sizeof record);
    if (given != nullptr)
        copyOut(&record, sizeof record, given, sizeof record);
    return record;
}

// A 32-bit word of the record, least significant byte first: Id Device puts word 0 on the wire in
// that order, so the record's own bytes reach the device unchanged.
uint32_t word(_id_dev_ifp_emulation_t const& record, size_t at)
{
    return getLe(record.data + at, 4);
}

// The OEM platform id deviceid reports: the record's (bytes 16..19) when it has one and the device
// reports the unprogrammed "QWLM", else the device's own.
void const* oemPlatformId(_id_dev_ifp_emulation_t const& record, uint8_t const* reported)
{
    static const uint8_t unprogrammed[4] = {'Q', 'W', 'L', 'M'};
    if (word(record, 16) != 0 && std::memcmp(reported, unprogrammed, 4) == 0)
        return record.data + 16;
    return reported;
}

// Where a read operation puts what its job read: into the caller's buffer, only when it fits,
// with the needed length given back either way (too small a buffer is no failure); or into a
// file, written whole after the read.
class ReadTarget {
public:
    ReadTarget(char* buffer, size_t* length) : buffer(buffer), length(length), path(nullptr) {}
    explicit ReadTarget(const char* path) : buffer(nullptr), length(nullptr), path(path ? path : "")
    {
    }

    void put(Blob const& bytes) const
    {
        if (path != nullptr)
            bytes.write(std::string(path));
        else
            bytes.write(buffer, length);
    }

private:
    char* buffer;
    size_t* length;
    const char* path; // null for the buffer
};

// The body of both readtoken forms.
void readToken(DeviceCall const& device, const char* recoveryPath, unsigned char slot,
               ReadTarget const& to)
{
    JobRun<XolJobReadToken> job(device, recoveryPath, device.storedIfp, slot);
    to.put(job->getToken());
}

// The body of both getcardinfo forms.
void readCardInfo(DeviceCall const& device, const char* recoveryPath, unsigned char* devType,
                  unsigned char idx, ReadTarget const& to)
{
    JobRun<XolJobGetCardInfo> job(device, recoveryPath, device.storedIfp, *devType, idx);
    to.put(job->getDeviceInfo());
    // Only once the information is delivered: an unwritable file leaves the caller's type.
    *devType = job->getDeviceType();
}

// The job of both readbootmedia forms, run; the device takes the low 8 bits of the partition
// field. With a sink the data goes there as it arrives, and the job holds none.
JobRun<XolJobReadBootMedia> readBootMedia(DeviceCall const& device, const char* recoveryPath,
                                          unsigned char devType, unsigned char idx,
                                          _content_addr_t const& addr, std::streambuf* sink)
{
    return JobRun<XolJobReadBootMedia>(device, recoveryPath, device.storedIfp, devType, idx,
                                       addr.start, addr.blocks,
                                       static_cast<unsigned char>(addr.partition & 0xFF), sink);
}

} // namespace

unsigned long VemoAPI::settargetretrycount(unsigned int retryCount, _error_msg_t* msg)
{
    const InFlight op(*this);
    try {
        TolvaneWdAPI* usb = createdTransport();
        try {
            usbAPI();
        } catch (VemoException const&) {
            // The pass whose jobs the time-out refuses runs at the next operation.
        }
        usb->SetRWRetry(retryCount);
    } catch (...) {
        setMessage(msg, status::internalErrorText());
        return VEMO_ERROR_GENERAL;
    }
    setMessage(msg, status::successText());
    return VEMO_SUCCESS;
}

unsigned long VemoAPI::deviceid(unsigned int idParam, _id_dev_ifp_emulation_t* ifpRecord,
                                _oem_platform_id_t* oemId, _platform_id_t* platformId,
                                _id_dev_flags_t* flags, _image_error_values_t* imageErrors,
                                const char* identifier, _error_msg_t* msg,
                                log_callback_t callback, void* context)
{
    return operation(msg, identifier, callback, context, IfpRecord::none,
                     [&](DeviceCall const& device) {
        const _id_dev_ifp_emulation_t record = callersRecord(ifpRecord);
        // Stored before the device is asked anything, so it stays when the job fails.
        setIfpEmulation(device.board, record);
        JobRun<XolJobIdDevice> job(device, idParam, word(record, 0));
        flags->flags = job->getFlags();
        copyOut(oemId, sizeof *oemId, oemPlatformId(record, job->getOemPlatformId()), 4);
        copyOut(platformId, sizeof *platformId, job->getPlatformUniqueId(), 16);
        copyOut(imageErrors, sizeof *imageErrors, job->getImageErrorValues(), 12);
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
        file_failure::openForReading(file, path, "the IFP emulation record");
        file.exceptions(std::ios_base::failbit | std::ios_base::badbit | std::ios_base::eofbit);
        try {
            file.read(reinterpret_cast<char*>(record.data), sizeof record.data);
        } catch (std::ios_base::failure const& e) {
            file_failure::cannotRead(path, file, e);
        }
    });
    if (status != VEMO_SUCCESS)
        return status;
    return deviceid(idParam, &record, oemId, platformId, flags, imageErrors, identifier, msg,
                    callback, context);
}

unsigned long VemoAPI::startover(_startover_cmd_flags_t* flags, unsigned int* currentOp,
                                 unsigned int* currentCtx, const char* identifier,
                                 _error_msg_t* msg, log_callback_t callback, void* context)
{
    return operation(msg, identifier, callback, context, IfpRecord::none,
                     [&](DeviceCall const& device) {
        JobRun<XolJobStartover> job(device, flags->flags);
        *currentOp = job->getCurrentOp();
        *currentCtx = job->getCurrentCtx();
    });
}

unsigned long VemoAPI::downloadfwrecovery(const char* recoveryPath, const char* identifier,
                                          _id_dev_ifp_emulation_t* ifpRecord, _error_msg_t* msg,
                                          log_callback_t callback, void* context)
{
    return operation(msg, identifier, callback, context, IfpRecord::none,
                     [&](DeviceCall const& device) {
        const _id_dev_ifp_emulation_t record = callersRecord(ifpRecord);
        _id_dev_ifp_emulation_t stored;
        bool found = false;
        getIfpEmulation(device.board, stored, found);
        if (!found)
            setIfpEmulation(device.board, record);
        // The caller's own record, not the stored one, goes to the device in this call.
        JobRun<XolJobDownloadFwRecovery> job(device, recoveryPath, ifpRecord);
    });
}

unsigned long VemoAPI::downloadfwos(const char* recoveryPath, const char* fwImagePath,
                                    _prov_fw_image_cmd_flags_t* flags, const char*, const char*,
                                    const char* identifier, _error_msg_t* msg,
                                    log_callback_t callback, void* context)
{
    return operation(msg, identifier, callback, context, IfpRecord::stored,
                     [&](DeviceCall const& device) {
        JobRun<XolJobDownloadFw> job(device, recoveryPath, device.storedIfp, fwImagePath,
                                     flags->flags);
    });
}

unsigned long VemoAPI::writetoken(const char* recoveryPath, Token& token, unsigned char slot,
                                  const char* identifier, _error_msg_t* msg,
                                  log_callback_t callback, void* context)
{
    onDevice(identifier, callback, context, IfpRecord::stored, [&](DeviceCall const& device) {
        JobRun<XolJobWriteToken> job(device, recoveryPath, device.storedIfp, token, slot);
    });
    setMessage(msg, status::successText());
    return VEMO_SUCCESS;
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

unsigned long VemoAPI::readtoken(const char* recoveryPath, char* buffer, size_t* length,
                                 unsigned char slot, const char* identifier, _error_msg_t* msg,
                                 log_callback_t callback, void* context)
{
    return operation(msg, identifier, callback, context, IfpRecord::stored,
                     [&](DeviceCall const& device) {
        readToken(device, recoveryPath, slot, ReadTarget(buffer, length));
    });
}

unsigned long VemoAPI::readtoken2(const char* recoveryPath, const char* outPath,
                                  unsigned char slot, const char* identifier, _error_msg_t* msg,
                                  log_callback_t callback, void* context)
{
    return operation(msg, identifier, callback, context, IfpRecord::stored,
                     [&](DeviceCall const& device) {
        readToken(device, recoveryPath, slot, ReadTarget(outPath));
    });
}

unsigned long VemoAPI::erasetoken(const char* recoveryPath, unsigned char slot,
                                  const char* identifier, _error_msg_t* msg,
                                  log_callback_t callback, void* context)
{
    return operation(msg, identifier, callback, context, IfpRecord::stored,
                     [&](DeviceCall const& device) {
        JobRun<XolJobEraseToken> job(device, recoveryPath, device.storedIfp, slot);
    });
}

unsigned long VemoAPI::setdevicelifecyclestage(const char* recoveryPath, Token& token,
                                               const char* identifier, _error_msg_t* msg,
                                               log_callback_t callback, void* context)
{
    onDevice(identifier, callback, context, IfpRecord::stored, [&](DeviceCall const& device) {
        JobRun<XolJobSetDeviceLifecycleStage> job(device, recoveryPath, device.storedIfp, token);
    });
    setMessage(msg, status::successText());
    return VEMO_SUCCESS;
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
    onDevice(identifier, callback, context, IfpRecord::stored, [&](DeviceCall const& device) {
        JobRun<XolJobOemIfpProvision> job(device, recoveryPath, device.storedIfp, block);
    });
    setMessage(msg, status::successText());
    return VEMO_SUCCESS;
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
    return operation(msg, identifier, callback, context, IfpRecord::stored,
                     [&](DeviceCall const& device) {
        JobRun<XolJobGetTokenPartID> job(device, recoveryPath, device.storedIfp, param);
        *nonce = job->getNonce();
        *trustedTime = job->getTrustedTime();
        *deviceId = job->getDeviceId();
        copyOut(oemId, sizeof *oemId, job->getOemPlatformId(), 4);
        copyOut(tokenPartId, sizeof *tokenPartId, job->getTokenPartId(), 12);
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
            // An entry whose board has gone, its departure not yet taken, names no board.
            for (auto const& entry : deviceTable)
                if (transport->IsLive(entry.second))
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
        return VEMO_ERROR_GENERAL;
    }
    setMessage(msg, status::successText());
    return VEMO_SUCCESS;
}

unsigned long VemoAPI::getavailabletargets(_soc_device_info_arr_t* targets, _error_msg_t* msg)
{
    const InFlight op(*this);
    const unsigned long listed = getavailabletargets(&targets->ids, msg);
    if (listed != VEMO_SUCCESS)
        return listed;
    try {
        for (uint32_t i = 0; i < targets->ids.count; ++i) {
            // The identifiers just listed: a listing identifies no board.
            TolvaneConnection board;
            if (!lookUp(targets->ids.devices[i].id, board))
                throw status::deviceNotFound();
            TolvaneWdAPI* usb = usbAPI();
            usb->GetDeviceInfo(board.serial, targets->info[i]);
            // Read by serial text: a newcomer at a departed board's handle address would lend
            // it its ports.
            if (!usb->IsLive(board))
                throw status::deviceNotFound();
        }
    } catch (VemoException const& e) {
        setMessage(msg, e.what());
        return e.getErrorCode();
    }
    setMessage(msg, status::successText());
    return VEMO_SUCCESS;
}

unsigned long VemoAPI::getcardinfo(const char* recoveryPath, unsigned char* devType,
                                   unsigned char idx, char* buffer, size_t* length,
                                   const char* identifier, _error_msg_t* msg,
                                   log_callback_t callback, void* context)
{
    return operation(msg, identifier, callback, context, IfpRecord::stored,
                     [&](DeviceCall const& device) {
        readCardInfo(device, recoveryPath, devType, idx, ReadTarget(buffer, length));
    });
}

unsigned long VemoAPI::getcardinfo2(const char* recoveryPath, unsigned char* devType,
                                    unsigned char idx, const char* outPath,
                                    const char* identifier, _error_msg_t* msg,
                                    log_callback_t callback, void* context)
{
    return operation(msg, identifier, callback, context, IfpRecord::stored,
                     [&](DeviceCall const& device) {
        readCardInfo(device, recoveryPath, devType, idx, ReadTarget(outPath));
    });
}

unsigned long VemoAPI::readbootmedia(const char* recoveryPath, unsigned char devType,
                                     unsigned char idx, _content_addr_t* addr, char* buffer,
                                     size_t* length, const char* identifier, _error_msg_t* msg,
                                     log_callback_t callback, void* context)
{
    return operation(msg, identifier, callback, context, IfpRecord::stored,
                     [&](DeviceCall const& device) {
        auto job = readBootMedia(device, recoveryPath, devType, idx, *addr, nullptr);
        ReadTarget(buffer, length).put(job->getData());
    });
}

unsigned long VemoAPI::readbootmedia2(const char* recoveryPath, unsigned char devType,
                                      unsigned char idx, _content_addr_t* addr,
                                      const char* outPath, const char* identifier,
                                      _error_msg_t* msg, log_callback_t callback, void* context)
{
    return operation(msg, identifier, callback, context, IfpRecord::stored,
                     [&](DeviceCall const& device) {
        // The data goes to the file as it arrives; a path that cannot be written is still
        // reported only after the read.
        OutputFile file(outPath ? outPath : "");
        readBootMedia(device, recoveryPath, devType, idx, *addr, &file.content());
        file.commit();
    });
}

unsigned long VemoAPI::clearRPMB(const char* recoveryPath, unsigned char devType,
                                 unsigned char idx, const char* identifier, _error_msg_t* msg,
                                 log_callback_t callback, void* context)
{
    return operation(msg, identifier, callback, context, IfpRecord::stored,
                     [&](DeviceCall const& device) {
        JobRun<XolJobClearData> job(device, recoveryPath, device.storedIfp, devType, idx);
    });
}

namespace {

// The Configure Device job, in a frame of its own that the configuration's parse has left
// before: the XML reader descends once per level the file nests, and that recursion must not
// lie below the job's message buffers on the caller's stack.
template <class Job, class Config>
[[gnu::noinline]] void configureDevice(DeviceCall const& device, const char* recoveryPath,
                                       Config const& config, unsigned char idx)
{
    JobRun<Job> job(device, recoveryPath, device.storedIfp, config, idx);
}

} // namespace

unsigned long VemoAPI::configpart(const char* recoveryPath, const char* configPath,
                                  unsigned char devType, unsigned char idx,
                                  const char* identifier, _error_msg_t* msg,
                                  log_callback_t callback, void* context)
{
    return operation(msg, identifier, callback, context, IfpRecord::stored,
                     [&](DeviceCall const& device) {
        if (devType == DEV_TYPE_SPI) {
            // SPI flash gets the default configuration: the file is not read.
            configureDevice<XolJobConfigureSPIDevice>(device, recoveryPath, DeviceConfigSPI(),
                                                      idx);
            return;
        }
        if (devType != DEV_TYPE_EMMC && devType != DEV_TYPE_UFS)
            throw status::deviceTypeNotSupported();
        PlatformConfig platform;
        platform.parse(configPath ? configPath : "");
        if (devType == DEV_TYPE_UFS)
            configureDevice<XolJobConfigureUFSDevice>(device, recoveryPath,
                                                      platform.getDeviceUFS(idx), idx);
        else
            configureDevice<XolJobConfigureEMMCDevice>(device, recoveryPath,
                                                       platform.getDeviceEMMC(idx), idx);
    });
}
