// The commands that download bytes: the final response announces the total, then the host asks
// for chunk after chunk until the device reports nothing more to come.
#ifndef XOL_DOWNLOAD_CMDS_H
#define XOL_DOWNLOAD_CMDS_H

#include <memory>
#include <ostream>
#include <sstream>
#include <streambuf>

#include "xol_api.h"
#include "xol_cmd.h"

class ChunkedDownloadXolCmd : public XolCmd {
public:
    // The bytes go into `sink` as they arrive when one is given (the response then holds none),
    // else into a buffer of the command's own that the response takes over.
    explicit ChunkedDownloadXolCmd(XolAPI& api, std::streambuf* sink = nullptr);

protected:
    void handleAddResponseData(void const* data, size_t length, size_t remaining) override;
    // The next amount to ask for, given what the device says is still to come.
    virtual size_t nextAmount(size_t remaining) const = 0;
    // The download is complete: make the response from the collected bytes.
    virtual void complete() = 0;
    // Fails instead once the download has used up the requests it may take.
    void askFor(size_t amount);
    // The final response announced `units` still to come, of `bytesPerUnit` bytes each: ask for
    // the first chunk.
    void beginDownload(size_t units, uint64_t bytesPerUnit);

    // Most data bytes one device message can bring.
    size_t chunkLimit() const { return rxCapacity - xolmsg::response::header; }

    std::unique_ptr<std::stringbuf> buffer; // empty when the caller gave a sink
    std::ostream output;

private:
    // Counts what arrives against what was announced and what was asked: a device that sends
    // more never grows the buffer past either, one whose figure of what is still to come rises is
    // refused, and one that ends early is not taken as a complete download.
    void account(size_t length, size_t remaining);

    bool fetching;          // the final response has announced the total
    uint64_t unitBytes;
    uint64_t expectedBytes; // announced total, in bytes
    uint64_t receivedBytes;
    uint64_t askedBytes;    // by the latest chunk request
    size_t lowestRemaining; // the lowest still-to-come figure the device gave
    // Every unit announced may take a request of its own, and a few requests may bring nothing:
    // beyond that the device is not moving the download forward.
    uint64_t requestsLeft;
};

class GetCardInfoXolCmd : public FixedCodeXolCmd<xolmsg::getCardInfo, ChunkedDownloadXolCmd> {
public:
    GetCardInfoXolCmd(XolAPI& api, unsigned char type, unsigned char index);
    std::shared_ptr<XolAPI::GetCardInfoResponse> const& getResponse() const { return response; }

protected:
    void sendInitialCmd() override;
    void handleResponse(void const* data, size_t length, size_t additional) override;
    size_t nextAmount(size_t remaining) const override;
    void complete() override;

private:
    uint8_t type;
    uint8_t index;
    std::shared_ptr<XolAPI::GetCardInfoResponse> response;
};

class ReadTokenXolCmd : public FixedCodeXolCmd<xolmsg::readToken, ChunkedDownloadXolCmd> {
public:
    ReadTokenXolCmd(XolAPI& api, unsigned char slot);
    std::shared_ptr<XolAPI::ReadTokenResponse> const& getResponse() const { return response; }

protected:
    void sendInitialCmd() override;
    void handleResponse(void const* data, size_t length, size_t additional) override;
    size_t nextAmount(size_t remaining) const override;
    void complete() override;

private:
    std::shared_ptr<XolAPI::ReadTokenResponse> response;
    uint8_t slot;
};

// Amounts count blocks of the device's block size.
class ReadBootMediaXolCmd
    : public FixedCodeXolCmd<xolmsg::readBootMedia, ChunkedDownloadXolCmd> {
public:
    ReadBootMediaXolCmd(XolAPI& api, unsigned char type, unsigned char index,
                        unsigned char partition, unsigned int start, unsigned int blocks,
                        std::streambuf* sink = nullptr);
    std::shared_ptr<XolAPI::ReadBootMediaResponse> const& getResponse() const { return response; }

protected:
    void sendInitialCmd() override;
    void handleResponse(void const* data, size_t length, size_t additional) override;
    size_t nextAmount(size_t remaining) const override;
    void complete() override;

private:
    uint8_t type;
    uint8_t index;
    uint8_t partition;
    uint32_t start;
    uint32_t blocks;
    uint32_t maxChunk;
    uint32_t blockSize;
    std::shared_ptr<XolAPI::ReadBootMediaResponse> response;
};

#endif
