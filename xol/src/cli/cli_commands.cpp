// The option list of every command word, and how each reads the command line.
#include "cli_commands.h"

#include "cli_options.h"

namespace {

const char* const kRecoveryText = "path to fw recovery module";
const char* const kDeviceTypeText = "device type(spi = 1, emmc = 2, ufs = 3)";

} // namespace

CliCmdEnumerate::CliCmdEnumerate() : desc("enumerate command options")
{
    desc.add_options()("verbose,v", "print detailed info");
}

CliCmdStartover::CliCmdStartover() : desc("startover command options")
{
    addDeviceOptions(desc, &usbRwDelay, &usbRetryCount, &sn);
    desc.add_options()("flags", u32Value(&flags), "command flags");
}

CliCmdDownloadFwOs::CliCmdDownloadFwOs() : desc("downloadfwos command options")
{
    addDeviceOptions(desc, &usbRwDelay, &usbRetryCount, &sn);
    desc.add_options()
        ("fw_xol", po::value<std::string>(&recoveryPath), kRecoveryText)
        ("fw_image", po::value<std::string>(&fwImage), "path to fw image")
        ("flags", u32Value(&flags), "fw download command flags");
}

CliCmdWriteToken::CliCmdWriteToken() : desc("writetoken command options")
{
    addDeviceOptions(desc, &usbRwDelay, &usbRetryCount, &sn);
    desc.add_options()
        ("fw_xol", po::value<std::string>(&recoveryPath), kRecoveryText)
        ("token", po::value<std::string>(&token)->required(), "path to the token")
        ("slot", u32Value(&slot)->required(), "target slot index");
}

CliCmdEraseToken::CliCmdEraseToken() : desc("erasetoken command options")
{
    addDeviceOptions(desc, &usbRwDelay, &usbRetryCount, &sn);
    desc.add_options()
        ("fw_xol", po::value<std::string>(&recoveryPath), kRecoveryText)
        ("slot", u32Value(&slot)->required(), "target slot index");
}

CliCmdSetDeviceLifecycleStage::CliCmdSetDeviceLifecycleStage()
    : desc("setdevicelifecyclestage command options")
{
    addDeviceOptions(desc, &usbRwDelay, &usbRetryCount, &sn);
    desc.add_options()
        ("fw_xol", po::value<std::string>(&recoveryPath), kRecoveryText)
        ("token", po::value<std::string>(&token)->required(), "path to the token");
}

CliCmdOemIfpProvision::CliCmdOemIfpProvision() : desc("oemifpprovision command options")
{
    addDeviceOptions(desc, &usbRwDelay, &usbRetryCount, &sn);
    desc.add_options()
        ("fw_xol", po::value<std::string>(&recoveryPath), kRecoveryText)
        ("token", po::value<std::string>(&token)->required(), "path to the OEM IFP block");
}

CliCmdIdDevice::CliCmdIdDevice() : desc("iddevice command options")
{
    addDeviceOptions(desc, &usbRwDelay, &usbRetryCount, &sn);
    desc.add_options()
        ("flags", u32Value(&flags), "flags")
        ("ifp-path", po::value<std::string>(&ifpPath), "path to ifp emulation file");
}

CliCmdGetTokenPartId::CliCmdGetTokenPartId() : desc("gettokenpid command options")
{
    addDeviceOptions(desc, &usbRwDelay, &usbRetryCount, &sn);
    desc.add_options()
        ("fw_xol", po::value<std::string>(&recoveryPath), kRecoveryText)
        ("flags", u32Value(&flags), "flags");
}

CliCmdReadToken::CliCmdReadToken() : desc("readtoken command options")
{
    addDeviceOptions(desc, &usbRwDelay, &usbRetryCount, &sn);
    desc.add_options()
        ("fw_xol", po::value<std::string>(&recoveryPath), kRecoveryText)
        ("path", po::value<std::string>(&path)->required(), "target token path")
        ("slot", u32Value(&slot)->required(), "token slot index");
}

CliCmdConfigPart::CliCmdConfigPart() : desc("configpart command options")
{
    addDeviceOptions(desc, &usbRwDelay, &usbRetryCount, &sn);
    desc.add_options()
        ("fw_xol", po::value<std::string>(&recoveryPath), kRecoveryText)
        ("device", u32Value(&device)->required(), kDeviceTypeText)
        ("path", po::value<std::string>(&path),
         "path to configuration file (required for emmc and ufs device types)")
        ("idx", u32Value(&idx), "device index");
}

