#include "xol_job.h"

#include <fstream>
#include <stdexcept>

#include <boost/format.hpp>
#include <boost/log/attributes/constant.hpp>
#include <boost/log/sources/record_ostream.hpp>

#include "exceptions.h"
#include "file_failure.h"
#include "status_codes.h"

XolJobV2::XolJobV2(TolvaneWdAPI* transport, unsigned long timeoutMs, TolvaneConnection const& board)
    : resultValid(false), logger(boost::log::keywords::severity = boost::log::trivial::trace),
      transport(transport), xolApi(transport, board.serial, board.id)
{
    logger.add_attribute("serial_number",
                         boost::log::attributes::constant<std::string>(board.serial));
    logger.add_attribute(connection_attr.get_name(),
                         boost::log::attributes::constant<uint64_t>(board.id));
    xolApi.set_timeout(timeoutMs);
}

XolJobV2::~XolJobV2() = default;

void XolJobV2::start()
{
    if (resultValid)
        throw std::logic_error("Repeating execution not allowed");
    run();
}

void XolJobV2::join()
{
    resultValid = true;
}

void XolJobV2::requireValid() const
{
    if (!resultValid)
        throw std::logic_error("Attempt to retrieve invalid response data");
}

void XolJobV2::log(std::string const& text)
{
    BOOST_LOG_SEV(logger, boost::log::trivial::info) << text;
}

unsigned int XolJobV2::startover()
{
    log("Resetting XoL protocol");
    const unsigned int ctx = xolApi.StartOver(0)->getCurrentCtx();
    log("Success");
    log((boost::format("Current context: %#x") % ctx).str());
    return ctx;
}

XolJobComplexV2::XolJobComplexV2(TolvaneWdAPI* transport, unsigned long timeoutMs,
                                 TolvaneConnection const& board, char const* recoveryPath,
                                 _id_dev_ifp_emulation_t* ifpRecord)
    : XolJobV2(transport, timeoutMs, board), recoveryPath(recoveryPath ? recoveryPath : ""),
      ifpRecord(ifpRecord)
{
}

void XolJobComplexV2::switchDeviceCtx(_DEVICE_CTX wanted)
{
    const unsigned int current = startover();
    if (current == static_cast<unsigned int>(wanted)) {
        if (current == DEVICE_CTX_XOL)
            configureProtocol();
        return;
    }
    if (current == DEVICE_CTX_ROM && wanted == DEVICE_CTX_XOL) {
        downloadRecoveryModule();
        sendXolIfpEmulation();
        configureProtocol();
        return;
    }
    throw std::logic_error("Device context switch is unsupported");
}

void XolJobComplexV2::downloadRecoveryModule()
{
    log("Preparing device for recovery module download");
    api().StartOver(0x20);
    log("Success");
    log("Downloading recovery module");
    std::ifstream module;
    file_failure::openForReading(module, recoveryPath, "the recovery module");
    try {
        api().DownloadRecoveryModule(&module);
    } catch (std::ios_base::failure const& e) {
        file_failure::cannotRead(recoveryPath, module, e);
    }
    module.close();
    log("Success");
}

void XolJobComplexV2::sendXolIfpEmulation()
{
    if (ifpRecord == nullptr)
        return;
    log("Sending \"IFP emulation\" XoL command");
    api().XolIfpEmulation(ifpRecord);
    log("Success");
}

void XolJobComplexV2::configureProtocol()
{
    log("Setting XoL protocol version and timeout");
    std::set<unsigned int> const& versions = XolAPI::getSupportedProtocolVersions();
    for (auto it = versions.rbegin(); it != versions.rend(); ++it) {
        const unsigned int version = *it;
        log("Sending \"Set Protocol\" XoL command");
        log((boost::format("Protocol version: %#x") % version).str());
        try {
            api().SetProtocol(version);
        } catch (FwError const& e) {
            if (sameFwStatus(e.getErrorCode(), 0x80000001)) {
                log("Setting XoL protocol version is not supported by device");
                return;
            }
            if (sameFwStatus(e.getErrorCode(), 0x80000032)) {
                log("Proposed XoL protocol version is not supported by device");
                continue;
            }
            throw;
        }
        log("Success");
        api().set_protocol(version);
        log("XoL protocol version and timeout were set successfully");
        return;
    }
    throw status::unsupportedProtocolVersion();
}
