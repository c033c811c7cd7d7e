// The protocol face of one device connection: owns the message buffers and the logger that every
// command of the device shares, and runs one command exchange per operation.
#ifndef XOL_API_H
#define XOL_API_H

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <set>
#include <sstream>
#include <streambuf>
#include <string>

#include "log_attributes.h"
#include "vemoapi.h"
#include "xol_api_utils.h"

class TolvaneWdAPI;

class XolAPI {
public:
    static constexpr size_t txCapacity = 102400;
    static constexpr size_t rxCapacity = 16384;

    class IBasicResponse {
    public:
        virtual unsigned long getCmdStatus() const = 0;
        virtual unsigned int getFwStatus() const = 0;
        virtual void setCmdStatus(unsigned long status) = 0;
        virtual void setFwStatus(unsigned int status) = 0;
    };

    class Response : public IBasicResponse {
    public:
        Response() : cmdStatus(0), fwStatus(0) {}
        Response(unsigned long cmdStatus, unsigned int fwStatus)
            : cmdStatus(cmdStatus), fwStatus(fwStatus)
        {
        }
        unsigned long getCmdStatus() const override { return cmdStatus; }
        unsigned int getFwStatus() const override { return fwStatus; }
        void setCmdStatus(unsigned long status) override { cmdStatus = status; }
        void setFwStatus(unsigned int status) override { fwStatus = status; }

    private:
        unsigned long cmdStatus;
        uint32_t fwStatus;
    };

    class StartOverResponse : public Response {
    public:
        StartOverResponse() = default;
        StartOverResponse(unsigned long cmdStatus, unsigned int fwStatus)
            : Response(cmdStatus, fwStatus)
        {
        }
        uint32_t getCurrentOp() const { return currentOp; }
        uint32_t getCurrentCtx() const { return currentCtx; }
        void setData(uint32_t ctx, uint32_t op)
        {
            currentCtx = ctx;
            currentOp = op;
        }

    private:
        uint32_t currentOp = 0;
        uint32_t currentCtx = 0;
    };

    class SetProtocolResponse : public Response {
    public:
        SetProtocolResponse() = default;
        SetProtocolResponse(unsigned long cmdStatus, unsigned int fwStatus)
            : Response(cmdStatus, fwStatus)
        {
        }
        SetProtocolResponse(unsigned long cmdStatus, unsigned int fwStatus,
                            unsigned int const& version)
            : Response(cmdStatus, fwStatus), version(version)
        {
        }
        unsigned int const& getVersion() const { return version; }
        void setData(unsigned int const& v) { version = v; }

    private:
        uint32_t version = 0;
    };

    class IdDeviceResponse : public Response {
    public:
        IdDeviceResponse() = default;
        IdDeviceResponse(unsigned long cmdStatus, unsigned int fwStatus)
            : Response(cmdStatus, fwStatus)
        {
        }
        // data: the 44 data bytes of the final response.
        void parse(void const* data, size_t length);
        uint8_t const* getOemPlatformId() const { return oemPlatformId; }
        uint8_t const (&getPlatformUniqueId() const)[16] { return platformUniqueId; }
        uint8_t const* getImageErrorValues() const { return imageErrorValues; }
        uint32_t getFlags() const { return flags; }
        void clearOemPlatformId();

    private:
        uint8_t oemPlatformId[4] = {};
        uint8_t platformUniqueId[16] = {};
        uint8_t imageErrorValues[12] = {};
        uint32_t flags = 0;
    };

    class GetTokenPartIdResponse : public Response {
    public:
        GetTokenPartIdResponse() = default;
        GetTokenPartIdResponse(unsigned long cmdStatus, unsigned int fwStatus)
            : Response(cmdStatus, fwStatus)
        {
        }
        void parse(void const* data, size_t length);
        uint8_t const* getOemPlatformId() const { return oemPlatformId; }
        uint8_t const* getTokenPartId() const { return tokenPartId; }
        uint32_t getNonce() const { return nonce; }
        uint32_t getTrustedTime() const { return trustedTime; }
        uint32_t getDeviceId() const { return deviceId; }

    private:
        uint8_t oemPlatformId[4] = {};
        uint8_t tokenPartId[12] = {};
        uint32_t nonce = 0;
        uint32_t trustedTime = 0;
        uint32_t deviceId = 0;
    };

    class ReadTokenResponse : public Response {
    public:
        ReadTokenResponse() = default;
        ReadTokenResponse(unsigned long cmdStatus, unsigned int fwStatus)
            : Response(cmdStatus, fwStatus)
        {
        }
        ReadTokenResponse(unsigned long cmdStatus, unsigned int fwStatus,
                          std::unique_ptr<std::stringbuf>& buffer)
            : Response(cmdStatus, fwStatus), token(buffer)
        {
        }
        Token const& getToken() const { return token; }

