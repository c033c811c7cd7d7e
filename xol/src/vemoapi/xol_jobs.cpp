#include "xol_jobs.h"

#include <fstream>
#include <stdexcept>

#include "file_failure.h"

XolJobIdDevice::XolJobIdDevice(TolvaneWdAPI* transport, unsigned long timeoutMs,
                               TolvaneConnection const& board, unsigned int first, unsigned int second)
    : XolJobV2(transport, timeoutMs, board), first(first), second(second)
{
}

void XolJobIdDevice::run()
{
    log("Id device operation started");
    log("Sending \"Id Device\" XoL command");
    response = api().IdDevice(first, second);
    log("Success");
    log("Sending \"start over\" XoL command to check if we are in ROM or XOL ctx");
    if (startover() == DEVICE_CTX_ROM) {
        log("In ROM ctx, OEM Platform Id might be invalid. cleaning it before returning to user. ");
        response->clearOemPlatformId();
    }
    log("Id device operation had been accomplished succesfully");
}

unsigned int XolJobIdDevice::getFlags() const
{
    requireValid();
    return response->getFlags();
}

uint8_t const* XolJobIdDevice::getImageErrorValues() const
{
    requireValid();
    return response->getImageErrorValues();
}

uint8_t const* XolJobIdDevice::getOemPlatformId() const
{
    requireValid();
    return response->getOemPlatformId();
}

uint8_t const (&XolJobIdDevice::getPlatformUniqueId() const)[16]
{
    requireValid();
    return response->getPlatformUniqueId();
}

XolJobStartover::XolJobStartover(TolvaneWdAPI* transport, unsigned long timeoutMs,
                                 TolvaneConnection const& board, unsigned int value)
    : XolJobV2(transport, timeoutMs, board), value(value)
{
}

void XolJobStartover::run()
{
    log("Startover operation started");
    log("Send XoL command Startover");
    response = api().StartOver(value);
    log("Success");
    log("Startover operation had been accomplished succesfully");
}

unsigned int XolJobStartover::getCurrentOp() const
{
    requireValid();
    return response->getCurrentOp();
}

unsigned int XolJobStartover::getCurrentCtx() const
{
    requireValid();
    return response->getCurrentCtx();
}

XolJobGetTokenPartID::XolJobGetTokenPartID(TolvaneWdAPI* transport, unsigned long timeoutMs,
                                           TolvaneConnection const& board, char const* recoveryPath,
                                           _id_dev_ifp_emulation_t* ifpRecord, unsigned int value)
    : XolJobComplexV2(transport, timeoutMs, board, recoveryPath, ifpRecord), value(value)
{
}

void XolJobGetTokenPartID::run()
{
    log("Get token part ID operation started");
    switchDeviceCtx(DEVICE_CTX_XOL);
    log("Sending \"Get Token Part ID\" XoL command");
    response = api().GetTokenPartId(value);
    log("Success");
    log("Get token part ID operation had been accomplished succesfully");
}

uint8_t const* XolJobGetTokenPartID::getTokenPartId() const
{
    requireValid();
    return response->getTokenPartId();
}

unsigned int XolJobGetTokenPartID::getNonce() const
{
    requireValid();
    return response->getNonce();
}

unsigned int XolJobGetTokenPartID::getTrustedTime() const
{
    requireValid();
    return response->getTrustedTime();
}

unsigned int XolJobGetTokenPartID::getDeviceId() const
{
    requireValid();
    return response->getDeviceId();
}

uint8_t const* XolJobGetTokenPartID::getOemPlatformId() const
{
    requireValid();
    return response->getOemPlatformId();
}

XolJobReadToken::XolJobReadToken(TolvaneWdAPI* transport, unsigned long timeoutMs,
                                 TolvaneConnection const& board, char const* recoveryPath,
                                 _id_dev_ifp_emulation_t* ifpRecord, unsigned char slot)
    : XolJobComplexV2(transport, timeoutMs, board, recoveryPath, ifpRecord), slot(slot)
{
}

