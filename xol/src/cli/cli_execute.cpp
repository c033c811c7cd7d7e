// What each command word runs in the library and prints.
#include <algorithm>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>

#include <boost/format.hpp>

#include "cli_commands.h"
#include "cli_frame.h"
#include "cli_printers.h"
#include "status_codes.h"
#include "xol_prot_utils.h"

namespace {

// Everything the library reports of one listed device beyond its identifier.
void printLocation(const _soc_device_info_t& info)
{
    if (info.type == 1) {
        std::cout << "\tBus number: " << static_cast<unsigned int>(info.usb.busNumber)
                  << std::endl;
        // portCount comes from the library; never read past the record's seven ports.
        const int ports = std::clamp<int>(info.usb.portCount, 0,
                                          static_cast<int>(sizeof info.usb.portNumbers));
        for (int j = 0; j < ports; ++j)
            std::cout << "\tPort " << j << ": "
                      << static_cast<unsigned int>(info.usb.portNumbers[j]) << std::endl;
    } else if (info.type == 0) {
        std::cout << "\tUnique ID: " << info.tree.uniqueId << std::endl;
        std::cout << "\tRoot hub number: " << info.tree.rootHubNumber << std::endl;
        for (int j = 0; j < 5; ++j)
            std::cout << "\tPort " << j << ": " << info.tree.ports[j] << std::endl;
        const size_t nameMax = sizeof info.tree.driverKeyName / sizeof(wchar_t);
        const std::wstring name(info.tree.driverKeyName,
                                std::find(info.tree.driverKeyName,
                                          info.tree.driverKeyName + nameMax, L'\0'));
        std::wcout << L"\tDevicePropertyDriverKeyName: " << name << std::endl;
    }
    std::cout << std::endl;
}

// Room for the largest card-information record.
constexpr size_t kCardBufferSize = sizeof(_card_info_emmc_t);

// A record is shown only when the answer fills it: a shorter answer would print bytes the
// device never sent, a longer one was not copied at all.
template <class Record> void printCardRecord(const char* buffer, size_t length)
{
    if (length < sizeof(Record) || length > kCardBufferSize)
        return;
    Record record;
    std::memcpy(&record, buffer, sizeof record);
    std::cout << std::endl;
    std::cout << record << std::endl;
}

void printCardInfo(unsigned char type, const char* buffer, size_t length)
{
    if (type == DEV_TYPE_EMMC) {
        printCardRecord<_card_info_emmc_t>(buffer, length);
    } else if (type == DEV_TYPE_UFS) {
        if (length == sizeof(_card_info_ufs_v2_t))
            printCardRecord<_card_info_ufs_v2_t>(buffer, length);
        else
            printCardRecord<_card_info_ufs_t>(buffer, length);
    } else if (type == DEV_TYPE_SPI) {
        printCardRecord<_card_info_spi_t>(buffer, length);
    }
}

} // namespace

int CliCmdEnumerate::execute(IVemoAPI* api)
{
    const char* const op = "DEVICE ENUMERATION";
    std::cout << "Starting " << op << " procedure" << std::endl;
    _soc_device_info_arr_t list{};
    _error_msg_t msg{};
    if (reportOutcome(op, api->getavailabletargets(&list, &msg), msg) != 0)
        return -1;
    const uint32_t count = std::min<uint32_t>(list.ids.count, SOC_DEVICE_MAX);
    for (uint32_t i = 0; i < count; ++i) {
        std::cout << boost::format("%u. ") % (i + 1) << list.ids.devices[i] << std::endl;
        if (verbose)
            printLocation(list.info[i]);
    }
    return 0;
}

int CliCmdStartover::execute(IVemoAPI* api)
{
    DeviceCall call(api, "STARTOVER", *this);
    call.start();
    printHexLine("Flags: %#x", flags);
    _startover_cmd_flags_t request{flags};
    unsigned int currentOperation = 0;
    unsigned int currentContext = 0;
    if (call.finish(call.run(&IVemoAPI::startover, &request, &currentOperation, &currentContext))
        != 0)
        return -1;
    printHexLine("Current operation: %#x", currentOperation);
    printHexLine("Current context: %#x", currentContext);
    return 0;
}

