#include "xol_api.h"

#include <boost/log/attributes/constant.hpp>

#include "exceptions.h"
#include "message_layout.h"
#include "secure_buffers.h"
#include "status_codes.h"
#include "xol_download_cmds.h"
#include "xol_simple_cmds.h"
#include "xol_upload_cmds.h"

XolAPI::XolAPI(TolvaneWdAPI* transport, std::string const& serial, uint64_t connection)
    : transport(transport),
      logger(boost::log::keywords::channel = std::string("XOL"),
             boost::log::keywords::severity = xollog::severity::trace),
      serial(serial), connection(connection), protocolVersion(0), timeout(5000)
{
    logger.add_attribute("serial_number", boost::log::attributes::constant<std::string>(serial));
    logger.add_attribute(connection_attr.get_name(),
                         boost::log::attributes::constant<uint64_t>(connection));
}

XolAPI::~XolAPI() = default;

void XolAPI::set_timeout(unsigned long ms)
{
    if (ms < 200)
        throw status::timeoutTooSmall();
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
    using namespace xolmsg;
    auto const* d = static_cast<uint8_t const*>(data);
    memcpy_s_x(oemPlatformId, sizeof oemPlatformId, d + reply::oemPlatformId,
               reply::oemPlatformIdBytes);
    memcpy_s_x(platformUniqueId, sizeof platformUniqueId, d + reply::platformUniqueId,
               reply::platformUniqueIdBytes);
    memcpy_s_x(imageErrorValues, sizeof imageErrorValues, d + reply::imageErrorValues,
               reply::imageErrorValuesBytes);
    flags = getLe(d + reply::idFlags, u32);
}

void XolAPI::IdDeviceResponse::clearOemPlatformId()
{
    std::fill(std::begin(oemPlatformId), std::end(oemPlatformId), 0);
}

void XolAPI::GetTokenPartIdResponse::parse(void const* data, size_t)
{
    using namespace xolmsg;
    auto const* d = static_cast<uint8_t const*>(data);
    nonce = getLe(d + reply::nonce, u32);
    trustedTime = getLe(d + reply::trustedTime, u32);
    deviceId = getLe(d + reply::deviceId, u32);
    memcpy_s_x(oemPlatformId, sizeof oemPlatformId, d + reply::tokenOemPlatformId,
               reply::oemPlatformIdBytes);
    memcpy_s_x(tokenPartId, sizeof tokenPartId, d + reply::tokenPartId, reply::tokenPartIdBytes);
}
