// The fifteen command words of xolcli. Each object holds its option list and, once parsed, which
// options were given and their values; execute runs the word's library operation with them.
#ifndef XOL_CLI_COMMANDS_H
#define XOL_CLI_COMMANDS_H

#include <string>

#include <boost/program_options/options_description.hpp>

#include "cli_cmd.h"
#include "cli_options.h"

// What every command object has: its three operations, its option list and the verbose flag.
#define XOL_CLI_COMMAND(Class)                                                                    \
public:                                                                                           \
    Class();                                                                                      \
    void toStream(std::ostream& os) const override { printOptions(os, desc); }                    \
    int parse(int argc, char** argv) override;                                                    \
    int execute(IVemoAPI* api) override;                                                          \
                                                                                                  \
    po::options_description desc;                                                                 \
    bool verbose = false

// The settings of every command that talks to a device, and the device's identifier. The two
// values are read only when their option was given.
#define XOL_CLI_DEVICE_FIELDS                                                                     \
    bool usbRwDelayGiven = false;                                                                 \
    bool usbRetryCountGiven = false;                                                              \
    unsigned int usbRwDelay = 0;                                                                  \
    unsigned int usbRetryCount = 0;                                                               \
    std::string sn

// enumerate: lists the attached devices.
class CliCmdEnumerate : public CliCmd {
    XOL_CLI_COMMAND(CliCmdEnumerate);
};

// startover: asks the device for its operation and context.
class CliCmdStartover : public CliCmd {
    XOL_CLI_COMMAND(CliCmdStartover);
    XOL_CLI_DEVICE_FIELDS;
    unsigned int flags = 0;
};

// downloadfwos: provisions a firmware image.
class CliCmdDownloadFwOs : public CliCmd {
    XOL_CLI_COMMAND(CliCmdDownloadFwOs);
    XOL_CLI_DEVICE_FIELDS;
    std::string recoveryPath;
    std::string fwImage;
    unsigned int flags = 0;
};

// writetoken: writes a token file into a slot.
class CliCmdWriteToken : public CliCmd {
    XOL_CLI_COMMAND(CliCmdWriteToken);
    XOL_CLI_DEVICE_FIELDS;
    std::string recoveryPath;
    std::string token;
    unsigned int slot = 0;
};

// erasetoken: erases the token of a slot.
class CliCmdEraseToken : public CliCmd {
    XOL_CLI_COMMAND(CliCmdEraseToken);
    XOL_CLI_DEVICE_FIELDS;
    std::string recoveryPath;
    unsigned int slot = 0;
};

// setdevicelifecyclestage: sets the lifecycle stage from a token file.
class CliCmdSetDeviceLifecycleStage : public CliCmd {
    XOL_CLI_COMMAND(CliCmdSetDeviceLifecycleStage);
    XOL_CLI_DEVICE_FIELDS;
    std::string recoveryPath;
    std::string token;
};

// oemifpprovision: provisions an OEM IFP block file.
class CliCmdOemIfpProvision : public CliCmd {
    XOL_CLI_COMMAND(CliCmdOemIfpProvision);
    XOL_CLI_DEVICE_FIELDS;
    std::string recoveryPath;
    std::string token;
};

// iddevice: identifies the device.
class CliCmdIdDevice : public CliCmd {
    XOL_CLI_COMMAND(CliCmdIdDevice);
    XOL_CLI_DEVICE_FIELDS;
    unsigned int flags = 0;
    std::string ifpPath;
    bool ifpPathGiven = false;
};

// gettokenpid: reads the token part id.
class CliCmdGetTokenPartId : public CliCmd {
    XOL_CLI_COMMAND(CliCmdGetTokenPartId);
    XOL_CLI_DEVICE_FIELDS;
    std::string recoveryPath;
    unsigned int flags = 0;
};

// readtoken: reads the token of a slot into a file.
class CliCmdReadToken : public CliCmd {
    XOL_CLI_COMMAND(CliCmdReadToken);
    XOL_CLI_DEVICE_FIELDS;
    std::string recoveryPath;
    std::string path;
    unsigned int slot = 0;
};

// configpart: configures the partitions of a storage device.
class CliCmdConfigPart : public CliCmd {
    XOL_CLI_COMMAND(CliCmdConfigPart);
    XOL_CLI_DEVICE_FIELDS;
    std::string recoveryPath;
    std::string path;
    unsigned int device = 0;
    unsigned int idx = 0;
};

// readbootmedia: reads boot media into a file.
class CliCmdReadBootMedia : public CliCmd {
    XOL_CLI_COMMAND(CliCmdReadBootMedia);
    XOL_CLI_DEVICE_FIELDS;
    std::string recoveryPath;
    std::string path;
    unsigned int device = 0;
    unsigned int idx = 0;
    _content_addr_t contentAddr = {0, 0, 0};
};

// clearrpmb: clears the RPMB data of a storage device.
class CliCmdClearRPMB : public CliCmd {
    XOL_CLI_COMMAND(CliCmdClearRPMB);
    XOL_CLI_DEVICE_FIELDS;
    std::string recoveryPath;
    unsigned int device = 0;
    unsigned int idx = 0;
};

// getcardinfo: reads the card information of a storage device.
class CliCmdGetCardInfo : public CliCmd {
    XOL_CLI_COMMAND(CliCmdGetCardInfo);
    XOL_CLI_DEVICE_FIELDS;
    bool pathGiven = false;
    std::string recoveryPath;
    std::string path;
    unsigned int device = 0;
    unsigned int idx = 0;
};

// fwrec: downloads the recovery module.
class CliCmdDownloadFwRecovery : public CliCmd {
    XOL_CLI_COMMAND(CliCmdDownloadFwRecovery);
    XOL_CLI_DEVICE_FIELDS;
    std::string recoveryPath;
    std::string ifpPath;
    bool ifpPathGiven = false;
};

#endif
