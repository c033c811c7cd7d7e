#include "xol_simple_cmds.h"

#include <cstring>

using namespace xolmsg;

IdDeviceXolCmd::IdDeviceXolCmd(XolAPI& api, unsigned int first, unsigned int second)
    : FixedCodeXolCmd(api), first(first), second(second),
      response(std::make_shared<XolAPI::IdDeviceResponse>())
{
}

void IdDeviceXolCmd::sendInitialCmd()
{
    uint8_t* m = beginInitialPayload();
    putLe(m + payload::word0, first, u32);
    putLe(m + payload::word1, second, u32);
    sendInitialPayload(0);
}

void IdDeviceXolCmd::handleResponse(void const* data, size_t length, size_t additional)
{
    XolCmd::handleResponse(data, length, additional);
    requireReceivedData(reply::imageErrorValues + reply::imageErrorValuesBytes);
    response->parse(data, length);
}

StartOverXolCmd::StartOverXolCmd(XolAPI& api, unsigned int flags)
    : FixedCodeXolCmd(api), flags(flags), response(std::make_shared<XolAPI::StartOverResponse>())
{
}

void StartOverXolCmd::sendInitialCmd()
{
    uint8_t* m = beginInitialPayload();
    putLe(m + payload::word0, flags, u32);
    sendInitialPayload(0);
}

void StartOverXolCmd::handleResponse(void const* data, size_t length, size_t additional)
{
    XolCmd::handleResponse(data, length, additional);
    requireReceivedData(reply::currentContext + u32);
    auto const* d = static_cast<uint8_t const*>(data);
    response->setData(getLe(d + reply::currentContext, u32),
                      getLe(d + reply::currentOperation, u32));
}

SetProtocolXolCmd::SetProtocolXolCmd(XolAPI& api, unsigned int version)
    : FixedCodeXolCmd(api), firstWord(0), transferTimeout(static_cast<uint32_t>(api.getTimeout())),
      version(version)
{
}

void SetProtocolXolCmd::sendInitialCmd()
{
    uint8_t* m = beginInitialPayload();
    putLe(m + payload::word0, firstWord, u32);
    putLe(m + payload::protocolVersion, version, u32);
    putLe(m + payload::transferTimeout, transferTimeout, u32);
    sendInitialPayload(0);
}

void SetProtocolXolCmd::handleResponse(void const* data, size_t length, size_t additional)
{
    XolCmd::handleResponse(data, length, additional);
    requireReceivedData(reply::acceptedVersion + u32);
    const unsigned int accepted =
        getLe(static_cast<uint8_t const*>(data) + reply::acceptedVersion, u32);
    response = std::make_shared<XolAPI::SetProtocolResponse>(0, 0, accepted);
}

GetTokenPartIdXolCmd::GetTokenPartIdXolCmd(XolAPI& api, unsigned int parameter)
    : FixedCodeXolCmd(api), parameter(parameter),
      response(std::make_shared<XolAPI::GetTokenPartIdResponse>())
{
}

void GetTokenPartIdXolCmd::sendInitialCmd()
{
    uint8_t* m = beginInitialPayload();
    putLe(m + payload::word0, parameter, u32);
    sendInitialPayload(0);
}

void GetTokenPartIdXolCmd::handleResponse(void const* data, size_t length, size_t additional)
{
    XolCmd::handleResponse(data, length, additional);
    requireReceivedData(reply::tokenOemPlatformId + reply::oemPlatformIdBytes);
    response->parse(data, length);
}

XolIfpEmulationXolCmd::XolIfpEmulationXolCmd(XolAPI& api, _id_dev_ifp_emulation_t const* record)
    : FixedCodeXolCmd(api), response(std::make_shared<XolAPI::Response>()), record(record)
{
}

void XolIfpEmulationXolCmd::sendInitialCmd()
{
    uint8_t* m = beginInitialPayload();
    std::memcpy(m + payload::ifpRecord, record->data, sizeof record->data);
    sendInitialPayload(0);
}

EraseTokenXolCmd::EraseTokenXolCmd(XolAPI& api, unsigned char slot)
    : FixedCodeXolCmd(api), response(std::make_shared<XolAPI::Response>()), slot(slot)
{
}

void EraseTokenXolCmd::sendInitialCmd()
{
    uint8_t* m = beginInitialPayload();
    m[payload::tokenSlot] = slot;
    sendInitialPayload(0);
}

ClearDataXolCmd::ClearDataXolCmd(XolAPI& api, unsigned char type, unsigned char index)
    : FixedCodeXolCmd(api), response(std::make_shared<XolAPI::Response>()), type(type),
      index(index)
{
}

void ClearDataXolCmd::sendInitialCmd()
{
    uint8_t* m = beginInitialPayload();
    m[payload::deviceType] = type;
    m[payload::deviceIndex] = index;
    sendInitialPayload(0);
}