    private:
        Token token;
    };

    class GetCardInfoResponse : public Response {
    public:
        GetCardInfoResponse() = default;
        GetCardInfoResponse(unsigned long cmdStatus, unsigned int fwStatus)
            : Response(cmdStatus, fwStatus)
        {
        }
        GetCardInfoResponse(unsigned long cmdStatus, unsigned int fwStatus, unsigned char type,
                            std::unique_ptr<std::stringbuf>& buffer)
            : Response(cmdStatus, fwStatus), deviceType(type), info(buffer)
        {
        }
        unsigned char const& getDeviceType() const { return deviceType; }
        DeviceInfo const& getDeviceInfo() const { return info; }

    private:
        uint8_t deviceType = 0;
        DeviceInfo info;
    };

    class ReadBootMediaResponse : public Response {
    public:
        ReadBootMediaResponse() = default;
        ReadBootMediaResponse(unsigned long cmdStatus, unsigned int fwStatus)
            : Response(cmdStatus, fwStatus)
        {
        }
        ReadBootMediaResponse(unsigned long cmdStatus, unsigned int fwStatus,
                              std::unique_ptr<std::stringbuf>& buffer)
            : Response(cmdStatus, fwStatus), data(buffer)
        {
        }
        Blob const& getData() const { return data; }

    private:
        Blob data;
    };

    // `connection` is the identity of the connection the device's look-up found; every transfer
    // is held to it. 0 holds the object to whatever connection its first transfer finds.
    XolAPI(TolvaneWdAPI* transport, std::string const& serial, uint64_t connection = 0);
    ~XolAPI();
    XolAPI(XolAPI const&) = delete;
    XolAPI& operator=(XolAPI const&) = delete;

    void set_timeout(unsigned long ms);
    void set_protocol(unsigned int const& version);
    static std::set<unsigned int> const& getSupportedProtocolVersions();

    std::shared_ptr<IdDeviceResponse> IdDevice(unsigned int first, unsigned int second);
    std::shared_ptr<Response> DownloadRecoveryModule(std::istream* image);
    std::shared_ptr<Response> ClearData(unsigned char type, unsigned char index);
    std::shared_ptr<Response> ConfigureDevice(IBlob& request, unsigned char type,
                                              unsigned char index);
    std::shared_ptr<GetCardInfoResponse> GetCardInfo(unsigned char type, unsigned char index);
    std::shared_ptr<StartOverResponse> StartOver(unsigned int flags);
    std::shared_ptr<Response> OemIfpProvision(OemIfpBlock& block);
    std::shared_ptr<Response> ProvisionFwImage(std::istream* image, unsigned int flags);
    std::shared_ptr<Response> XolIfpEmulation(_id_dev_ifp_emulation_t* record);
    std::shared_ptr<SetProtocolResponse> SetProtocol(unsigned int const& version);
    std::shared_ptr<Response> SetDeviceLifecycleStage(Token& token);
    std::shared_ptr<GetTokenPartIdResponse> GetTokenPartId(unsigned int parameter);
    std::shared_ptr<ReadTokenResponse> ReadToken(unsigned char slot);
    std::shared_ptr<Response> WriteToken(Token& token, unsigned char slot);
    std::shared_ptr<Response> EraseToken(unsigned char slot);
    std::shared_ptr<ReadBootMediaResponse> ReadBootMedia(unsigned char type, unsigned char index,
                                                         unsigned int start, unsigned int blocks,
                                                         unsigned char partition);
    // Streams the data into `sink` as it arrives; the response then holds none.
    std::shared_ptr<ReadBootMediaResponse> ReadBootMedia(unsigned char type, unsigned char index,
                                                         unsigned int start, unsigned int blocks,
                                                         unsigned char partition,
                                                         std::streambuf& sink);

    // What command objects take from the protocol object.
    TolvaneWdAPI* getTransport() const { return transport; }
    std::string const& getSerial() const { return serial; }
    uint64_t* getConnection() { return &connection; }
    uint8_t* getTxBuffer() { return txBuffer; }
    uint8_t* getRxBuffer() { return rxBuffer; }
    size_t getTimeout() const { return timeout; }
    unsigned int getProtocolVersion() const { return protocolVersion; }
    xollog::channel_logger_st& getLogger() { return logger; }

private:
    TolvaneWdAPI* transport;
    xollog::channel_logger_st logger;
    std::string serial;
    // The transport's connection this object's transfers are held to: a board that arrives
    // later under the same serial text is never reached.
    uint64_t connection;
    uint8_t txBuffer[txCapacity];
    uint8_t rxBuffer[rxCapacity];
    uint32_t protocolVersion;
    size_t timeout;
};

#endif
