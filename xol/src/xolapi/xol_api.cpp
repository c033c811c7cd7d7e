#include "xol_api.h"

#include <boost/log/attributes/constant.hpp>

#include "exceptions.h"
#include "secure_buffers.h"
#include "xol_download_cmds.h"
#include "xol_simple_cmds.h"
#include "xol_upload_cmds.h"

XolAPI::XolAPI(TolvaneWdAPI* transport, std::string const& serial)
    : transport(transport),
      logger(boost::log::keywords::channel = std::string("XOL"),
             boost::log::keywords::severity = xollog::severity::trace),
      serial(serial), connection(0), protocolVersion(0), timeout(5000)
{
    logger.add_attribute("serial_number", boost::log::attributes::constant<std::string>(serial));
}

XolAPI::~XolAPI() = default;

void XolAPI::set_timeout(unsigned long ms)
{
    if (ms < 200)
        throw VemoException(0x30006, "Timeout value is too small");
    timeout = ms;
}

void XolAPI::set_protocol(unsigned int const& version)
{
    protocolVersion = version;
}

std::set<unsigned int> const& XolAPI::getSupportedProtocolVersions()
{
    static const std::set<unsigned int> versions{0, 1};
    return versions;
}

namespace {

template <class Cmd, class... Args>
auto run(XolAPI& api, Args&&... args)
{
    Cmd cmd(api, std::forward<Args>(args)...);
    cmd.exchange();
    return cmd.getResponse();
}

} // namespace

std::shared_ptr<XolAPI::IdDeviceResponse> XolAPI::IdDevice(unsigned int first, unsigned int second)
{
    return run<IdDeviceXolCmd>(*this, first, second);
}

std::shared_ptr<XolAPI::Response> XolAPI::DownloadRecoveryModule(std::istream* image)
{
    return run<DownloadRecoveryModuleXolCmd>(*this, image);
}

std::shared_ptr<XolAPI::Response> XolAPI::ClearData(unsigned char type, unsigned char index)
{
    return run<ClearDataXolCmd>(*this, type, index);
}

std::shared_ptr<XolAPI::Response> XolAPI::ConfigureDevice(IBlob& request, unsigned char type,
                                                          unsigned char index)
{
    return run<ConfigureDeviceXolCmd>(*this, request, type, index);
}

std::shared_ptr<XolAPI::GetCardInfoResponse> XolAPI::GetCardInfo(unsigned char type,
                                                                 unsigned char index)
{
    return run<GetCardInfoXolCmd>(*this, type, index);
}

std::shared_ptr<XolAPI::StartOverResponse> XolAPI::StartOver(unsigned int flags)
{
    return run<StartOverXolCmd>(*this, flags);
}

std::shared_ptr<XolAPI::Response> XolAPI::OemIfpProvision(OemIfpBlock& block)
{
    return run<OemIfpProvisionXolCmd>(*this, block);
}

std::shared_ptr<XolAPI::Response> XolAPI::ProvisionFwImage(std::istream* image, unsigned int flags)
{
    return run<ProvisionFwImageXolCmd>(*this, image, flags);
}

std::shared_ptr<XolAPI::Response> XolAPI::XolIfpEmulation(_id_dev_ifp_emulation_t* record)
{
    return run<XolIfpEmulationXolCmd>(*this, record);
}

std::shared_ptr<XolAPI::SetProtocolResponse> XolAPI::SetProtocol(unsigned int const& version)
{
    return run<SetProtocolXolCmd>(*this, version);
}

std::shared_ptr<XolAPI::Response> XolAPI::SetDeviceLifecycleStage(Token& token)
{
    return run<ChangeDeviceLifecycleXolCmd>(*this, token);
}

std::shared_ptr<XolAPI::GetTokenPartIdResponse> XolAPI::GetTokenPartId(unsigned int parameter)
{
    return run<GetTokenPartIdXolCmd>(*this, parameter);
}

std::shared_ptr<XolAPI::ReadTokenResponse> XolAPI::ReadToken(unsigned char slot)
{
    return run<ReadTokenXolCmd>(*this, slot);
}

std::shared_ptr<XolAPI::Response> XolAPI::WriteToken(Token& token, unsigned char slot)
{
    return run<WriteTokenXolCmd>(*this, token, slot);
}

std::shared_ptr<XolAPI::Response> XolAPI::EraseToken(unsigned char slot)
{
    return run<EraseTokenXolCmd>(*this, slot);
}

std::shared_ptr<XolAPI::ReadBootMediaResponse> XolAPI::ReadBootMedia(
    unsigned char type, unsigned char index, unsigned int start, unsigned int blocks,
    unsigned char partition)
{
    return run<ReadBootMediaXolCmd>(*this, type, index, partition, start, blocks);
}

std::shared_ptr<XolAPI::ReadBootMediaResponse> XolAPI::ReadBootMedia(
    unsigned char type, unsigned char index, unsigned int start, unsigned int blocks,
    unsigned char partition, std::streambuf& sink)
{
    return run<ReadBootMediaXolCmd>(*this, type, index, partition, start, blocks, &sink);
}

void XolAPI::IdDeviceResponse::parse(void const* data, size_t)
{
    auto const* d = static_cast<uint8_t const*>(data);
    memcpy_s_x(oemPlatformId, sizeof oemPlatformId, d, 4);
    memcpy_s_x(platformUniqueId, sizeof platformUniqueId, d + 8, 16);
    memcpy_s_x(imageErrorValues, sizeof imageErrorValues, d + 28, 12);
    flags = static_cast<uint32_t>(d[24]) | static_cast<uint32_t>(d[25]) << 8 |
            static_cast<uint32_t>(d[26]) << 16 | static_cast<uint32_t>(d[27]) << 24;
}

void XolAPI::IdDeviceResponse::clearOemPlatformId()
{
    std::fill(std::begin(oemPlatformId), std::end(oemPlatformId), 0);
}

void XolAPI::GetTokenPartIdResponse::parse(void const* data, size_t)
{
    auto const* d = static_cast<uint8_t const*>(data);
    auto le32 = [d](size_t at) {
        return static_cast<uint32_t>(d[at]) | static_cast<uint32_t>(d[at + 1]) << 8 |
               static_cast<uint32_t>(d[at + 2]) << 16 | static_cast<uint32_t>(d[at + 3]) << 24;
    };
    nonce = le32(12);
    trustedTime = le32(16);
    deviceId = le32(20);
    memcpy_s_x(oemPlatformId, sizeof oemPlatformId, d + 24, 4);
    memcpy_s_x(tokenPartId, sizeof tokenPartId, d, 12);
}
