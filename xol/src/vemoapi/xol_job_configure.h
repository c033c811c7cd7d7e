// The storage configuration jobs: read the device's card information, let the configuration
// build its request from it, and send Configure Device.
#ifndef XOL_JOB_CONFIGURE_H
#define XOL_JOB_CONFIGURE_H

#include "device_config_emmc.h"
#include "device_config_spi.h"
#include "device_config_ufs.h"
#include "i_device_config.h"
#include "xol_job.h"

class XolJobConfigureDevice : public XolJobComplexV2 {
public:
    using XolJobComplexV2::XolJobComplexV2;

protected:
    void run() override;
    virtual IDeviceConfig* getConfig() = 0;
    virtual unsigned char getType() = 0;
    virtual unsigned char getIdx() = 0;
};

template <class Config, unsigned char Type>
class XolJobConfigureTyped : public XolJobConfigureDevice {
public:
    XolJobConfigureTyped(TolvaneWdAPI* transport, unsigned long timeoutMs,
                         TolvaneConnection const& board, char const* recoveryPath,
                         _id_dev_ifp_emulation_t* ifpRecord, Config const& config,
                         unsigned char idx)
        : XolJobConfigureDevice(transport, timeoutMs, board, recoveryPath, ifpRecord), idx(idx),
          config(config)
    {
    }

protected:
    IDeviceConfig* getConfig() override { return &config; }
    unsigned char getType() override { return Type; }
    unsigned char getIdx() override { return idx; }

private:
    unsigned char idx;
    Config config;
};

class XolJobConfigureUFSDevice : public XolJobConfigureTyped<DeviceConfigUFS, DEV_TYPE_UFS> {
public:
    using XolJobConfigureTyped::XolJobConfigureTyped;
};

class XolJobConfigureEMMCDevice : public XolJobConfigureTyped<DeviceConfigEMMC, DEV_TYPE_EMMC> {
public:
    using XolJobConfigureTyped::XolJobConfigureTyped;
};

class XolJobConfigureSPIDevice : public XolJobConfigureTyped<DeviceConfigSPI, DEV_TYPE_SPI> {
public:
    using XolJobConfigureTyped::XolJobConfigureTyped;
};

#endif
