#include "device_config_ufs.h"

#include <cstring>
#include <limits>
#include <stdexcept>

#include <boost/format.hpp>
#include <boost/property_tree/ptree.hpp>

#include "config_values.h"
#include "exceptions.h"
#include "status_codes.h"
#include "xol_api_utils.h"

using boost::property_tree::ptree;

namespace {

constexpr uint32_t kDescriptorConfigured = 0x02; // ControlFlags byte 0
constexpr uint32_t kAttributesConfigured = 0x26; // ControlFlags byte 1

// UFS identifiers of the attributes whose validity the request marks.
constexpr unsigned int kOutOfOrderDataEnId = 4;
constexpr unsigned int kRefClkFreqId = 10;
constexpr unsigned int kConfigDescrLockId = 11;

uint32_t withByte(uint32_t word, unsigned int index, uint32_t value)
{
    unsigned char bytes[4];
    std::memcpy(bytes, &word, sizeof bytes);
    bytes[index] = static_cast<unsigned char>(value);
    std::memcpy(&word, bytes, sizeof bytes);
    return word;
}

uint32_t withBit(uint32_t word, unsigned int bit, bool set)
{
    return set ? (word | (uint32_t{1} << bit)) : (word & ~(uint32_t{1} << bit));
}

// Each value must fit its field; the element named in a refusal is the one holding `path`.
uint8_t number8(ptree const& node, std::string const& element, std::string const& path)
{
    return static_cast<uint8_t>(config_values::number(node, element, path, 8));
}

uint16_t number16(ptree const& node, std::string const& element, std::string const& path)
{
    return be16Store(static_cast<uint16_t>(config_values::number(node, element, path, 16)));
}

uint32_t number32(ptree const& node, std::string const& element, std::string const& path)
{
    return be32Store(config_values::number(node, element, path, 32));
}

} // namespace

DeviceConfigUFS::DeviceConfigUFS() : mpCfgParam(new _ufs_dev_cfg_param()), mbCurrCfgV2(0) {}

DeviceConfigUFS::DeviceConfigUFS(DeviceConfigUFS const& other)
    : IDeviceConfig(other),
      mpCfgParam(new _ufs_dev_cfg_param(*other.mpCfgParam)),
      mbCurrCfgV2(other.mbCurrCfgV2)
{
    if (other.mpCurrCfg) {
        mpCurrCfg.reset(new unsigned char[kCardInfoSize]);
        std::memcpy(mpCurrCfg.get(), other.mpCurrCfg.get(), kCardInfoSize);
    }
}

DeviceConfigUFS& DeviceConfigUFS::operator=(DeviceConfigUFS const& other)
{
    if (this != &other) {
        DeviceConfigUFS copy(other);
        mpCfgParam.swap(copy.mpCfgParam);
        mpCurrCfg.swap(copy.mpCurrCfg);
        mbCurrCfgV2 = copy.mbCurrCfgV2;
    }
    return *this;
}

DeviceConfigUFS::~DeviceConfigUFS() = default;

void DeviceConfigUFS::setCurrentConfiguration(DeviceInfo const& info)
{
    mpCurrCfg.reset();
    mpCurrCfg.reset(new unsigned char[kCardInfoSize]());
    size_t length = kCardInfoSize;
    if (info.write(reinterpret_cast<char*>(mpCurrCfg.get()), &length) != 0)
        throw status::ufsConfigWriteFailed();
    mbCurrCfgV2 = length == kCardInfoSize ? 1 : 0;
}

void DeviceConfigUFS::generateConfigRequest(void* buffer, size_t& length)
{
    if (length < sizeof(_ufs_dev_cfg_param) || buffer == nullptr)
        throw status::requestBufferTooSmall();
    // The sizing works on a copy, so the configuration gives the same request every time and
    // the caller's buffer is untouched when the sizing refuses.
    _ufs_dev_cfg_param request = *mpCfgParam;
    if (mpCurrCfg)
        sizeUnits(request);
    std::memcpy(buffer, &request, sizeof request);
    length = sizeof request;
}

