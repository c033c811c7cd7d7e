#include "cli_parser.h"

#include <iostream>
#include <stdexcept>

#include "cli_commands.h"
#include "cli_options.h"

namespace {

// Hands the interface object back however the command ends.
class ApiReleaseGuard {
public:
    ApiReleaseGuard() = default;
    ~ApiReleaseGuard() { api_release(); }
    ApiReleaseGuard(const ApiReleaseGuard&) = delete;
    ApiReleaseGuard& operator=(const ApiReleaseGuard&) = delete;
};

} // namespace

CliParser::CliParser() : generalDesc("general options")
{
    generalDesc.add_options()
        ("help", "print help message")
        ("command", po::value<std::string>(), "command to run");

    commands["enumerate"] = new CliCmdEnumerate;
    commands["startover"] = new CliCmdStartover;
    commands["downloadfwos"] = new CliCmdDownloadFwOs;
    commands["writetoken"] = new CliCmdWriteToken;
    commands["erasetoken"] = new CliCmdEraseToken;
    commands["setdevicelifecyclestage"] = new CliCmdSetDeviceLifecycleStage;
    commands["oemifpprovision"] = new CliCmdOemIfpProvision;
    commands["iddevice"] = new CliCmdIdDevice;
    commands["gettokenpid"] = new CliCmdGetTokenPartId;
    commands["readtoken"] = new CliCmdReadToken;
    commands["configpart"] = new CliCmdConfigPart;
    commands["readbootmedia"] = new CliCmdReadBootMedia;
    commands["clearrpmb"] = new CliCmdClearRPMB;
    commands["getcardinfo"] = new CliCmdGetCardInfo;
    commands["fwrec"] = new CliCmdDownloadFwRecovery;
}

CliParser::~CliParser()
{
    for (auto& entry : commands)
        delete entry.second;
}

int CliParser::parse(int argc, char** argv)
{
    std::string word;
    try {
        // Command options are not declared here: they, and their values, pass unseen.
        const po::variables_map vm = readCommandLine(generalDesc, argc, argv);
        if (vm.count("help") != 0 || vm.count("command") == 0) {
            printUsage();
            return 0;
        }
        word = vm["command"].as<std::string>();

        IVemoAPI* api = api_acquire();
        if (api == nullptr) {
            std::cerr << "Unable to allocate an API object" << std::endl;
            return -1;
        }
        ApiReleaseGuard release;
        api->setlogging(true, "");

        CliCmd* cmd = commands.at(word);
        if (cmd->parse(argc, argv) != 0) {
            cmd->toStream(std::cout);
            return -1;
        }
        return cmd->execute(api);
    } catch (const std::out_of_range&) {
        std::cout << "ERROR: bad command name: " << word << std::endl;
        printUsage();
        return -1;
    } catch (const po::error& e) {
        std::cout << "ERROR: " << e.what() << std::endl;
        printUsage();
        return -1;
    }
}

void CliParser::printUsage()
{
    std::cout << generalDesc << std::endl;
    std::cout << "Commands: " << std::endl;
    for (const auto& entry : commands)
        entry.second->toStream(std::cout);
    std::cout << std::endl;
}
