// The commands that upload bytes on the device's request: from an in-memory byte unit, or a
// firmware image stream located through its module directory.
#ifndef XOL_UPLOAD_CMDS_H
#define XOL_UPLOAD_CMDS_H

#include <istream>
#include <memory>

#include "xol_api.h"
#include "xol_api_utils.h"
#include "xol_cmd.h"

// Uploads the whole content of a byte unit, counting down what is left.
class BufferReaderXolCmd : public XolCmd {
public:
    BufferReaderXolCmd(XolAPI& api, IBlob& blob);

protected:
    void handleAddRequestData(size_t requested, uint32_t flags) override;
    void handleResponse(void const* data, size_t length, size_t additional) override;

    std::istream input;
    size_t remaining;
};

template <unsigned int Code>
class BufferUploadXolCmd : public BufferReaderXolCmd {
public:
    BufferUploadXolCmd(XolAPI& api, IBlob& blob)
        : BufferReaderXolCmd(api, blob), response(std::make_shared<XolAPI::Response>())
    {
    }
    std::shared_ptr<XolAPI::Response> const& getResponse() const { return response; }

protected:
    unsigned int getRequestCode() override { return Code; }
    bool isValidResponseCode(unsigned int code) override { return code == 0x800000 + Code; }

    std::shared_ptr<XolAPI::Response> response;
};

class WriteTokenXolCmd : public BufferUploadXolCmd<0x23> {
public:
    WriteTokenXolCmd(XolAPI& api, IBlob& token, unsigned char slot);

protected:
    void sendInitialCmd() override;

private:
    uint8_t slot;
};

class ChangeDeviceLifecycleXolCmd : public BufferUploadXolCmd<0x20> {
public:
    using BufferUploadXolCmd::BufferUploadXolCmd;

protected:
    void sendInitialCmd() override;
};

class OemIfpProvisionXolCmd : public BufferUploadXolCmd<0x14> {
public:
    using BufferUploadXolCmd::BufferUploadXolCmd;

protected:
    void sendInitialCmd() override;
};

class ConfigureDeviceXolCmd : public BufferUploadXolCmd<0x11> {
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
    void handleResponse(void const* data, size_t length, size_t additional) override;
    // Writes 1, header size and module size at [16..27] of a zeroed payload.
    uint8_t* beginModulePayload();

    std::istream* image;
    ModuleMeta module;

private:
    size_t left; // bytes of the image the last message announced still to come
};

class DownloadRecoveryModuleXolCmd : public DownloadModuleXolCmd {
public:
    DownloadRecoveryModuleXolCmd(XolAPI& api, std::istream* image);
    std::shared_ptr<XolAPI::Response> const& getResponse() const { return response; }

protected:
    unsigned int getRequestCode() override { return 0x02; }
    // The ROM may answer the module download with a header-only 0x800003 message.
    bool isValidResponseCode(unsigned int code) override
    {
        return code == 0x800002 || code == 0x800003;
    }
    void sendInitialCmd() override;

private:
    std::shared_ptr<XolAPI::Response> response;
};

class ProvisionFwImageXolCmd : public DownloadModuleXolCmd {
public:
    ProvisionFwImageXolCmd(XolAPI& api, std::istream* image, unsigned int flags);
    std::shared_ptr<XolAPI::Response> const& getResponse() const { return response; }

protected:
    unsigned int getRequestCode() override { return 0x15; }
    bool isValidResponseCode(unsigned int code) override { return code == 0x800015; }
    void sendInitialCmd() override;

private:
    uint32_t flags;
    std::shared_ptr<XolAPI::Response> response;
};

#endif
