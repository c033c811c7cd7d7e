#include "cli_options.h"

#include <iostream>

namespace {

class U32Value : public po::typed_value<unsigned int> {
public:
    explicit U32Value(unsigned int* field) : po::typed_value<unsigned int>(field) {}

    void xparse(boost::any& store, const std::vector<std::string>& tokens) const override
    {
        for (const std::string& token : tokens) {
            if (!token.empty() && token[0] == '-')
                throw po::invalid_option_value(token);
        }
        po::typed_value<unsigned int>::xparse(store, tokens);
    }
};

} // namespace

po::typed_value<unsigned int>* u32Value(unsigned int* field)
{
    return new U32Value(field);
}

void addDeviceOptions(po::options_description& desc, unsigned int* usbRwDelay,
                      unsigned int* usbRetryCount, std::string* sn)
{
    desc.add_options()
        ("verbose,v", "print detailed info")
        ("usb-rw-delay", u32Value(usbRwDelay), "usb read/write delay in milliseconds")
        ("usb-retry-count", u32Value(usbRetryCount), "retry attempts for usb operation")
        ("sn", po::value<std::string>(sn), "usb device serial number");
}

po::variables_map readCommandLine(const po::options_description& desc, int argc, char** argv)
{
    po::variables_map vm;
    po::store(po::command_line_parser(argc, argv).options(desc).allow_unregistered().run(), vm);
    po::notify(vm);
    return vm;
}

int parseCommandLine(const po::options_description& desc, int argc, char** argv,
                     const std::vector<OptionFlag>& flags)
{
    try {
        const po::variables_map vm = readCommandLine(desc, argc, argv);
        for (const OptionFlag& flag : flags)
            *flag.given = vm.count(flag.option) != 0;
    } catch (const po::error& e) {
        std::cout << "ERROR: " << e.what() << std::endl;
        return -1;
    }
    return 0;
}

void printOptions(std::ostream& os, const po::options_description& desc)
{
    os << desc << std::endl;
}