CliCmdReadBootMedia::CliCmdReadBootMedia() : desc("readbootmedia command options")
{
    addDeviceOptions(desc, &usbRwDelay, &usbRetryCount, &sn);
    desc.add_options()
        ("fw_xol", po::value<std::string>(&recoveryPath), kRecoveryText)
        ("path", po::value<std::string>(&path)->required(), "path to the target binary")
        ("device", u32Value(&device)->required(), kDeviceTypeText)
        ("idx", u32Value(&idx)->required(), "device index")
        ("start", u32Value(&contentAddr.start)->required(), "start offset")
        ("blocks", u32Value(&contentAddr.blocks)->required(), "blocks to read")
        ("part", u32Value(&contentAddr.partition), "partition index");
}

CliCmdClearRPMB::CliCmdClearRPMB() : desc("clearrpmb command options")
{
    addDeviceOptions(desc, &usbRwDelay, &usbRetryCount, &sn);
    desc.add_options()
        ("fw_xol", po::value<std::string>(&recoveryPath), kRecoveryText)
        ("device", u32Value(&device)->required(), kDeviceTypeText)
        ("idx", u32Value(&idx)->required(), "device index");
}

CliCmdGetCardInfo::CliCmdGetCardInfo() : desc("getcardinfo command options")
{
    addDeviceOptions(desc, &usbRwDelay, &usbRetryCount, &sn);
    desc.add_options()
        ("fw_xol", po::value<std::string>(&recoveryPath), kRecoveryText)
        ("path", po::value<std::string>(&path),
         "path to the target binary, if path not specified output to screen")
        ("device", u32Value(&device), "device type(emmc = 2, ufs = 3)")
        ("idx", u32Value(&idx), "device index");
}

CliCmdDownloadFwRecovery::CliCmdDownloadFwRecovery() : desc("fwrec command options")
{
    addDeviceOptions(desc, &usbRwDelay, &usbRetryCount, &sn);
    desc.add_options()
        ("fw_xol", po::value<std::string>(&recoveryPath)->required(), kRecoveryText)
        ("ifp-path", po::value<std::string>(&ifpPath), "path to ifp emulation file");
}

// Reading the command line: the given-flags of each word.

int CliCmdEnumerate::parse(int argc, char** argv)
{
    return parseCommandLine(desc, argc, argv, {{"verbose", &verbose}});
}

int CliCmdGetCardInfo::parse(int argc, char** argv)
{
    std::vector<OptionFlag> flags = deviceFlags(*this);
    flags.push_back({"path", &pathGiven});
    return parseCommandLine(desc, argc, argv, flags);
}

int CliCmdIdDevice::parse(int argc, char** argv)
{
    std::vector<OptionFlag> flags = deviceFlags(*this);
    flags.push_back({"ifp-path", &ifpPathGiven});
    return parseCommandLine(desc, argc, argv, flags);
}

int CliCmdDownloadFwRecovery::parse(int argc, char** argv)
{
    std::vector<OptionFlag> flags = deviceFlags(*this);
    flags.push_back({"ifp-path", &ifpPathGiven});
    return parseCommandLine(desc, argc, argv, flags);
}

int CliCmdStartover::parse(int argc, char** argv)
{
    return parseCommandLine(desc, argc, argv, deviceFlags(*this));
}

int CliCmdDownloadFwOs::parse(int argc, char** argv)
{
    return parseCommandLine(desc, argc, argv, deviceFlags(*this));
}

int CliCmdWriteToken::parse(int argc, char** argv)
{
    return parseCommandLine(desc, argc, argv, deviceFlags(*this));
}

int CliCmdEraseToken::parse(int argc, char** argv)
{
    return parseCommandLine(desc, argc, argv, deviceFlags(*this));
}

int CliCmdSetDeviceLifecycleStage::parse(int argc, char** argv)
{
    return parseCommandLine(desc, argc, argv, deviceFlags(*this));
}

int CliCmdOemIfpProvision::parse(int argc, char** argv)
{
    return parseCommandLine(desc, argc, argv, deviceFlags(*this));
}

int CliCmdGetTokenPartId::parse(int argc, char** argv)
{
    return parseCommandLine(desc, argc, argv, deviceFlags(*this));
}

int CliCmdReadToken::parse(int argc, char** argv)
{
    return parseCommandLine(desc, argc, argv, deviceFlags(*this));
}

int CliCmdConfigPart::parse(int argc, char** argv)
{
    return parseCommandLine(desc, argc, argv, deviceFlags(*this));
}

int CliCmdReadBootMedia::parse(int argc, char** argv)
{
    return parseCommandLine(desc, argc, argv, deviceFlags(*this));
}

int CliCmdClearRPMB::parse(int argc, char** argv)
{
    return parseCommandLine(desc, argc, argv, deviceFlags(*this));
}