int CliCmdDownloadFwOs::execute(IVemoAPI* api)
{
    DeviceCall call(api, "DOWNLOADFWOS", *this);
    call.start();
    _prov_fw_image_cmd_flags_t request{flags};
    return call.finish(call.run(&IVemoAPI::downloadfwos, recoveryPath.c_str(), fwImage.c_str(),
                                &request, nullptr, nullptr));
}

int CliCmdWriteToken::execute(IVemoAPI* api)
{
    DeviceCall call(api, "WRITE TOKEN", *this);
    call.start();
    return call.finish(
        call.run(&IVemoAPI::writetoken2, recoveryPath.c_str(), token.c_str(), lowByte(slot)));
}

int CliCmdEraseToken::execute(IVemoAPI* api)
{
    DeviceCall call(api, "ERASE TOKEN", *this);
    call.start();
    return call.finish(call.run(&IVemoAPI::erasetoken, recoveryPath.c_str(), lowByte(slot)));
}

int CliCmdSetDeviceLifecycleStage::execute(IVemoAPI* api)
{
    DeviceCall call(api, "SET DEVICE LIFECYCLE STAGE", *this);
    call.start();
    return call.finish(
        call.run(&IVemoAPI::setdevicelifecyclestage2, recoveryPath.c_str(), token.c_str()));
}

int CliCmdOemIfpProvision::execute(IVemoAPI* api)
{
    DeviceCall call(api, "OEM IFP PROVISION", *this);
    call.start();
    return call.finish(call.run(&IVemoAPI::oemifpprov2, recoveryPath.c_str(), token.c_str()));
}

int CliCmdIdDevice::execute(IVemoAPI* api)
{
    DeviceCall call(api, "ID DEVICE", *this);
    call.start();
    printHexLine("Flags: %#x", flags);
    _oem_platform_id_t oemId{};
    _platform_id_t platformId{};
    _id_dev_flags_t responseFlags{};
    _image_error_values_t imageErrors{};
    _id_dev_ifp_emulation_t record{};
    const unsigned long status =
        ifpPathGiven ? call.run(&IVemoAPI::deviceid2, flags, ifpPath.c_str(), &oemId,
                                &platformId, &responseFlags, &imageErrors)
                     : call.run(&IVemoAPI::deviceid, flags, &record, &oemId, &platformId,
                                &responseFlags, &imageErrors);
    if (call.finish(status) != 0)
        return -1;
    printHexLine("Response flags: %#x", responseFlags.flags);
    std::cout << "OEM platform ID: " << oemId << std::endl;
    std::cout << "Unique platform ID: " << platformId << std::endl;
    std::cout << "Image errors: " << imageErrors << std::endl;
    return 0;
}

int CliCmdGetTokenPartId::execute(IVemoAPI* api)
{
    DeviceCall call(api, "GET TOKEN PART ID", *this);
    call.start();
    printHexLine("Flags: %#x", flags);
    _token_part_id_t tokenPartId{};
    unsigned int nonce = 0;
    unsigned int trustedTime = 0;
    unsigned int deviceId = 0;
    _oem_platform_id_t oemId{};
    if (call.finish(call.run(&IVemoAPI::gettokenpid, recoveryPath.c_str(), flags, &tokenPartId,
                             &nonce, &trustedTime, &deviceId, &oemId))
        != 0)
        return -1;
    std::cout << "OEM platform ID: " << oemId << std::endl;
    printHexLine("Device ID: %#x", deviceId);
    std::cout << "Token Part ID: " << tokenPartId << std::endl;
    printHexLine("Trusted time: %#x", trustedTime);
    printHexLine("Nonce: %#x", nonce);
    return 0;
}