void DeviceConfigUFS::configureLunSize(unsigned int& units, unsigned long long unitSize,
                                       unsigned long long remaining)
{
    if (remaining <= unitSize)
        return;
    // Only capacity left to share out needs a unit size to divide it by.
    if (unitSize == 0)
        throw VemoException(VEMO_ERROR_UNSUPPORTED,
            "Units marked auto cannot be sized: the device reports an allocation unit size of 0");
    const unsigned long long whole = remaining / unitSize;
    // More than the field holds: give the unit the most it can describe.
    units = whole > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                          : static_cast<unsigned int>(whole);
}

void DeviceConfigUFS::sizeUnits(_ufs_dev_cfg_param& request)
{
    _ufs_geo_desc geometry;
    std::memcpy(&geometry,
        mpCurrCfg.get()
            + (mbCurrCfgV2 ? offsetof(_card_info_ufs_v2_t, geometry)
                           : offsetof(_card_info_ufs_t, geometry)),
        sizeof geometry);
    // Capacity and unit size count 512-byte sectors.
    unsigned long long capacity = be64Load(geometry.qTotalRawDeviceCapacity);
    const unsigned long long unitSize =
        static_cast<unsigned long long>(be32Load(geometry.dSegmentSize))
        * geometry.bAllocationUnitSize;

    for (unsigned int i = 0; i < 8; ++i) {
        _ufs_lun_cfg const& lun = request.lun[i];
        if (lun.bLUEnable == 0)
            continue;
        const unsigned long long units = be32Load(lun.dNumAllocUnits);
        if (unitSize != 0 && units > capacity / unitSize)
            throw VemoException(VEMO_ERROR_UNSUPPORTED,
                (boost::format("Configured units exceed the device capacity: LUN %u asks for %u "
                               "allocation units of %u sectors, %u sectors are left")
                    % i % units % unitSize % capacity)
                    .str());
        capacity -= units * unitSize;
    }

    for (unsigned int i = 0; i < 8; ++i) {
        _ufs_lun_cfg& lun = request.lun[i];
        if (lun.bLUEnable == 0 || lun.dNumAllocUnits != 0)
            continue;
        unsigned int units = 0;
        configureLunSize(units, unitSize, capacity);
        lun.dNumAllocUnits = be32Store(units);
        capacity -= units * unitSize;
    }
}

void DeviceConfigUFS::parse(ptree const& device)
{
    _ufs_dev_cfg_param& param = *mpCfgParam;
    for (auto const& child : device) {
        if (child.first == "lun") {
            const unsigned int idx = config_values::decimal(child.second, "<xmlattr>.idx");
            if (idx > 7)
                throw status::lunIndexOutOfRange();
            parseLUN(param.lun[idx], child.second);
        } else if (child.first == "descriptor") {
            if (config_values::flag(child.second, "<xmlattr>.configure")) {
                param.ControlFlags = withByte(param.ControlFlags, 0, kDescriptorConfigured);
                parseDesc(param.descriptor, child.second);
            }
        } else if (child.first == "attributes") {
            if (config_values::flag(child.second, "<xmlattr>.configure")) {
                param.ControlFlags = withByte(param.ControlFlags, 1, kAttributesConfigured);
                parseAttr(param.attributes, child.second);
            }
        }
    }
}