void XolJobReadToken::run()
{
    log("Read token operation started");
    switchDeviceCtx(DEVICE_CTX_XOL);
    log("Sending \"Read Token\" XoL command");
    response = api().ReadToken(slot);
    log("Success");
    log("Read token operation had been accomplished succesfully");
}

Token const& XolJobReadToken::getToken()
{
    requireValid();
    return response->getToken();
}

XolJobReadBootMedia::XolJobReadBootMedia(TolvaneWdAPI* transport, unsigned long timeoutMs,
                                         TolvaneConnection const& board, char const* recoveryPath,
                                         _id_dev_ifp_emulation_t* ifpRecord, unsigned char type,
                                         unsigned char index, unsigned int start,
                                         unsigned int count, unsigned char partition,
                                         std::streambuf* sink)
    : XolJobComplexV2(transport, timeoutMs, board, recoveryPath, ifpRecord), type(type),
      index(index), startBlock(start), count(count), partition(partition), sink(sink)
{
}

void XolJobReadBootMedia::run()
{
    log("Read boot media operation started");
    switchDeviceCtx(DEVICE_CTX_XOL);
    log("Sending \"Read Boot Media\" XoL command");
    response = sink != nullptr
                   ? api().ReadBootMedia(type, index, startBlock, count, partition, *sink)
                   : api().ReadBootMedia(type, index, startBlock, count, partition);
    log("Success");
    log("Read boot media operation had been accomplished succesfully");
}

Blob const& XolJobReadBootMedia::getData() const
{
    requireValid();
    return response->getData();
}

XolJobClearData::XolJobClearData(TolvaneWdAPI* transport, unsigned long timeoutMs,
                                 TolvaneConnection const& board, char const* recoveryPath,
                                 _id_dev_ifp_emulation_t* ifpRecord, unsigned char type,
                                 unsigned char index)
    : XolJobComplexV2(transport, timeoutMs, board, recoveryPath, ifpRecord), type(type),
      index(index)
{
}

void XolJobClearData::run()
{
    log("Clear data operation started");
    switchDeviceCtx(DEVICE_CTX_XOL);
    log("Sending \"Clear Data\" XoL command");
    response = api().ClearData(type, index);
    log("Success");
    log("Clear data operation had been accomplished succesfully");
}

XolJobGetCardInfo::XolJobGetCardInfo(TolvaneWdAPI* transport, unsigned long timeoutMs,
                                     TolvaneConnection const& board, char const* recoveryPath,
                                     _id_dev_ifp_emulation_t* ifpRecord, unsigned char type,
                                     unsigned char index)
    : XolJobComplexV2(transport, timeoutMs, board, recoveryPath, ifpRecord), type(type),
      index(index)
{
}

void XolJobGetCardInfo::run()
{
    log("Get card info operation started");
    switchDeviceCtx(DEVICE_CTX_XOL);
    log("Sending \"Get Card Info\" XoL command");
    response = api().GetCardInfo(type, index);
    log("Success");
    log("Get card info operation had been accomplished succesfully");
}

DeviceInfo const& XolJobGetCardInfo::getDeviceInfo() const
{
    requireValid();
    return response->getDeviceInfo();
}

unsigned char const& XolJobGetCardInfo::getDeviceType() const
{
    requireValid();
    return response->getDeviceType();
}

void XolJobDownloadFwRecovery::run()
{
    log("FW recovery module download operation started");
    switchDeviceCtx(DEVICE_CTX_XOL);
    log("FW recovery module download operation had been accomplished succesfully");
}

XolJobOemIfpProvision::XolJobOemIfpProvision(TolvaneWdAPI* transport, unsigned long timeoutMs,
                                             TolvaneConnection const& board, char const* recoveryPath,
                                             _id_dev_ifp_emulation_t* ifpRecord,
                                             OemIfpBlock& block)
    : XolJobComplexV2(transport, timeoutMs, board, recoveryPath, ifpRecord),
      block(std::move(block))
{
}