int CliCmdReadToken::execute(IVemoAPI* api)
{
    DeviceCall call(api, "READ TOKEN", *this);
    call.start();
    printHexLine("Slot: %#x", slot);
    return call.finish(
        call.run(&IVemoAPI::readtoken2, recoveryPath.c_str(), path.c_str(), lowByte(slot)));
}

int CliCmdConfigPart::execute(IVemoAPI* api)
{
    DeviceCall call(api, "CONFIG DEVICE", *this);
    std::cout << "Device serial: " << sn << std::endl;
    call.start();
    printHexLine("Device type: %#x", device);
    printHexLine("Device index: %#x", idx);
    return call.finish(call.run(&IVemoAPI::configpart, recoveryPath.c_str(), path.c_str(),
                                lowByte(device), lowByte(idx)));
}

int CliCmdReadBootMedia::execute(IVemoAPI* api)
{
    DeviceCall call(api, "READ BOOT MEDIA", *this);
    call.start();
    printHexLine("Device type: %#x", device);
    printHexLine("Device index: %#x", idx);
    printHexLine("Start offset: %#x", contentAddr.start);
    printHexLine("Blocks to read: %#x", contentAddr.blocks);
    printHexLine("Partition index: %#x", contentAddr.partition);
    _content_addr_t address = contentAddr;
    return call.finish(call.run(&IVemoAPI::readbootmedia2, recoveryPath.c_str(), lowByte(device),
                                lowByte(idx), &address, path.c_str()));
}

int CliCmdClearRPMB::execute(IVemoAPI* api)
{
    DeviceCall call(api, "CLEAR RPMB", *this);
    call.start();
    printHexLine("Device type: %#x", device);
    printHexLine("Device index: %#x", idx);
    return call.finish(
        call.run(&IVemoAPI::clearRPMB, recoveryPath.c_str(), lowByte(device), lowByte(idx)));
}

int CliCmdGetCardInfo::execute(IVemoAPI* api)
{
    DeviceCall call(api, "GET CARD INFO", *this);
    call.start();
    if (device != 0)
        printHexLine("Device type: %#x", device);
    printHexLine("Device index: %#x", idx);
    unsigned char cardType = lowByte(device);
    if (pathGiven) {
        const unsigned long status = call.run(&IVemoAPI::getcardinfo2, recoveryPath.c_str(),
                                              &cardType, lowByte(idx), path.c_str());
        if (status == 0 && device == 0)
            std::cout << "Device type: " << static_cast<unsigned int>(cardType) << std::endl;
        return call.finish(status);
    }
    char buffer[kCardBufferSize] = {};
    size_t length = sizeof buffer;
    const unsigned long status = call.run(&IVemoAPI::getcardinfo, recoveryPath.c_str(),
                                          &cardType, lowByte(idx), buffer, &length);
    if (status == 0) {
        if (device == 0)
            std::cout << "Device type: " << static_cast<unsigned int>(cardType) << std::endl;
        else if (cardType == 0)
            cardType = lowByte(device);
        printCardInfo(cardType, buffer, length);
    }
    return call.finish(status);
}

int CliCmdDownloadFwRecovery::execute(IVemoAPI* api)
{
    DeviceCall call(api, "DOWNLOAD FW RECOVERY MODULE", *this);
    call.start();
    _id_dev_ifp_emulation_t record{};
    if (ifpPathGiven) {
        try {
            std::ifstream in;
            in.exceptions(std::ios::failbit | std::ios::badbit | std::ios::eofbit);
            in.open(ifpPath, std::ios::binary);
            in.read(reinterpret_cast<char*>(record.data), sizeof record.data);
        } catch (const std::exception&) {
            return VEMO_ERROR_GENERAL;
        }
    }
    return call.finish(api->downloadfwrecovery(recoveryPath.c_str(), call.identifier(), &record,
                                               call.msg(), call.callback(), call.context()));
}