void DeviceConfigUFS::parseLUN(_ufs_lun_cfg& entry, ptree const& lun)
{
    entry.bLUEnable = config_values::flag(lun, "enable") ? 1 : 0;
    entry.bBootLunID = number8(lun, "lun", "boot-lun-id");
    entry.bLUWriteProtect = number8(lun, "lun", "write-protect");
    entry.bMemoryType = number8(lun, "lun", "mem-type");
    const std::string units = lun.get<std::string>("alloc-units");
    // 0 asks for automatic sizing.
    entry.dNumAllocUnits =
        units == "auto" ? 0 : be32Store(config_values::number(units, "lun", "alloc-units", 32));
    entry.bDataReliability = number8(lun, "lun", "data-reliability");
    entry.bLogicalBlockSize = number8(lun, "lun", "logical-block-size");
    entry.bProvisioningType = number8(lun, "lun", "provisioning-type");
    entry.wContextCapabilities = number16(lun, "lun", "ctx-caps");
}

void DeviceConfigUFS::parseDesc(_ufs_dev_desc_cfg& header, ptree const& descriptor)
{
    // Each value comes from the first element of its name.
    for (auto const& child : descriptor) {
        std::string const& name = child.first;
        if (name == "boot")
            header.bBootEnable = number8(descriptor, "descriptor", name);
        else if (name == "desc-access")
            header.bDescAccessEn = number8(descriptor, "descriptor", name);
        else if (name == "init-power-mode")
            header.bInitPowerMode = number8(descriptor, "descriptor", name);
        else if (name == "high-priority-lun")
            header.bHighPriorityLUN = number8(descriptor, "descriptor", name);
        else if (name == "secure-removal-type")
            header.bSecureRemovalType = number8(descriptor, "descriptor", name);
        else if (name == "init-active-icc-level")
            header.bInitActiveICCLevel = number8(descriptor, "descriptor", name);
        else if (name == "periodic-rtc-update")
            header.wPeriodicRTCUpdate = number16(descriptor, "descriptor", name);
    }
}

void DeviceConfigUFS::parseAttr(_ufs_dev_attrib_cfg& block, ptree const& attributes)
{
    // Values in an element's own text come from the first element of that name; values in a
    // child element ("value", "in", "out") from each element in turn.
    for (auto const& child : attributes) {
        std::string const& name = child.first;
        ptree const& element = child.second;
        if (name == "ooo-data-transfer") {
            block.AttributesEnables = withBit(block.AttributesEnables, kOutOfOrderDataEnId,
                config_values::flag(element, "<xmlattr>.configure"));
            block.bOutOfOrderDataEn = number8(element, name, "value");
        } else if (name == "ref-clock-freq") {
            const bool configured = config_values::flag(element, "<xmlattr>.configure");
            block.AttributesEnables =
                withBit(block.AttributesEnables, kRefClkFreqId, configured);
            block.bRefClkFreq = number8(attributes, "attributes", name);
            if (configured && block.bRefClkFreq != 0)
                throw std::invalid_argument(
                    (boost::format("Parse error: Illegal value at <ref-clock-freq> element: %#x")
                        % static_cast<unsigned int>(block.bRefClkFreq))
                        .str());
        } else if (name == "config-descr-lock") {
            block.AttributesEnables = withBit(block.AttributesEnables, kConfigDescrLockId,
                config_values::flag(element, "<xmlattr>.configure"));
            block.bConfigDescrLock = number8(element, name, "value");
        } else if (name == "boot") {
            block.bBootLunEn = number8(element, name, "value");
        } else if (name == "current-power-mode") {
            block.bCurrentPowerMode = number8(element, name, "value");
        } else if (name == "exception-event-control") {
            block.wExceptionEventControl = number16(element, name, "value");
        } else if (name == "max-data-size") {
            block.bMaxDataInSize = number8(element, name, "in");
            block.bMaxDataOutSize = number8(element, name, "out");
        } else if (name == "active-icc-level") {
            block.bActiveICCLevel = number8(attributes, "attributes", name);
        } else if (name == "max-rtt-num") {
            block.bMaxNumOfRTT = number8(attributes, "attributes", name);
        } else if (name == "time-passed") {
            block.dSecondsPassed = number32(attributes, "attributes", name);
        }
    }
}

std::ostream& operator<<(std::ostream& os, DeviceConfigUFS const& config)
{
    return os << config.request();
}
