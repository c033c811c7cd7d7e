// The commands that move no data beyond their initial command and final response.
#ifndef XOL_SIMPLE_CMDS_H
#define XOL_SIMPLE_CMDS_H

#include <memory>

#include "xol_api.h"
#include "xol_cmd.h"

class IdDeviceXolCmd : public FixedCodeXolCmd<xolmsg::idDevice> {
public:
    IdDeviceXolCmd(XolAPI& api, unsigned int first, unsigned int second);
    std::shared_ptr<XolAPI::IdDeviceResponse> const& getResponse() const { return response; }

protected:
    void sendInitialCmd() override;
    void handleResponse(void const* data, size_t length, size_t additional) override;

private:
    uint32_t first;
    uint32_t second;
    std::shared_ptr<XolAPI::IdDeviceResponse> response;
};

class StartOverXolCmd : public FixedCodeXolCmd<xolmsg::startOver> {
public:
    StartOverXolCmd(XolAPI& api, unsigned int flags);
    std::shared_ptr<XolAPI::StartOverResponse> const& getResponse() const { return response; }

protected:
    void sendInitialCmd() override;
    void handleResponse(void const* data, size_t length, size_t additional) override;

private:
    uint32_t flags;
    std::shared_ptr<XolAPI::StartOverResponse> response;
};

class SetProtocolXolCmd : public FixedCodeXolCmd<xolmsg::setProtocol> {
public:
    SetProtocolXolCmd(XolAPI& api, unsigned int version);
    std::shared_ptr<XolAPI::SetProtocolResponse> const& getResponse() const { return response; }

protected:
    void sendInitialCmd() override;
    void handleResponse(void const* data, size_t length, size_t additional) override;

private:
    uint32_t firstWord;
    uint32_t transferTimeout;
    uint32_t version;
    std::shared_ptr<XolAPI::SetProtocolResponse> response;
};

class GetTokenPartIdXolCmd : public FixedCodeXolCmd<xolmsg::getTokenPartId> {
public:
    GetTokenPartIdXolCmd(XolAPI& api, unsigned int parameter);
    std::shared_ptr<XolAPI::GetTokenPartIdResponse> const& getResponse() const
    {
        return response;
    }

protected:
    void sendInitialCmd() override;
    void handleResponse(void const* data, size_t length, size_t additional) override;

private:
    uint32_t parameter;
    std::shared_ptr<XolAPI::GetTokenPartIdResponse> response;
};

class XolIfpEmulationXolCmd : public FixedCodeXolCmd<xolmsg::ifpEmulation> {
public:
    XolIfpEmulationXolCmd(XolAPI& api, _id_dev_ifp_emulation_t const* record);
    std::shared_ptr<XolAPI::Response> const& getResponse() const { return response; }

protected:
    void sendInitialCmd() override;

private:
    std::shared_ptr<XolAPI::Response> response;
    _id_dev_ifp_emulation_t const* record;
};

class EraseTokenXolCmd : public FixedCodeXolCmd<xolmsg::eraseToken> {
public:
    EraseTokenXolCmd(XolAPI& api, unsigned char slot);
    std::shared_ptr<XolAPI::Response> const& getResponse() const { return response; }

protected:
    void sendInitialCmd() override;

private:
    std::shared_ptr<XolAPI::Response> response;
    uint8_t slot;
};

class ClearDataXolCmd : public FixedCodeXolCmd<xolmsg::clearData> {
public:
    ClearDataXolCmd(XolAPI& api, unsigned char type, unsigned char index);
    std::shared_ptr<XolAPI::Response> const& getResponse() const { return response; }

protected:
    void sendInitialCmd() override;

private:
    std::shared_ptr<XolAPI::Response> response;
    uint8_t type;
    uint8_t index;
};

#endif
