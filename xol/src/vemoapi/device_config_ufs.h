// The UFS configuration that the platform configuration file asks for one device: descriptor,
// eight units and attributes. Units marked for automatic sizing get the capacity that the
// device's current card information leaves free.
#ifndef XOL_DEVICE_CONFIG_UFS_H
#define XOL_DEVICE_CONFIG_UFS_H

#include <cstdint>
#include <memory>
#include <ostream>

#include <boost/property_tree/ptree_fwd.hpp>

#include "device_config_records.h"
#include "i_device_config.h"

class DeviceConfigUFS : public IDeviceConfig {
public:
    // Room for the longer of the two card-information layouts.
    static constexpr size_t kCardInfoSize = sizeof(_card_info_ufs_v2_t);

    DeviceConfigUFS();
    DeviceConfigUFS(DeviceConfigUFS const& other);
    DeviceConfigUFS& operator=(DeviceConfigUFS const& other);
    ~DeviceConfigUFS() override;

    // Keeps a copy of the card information; more than 272 bytes are refused.
    void setCurrentConfiguration(DeviceInfo const& info) override;
    void generateConfigRequest(void* buffer, size_t& length) override;

    // Sets units to the whole allocation units in remaining, when that is more than one; a unit
    // size of 0 is refused only then.
    void configureLunSize(unsigned int& units, unsigned long long unitSize,
                          unsigned long long remaining);

    // Reads one "device" element of type "ufs" into the request record.
    void parse(boost::property_tree::ptree const& device);

    _ufs_dev_cfg_param const& request() const { return *mpCfgParam; }

private:
    void sizeUnits(_ufs_dev_cfg_param& request);
    static void parseLUN(_ufs_lun_cfg& entry, boost::property_tree::ptree const& lun);
    static void parseDesc(_ufs_dev_desc_cfg& header, boost::property_tree::ptree const& descriptor);
    static void parseAttr(_ufs_dev_attrib_cfg& block, boost::property_tree::ptree const& attributes);

    std::unique_ptr<_ufs_dev_cfg_param> mpCfgParam;
    std::unique_ptr<unsigned char[]> mpCurrCfg;
    uint32_t mbCurrCfgV2;
};

std::ostream& operator<<(std::ostream& os, DeviceConfigUFS const& config);

#endif
