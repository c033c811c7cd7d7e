// The usage text of xolcli as a user sees it, and the option list of each command word.
#ifndef XOL_TEST_EXPECTED_USAGE_H
#define XOL_TEST_EXPECTED_USAGE_H

#include <map>
#include <string>

namespace expected {

inline const std::string kBanner = "CLI version: 3.0.0.1119(DBG)\n";

inline const std::string kCommonOptions =
    "  -v [ --verbose ]      print detailed info\n"
    "  --usb-rw-delay arg    usb read/write delay in milliseconds\n"
    "  --usb-retry-count arg retry attempts for usb operation\n"
    "  --sn arg              usb device serial number\n";

inline const std::string kRecovery = "  --fw_xol arg          path to fw recovery module\n";
inline const std::string kDeviceType =
    "  --device arg          device type(spi = 1, emmc = 2, ufs = 3)\n";
inline const std::string kIndex = "  --idx arg             device index\n";

// Each list as the command prints it: caption, options, an empty line.
inline const std::map<std::string, std::string> kOptionLists = {
    {"clearrpmb", "clearrpmb command options:\n" + kCommonOptions + kRecovery + kDeviceType +
                      kIndex + "\n"},
    {"configpart",
     "configpart command options:\n" + kCommonOptions + kRecovery + kDeviceType +
         "  --path arg            path to configuration file (required for emmc and ufs \n"
         "                        device types)\n" +
         kIndex + "\n"},
    {"downloadfwos", "downloadfwos command options:\n" + kCommonOptions + kRecovery +
                         "  --fw_image arg        path to fw image\n"
                         "  --flags arg           fw download command flags\n"
                         "\n"},
    {"enumerate", "enumerate command options:\n"
                  "  -v [ --verbose ]      print detailed info\n"
                  "\n"},
    {"erasetoken", "erasetoken command options:\n" + kCommonOptions + kRecovery +
                       "  --slot arg            target slot index\n"
                       "\n"},
    {"fwrec", "fwrec command options:\n" + kCommonOptions + kRecovery +
                  "  --ifp-path arg        path to ifp emulation file\n"
                  "\n"},
    {"getcardinfo",
     "getcardinfo command options:\n" + kCommonOptions + kRecovery +
         "  --path arg            path to the target binary, if path not specified output\n"
         "                        to screen\n"
         "  --device arg          device type(emmc = 2, ufs = 3)\n" +
         kIndex + "\n"},
    {"gettokenpid", "gettokenpid command options:\n" + kCommonOptions + kRecovery +
                        "  --flags arg           flags\n"
                        "\n"},
    {"iddevice", "iddevice command options:\n" + kCommonOptions +
                     "  --flags arg           flags\n"
                     "  --ifp-path arg        path to ifp emulation file\n"
                     "\n"},
    {"oemifpprovision", "oemifpprovision command options:\n" + kCommonOptions + kRecovery +
                            "  --token arg           path to the OEM IFP block\n"
                            "\n"},
    {"readbootmedia", "readbootmedia command options:\n" + kCommonOptions + kRecovery +
                          "  --path arg            path to the target binary\n" + kDeviceType +
                          kIndex +
                          "  --start arg           start offset\n"
                          "  --blocks arg          blocks to read\n"
                          "  --part arg            partition index\n"
                          "\n"},
    {"readtoken", "readtoken command options:\n" + kCommonOptions + kRecovery +
                      "  --path arg            target token path\n"
                      "  --slot arg            token slot index\n"
                      "\n"},
    {"setdevicelifecyclestage", "setdevicelifecyclestage command options:\n" + kCommonOptions +
                                    kRecovery +
                                    "  --token arg           path to the token\n"
                                    "\n"},
    {"startover", "startover command options:\n" + kCommonOptions +
                      "  --flags arg           command flags\n"
                      "\n"},
    {"writetoken", "writetoken command options:\n" + kCommonOptions + kRecovery +
                       "  --token arg           path to the token\n"
                       "  --slot arg            target slot index\n"
                       "\n"},
};

// The whole usage text. The lists are spelt out in byte-wise order of the words, not taken from
// the map, so the order is checked too.
inline std::string usage()
{
    std::string text = "general options:\n"
                       "  --help                print help message\n"
                       "  --command arg         command to run\n"
                       "\n"
                       "Commands: \n";
    for (const char* word :
         {"clearrpmb", "configpart", "downloadfwos", "enumerate", "erasetoken", "fwrec",
          "getcardinfo", "gettokenpid", "iddevice", "oemifpprovision", "readbootmedia",
          "readtoken", "setdevicelifecyclestage", "startover", "writetoken"})
        text += kOptionLists.at(word);
    return text + "\n";
}

} // namespace expected

#endif