void XolJobOemIfpProvision::run()
{
    log("OEM IFP provision operation started");
    switchDeviceCtx(DEVICE_CTX_XOL);
    log("Send XoL command OEM IFP provision");
    api().OemIfpProvision(block);
    log("Success");
    log("OEM IFP provision operation had been accomplished succesfully");
}

XolJobSetDeviceLifecycleStage::XolJobSetDeviceLifecycleStage(
    TolvaneWdAPI* transport, unsigned long timeoutMs, TolvaneConnection const& board,
    char const* recoveryPath, _id_dev_ifp_emulation_t* ifpRecord, Token& token)
    : XolJobComplexV2(transport, timeoutMs, board, recoveryPath, ifpRecord),
      token(std::move(token))
{
}

void XolJobSetDeviceLifecycleStage::run()
{
    log("Set device lifecycle stage operation started");
    switchDeviceCtx(DEVICE_CTX_XOL);
    log("Send XoL command Set Device Lifecycle Stage");
    api().SetDeviceLifecycleStage(token);
    log("Success");
    log("Set device lifecycle stage operation had been accomplished succesfully");
}

XolJobWriteToken::XolJobWriteToken(TolvaneWdAPI* transport, unsigned long timeoutMs,
                                   TolvaneConnection const& board, char const* recoveryPath,
                                   _id_dev_ifp_emulation_t* ifpRecord, Token& token,
                                   unsigned char slot)
    : XolJobComplexV2(transport, timeoutMs, board, recoveryPath, ifpRecord),
      token(std::move(token)), slot(slot)
{
}

void XolJobWriteToken::run()
{
    log("Write token operation started");
    switchDeviceCtx(DEVICE_CTX_XOL);
    log("Send XoL command WriteToken");
    api().WriteToken(token, slot);
    log("Success");
    log("Write token operation had been accomplished succesfully");
}

namespace {

char const* requirePath(char const* path)
{
    if (path == nullptr)
        throw std::logic_error("Firmware image path is null");
    return path;
}

} // namespace

XolJobDownloadFw::XolJobDownloadFw(TolvaneWdAPI* transport, unsigned long timeoutMs,
                                   TolvaneConnection const& board, char const* recoveryPath,
                                   _id_dev_ifp_emulation_t* ifpRecord, char const* imagePath,
                                   unsigned int flags)
    : XolJobComplexV2(transport, timeoutMs, board, recoveryPath, ifpRecord), flags(flags),
      imagePath(requirePath(imagePath))
{
}

void XolJobDownloadFw::run()
{
    log("FW image download operation started");
    switchDeviceCtx(DEVICE_CTX_XOL);
    std::ifstream image;
    file_failure::openForReading(image, imagePath, "the firmware image");
    log("Sending XoL command Provision FW Image");
    try {
        api().ProvisionFwImage(&image, flags);
    } catch (std::ios_base::failure const& e) {
        file_failure::cannotRead(imagePath, image, e);
    }
    log("Success");
    image.close();
    log("FW image download operation had been accomplished succesfully");
}

XolJobEraseToken::XolJobEraseToken(TolvaneWdAPI* transport, unsigned long timeoutMs,
                                   TolvaneConnection const& board, char const* recoveryPath,
                                   _id_dev_ifp_emulation_t* ifpRecord, unsigned char slot)
    : XolJobComplexV2(transport, timeoutMs, board, recoveryPath, ifpRecord), slot(slot)
{
}

void XolJobEraseToken::run()
{
    log("Erase token operation started");
    switchDeviceCtx(DEVICE_CTX_XOL);
    log("Sending XoL command Erase Token");
    api().EraseToken(slot);
    log("Success");
    log("Erase token operation had been accomplished succesfully");
}
