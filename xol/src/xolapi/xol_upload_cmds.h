// The commands that upload bytes on the device's request: from an in-memory byte unit, or a
// firmware image stream located through its module directory.
#ifndef XOL_UPLOAD_CMDS_H
#define XOL_UPLOAD_CMDS_H

#include <istream>
#include <memory>

#include "xol_api.h"
#include "xol_api_utils.h"
#include "xol_cmd.h"

// Uploads a byte unit on the device's requests, counting down what is left; the device says
// when it has enough (its final response), which may be before the last byte.
class BufferReaderXolCmd : public XolCmd {
public:
    BufferReaderXolCmd(XolAPI& api, IBlob& blob);

protected:
    void handleAddRequestData(size_t requested, uint32_t flags) override;

    std::istream input;
    size_t remaining;
};

template <xolmsg::RequestCode Code>
class BufferUploadXolCmd : public FixedCodeXolCmd<Code, BufferReaderXolCmd> {
public:
    BufferUploadXolCmd(XolAPI& api, IBlob& blob)
        : FixedCodeXolCmd<Code, BufferReaderXolCmd>(api, blob),
          response(std::make_shared<XolAPI::Response>())
    {
    }
    std::shared_ptr<XolAPI::Response> const& getResponse() const { return response; }

protected:
    std::shared_ptr<XolAPI::Response> response;
};

class WriteTokenXolCmd : public BufferUploadXolCmd<xolmsg::writeToken> {
public:
    WriteTokenXolCmd(XolAPI& api, IBlob& token, unsigned char slot);

protected:
    void sendInitialCmd() override;

private:
    uint8_t slot;
};

class ChangeDeviceLifecycleXolCmd : public BufferUploadXolCmd<xolmsg::setDeviceLifecycleStage> {
public:
    using BufferUploadXolCmd::BufferUploadXolCmd;

protected:
    void sendInitialCmd() override;
};

class OemIfpProvisionXolCmd : public BufferUploadXolCmd<xolmsg::oemIfpProvision> {
public:
    using BufferUploadXolCmd::BufferUploadXolCmd;

protected:
    void sendInitialCmd() override;
};

class ConfigureDeviceXolCmd : public BufferUploadXolCmd<xolmsg::configureDevice> {
public:
    ConfigureDeviceXolCmd(XolAPI& api, IBlob& request, unsigned char type, unsigned char index);

protected:
    void sendInitialCmd() override;

private:
    uint8_t type;
    uint8_t index;
};

// Uploads an image stream from where the command found it; the device decides the order.
class DownloadModuleXolCmd : public XolCmd {
public:
    DownloadModuleXolCmd(XolAPI& api, std::istream* image, char const* moduleName);

protected:
    void handleAddRequestData(size_t requested, uint32_t flags) override;
    // Writes the module format (1), header size and module size into a zeroed payload.
    uint8_t* beginModulePayload();

    std::istream* image;
    ModuleMeta module;
};

class DownloadRecoveryModuleXolCmd
    : public FixedCodeXolCmd<xolmsg::downloadRecoveryModule, DownloadModuleXolCmd> {
public:
    DownloadRecoveryModuleXolCmd(XolAPI& api, std::istream* image);
    std::shared_ptr<XolAPI::Response> const& getResponse() const { return response; }

protected:
    // The ROM may answer the module download with a header-only message.
    bool isValidResponseCode(unsigned int code) override
    {
        return FixedCodeXolCmd::isValidResponseCode(code) ||
               code == xolmsg::headerOnlyResponseCode;
    }
    void sendInitialCmd() override;

private:
    std::shared_ptr<XolAPI::Response> response;
};

class ProvisionFwImageXolCmd
    : public FixedCodeXolCmd<xolmsg::provisionFwImage, DownloadModuleXolCmd> {
public:
    ProvisionFwImageXolCmd(XolAPI& api, std::istream* image, unsigned int flags);
    std::shared_ptr<XolAPI::Response> const& getResponse() const { return response; }

protected:
    void sendInitialCmd() override;

private:
    uint32_t flags;
    std::shared_ptr<XolAPI::Response> response;
};

#endif
