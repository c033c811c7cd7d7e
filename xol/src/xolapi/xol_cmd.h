// The root of the protocol's command classes: frames one command's messages, moves them through
// the transport, validates the device's answers and dispatches them to the command's handlers.
#ifndef XOL_CMD_H
#define XOL_CMD_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "log_attributes.h"
#include "message_layout.h"

class TolvaneWdAPI;
class XolAPI;

class XolCmd {
public:
    explicit XolCmd(XolAPI& api);
    virtual ~XolCmd();
    XolCmd(XolCmd const&) = delete;
    XolCmd& operator=(XolCmd const&) = delete;

    // Runs the whole exchange: the initial command, then every answer until the command is done.
    void exchange();

    // Answers in a row that do not advance a transfer before the exchange is given up; a
    // download also asks at most this many times more than the units it was announced.
    static constexpr unsigned stallAllowance = 8;

protected:
    virtual void handleAddRequestData(size_t requested, uint32_t flags);
    virtual void handleAddResponseData(void const* data, size_t length, size_t remaining);
    virtual void handleHeartbeat();
    virtual void handleFwError(unsigned int status);
    virtual void handleResponse(void const* data, size_t length, size_t additional);
    virtual unsigned int getRequestCode() = 0;
    virtual bool isValidResponseCode(unsigned int code) = 0;
    virtual void sendInitialCmd() = 0;

    // Frames the message whose data are already in tx (behind the header, or at tx itself for a
    // payload-only message) and marks it for sending.
    void sendMessage(uint8_t marker, size_t dataLength, size_t additionalLength, bool payloadOnly);
    void read();
    void HandleIncomingMessage();

    // Zeroes the initial command's payload area and frames it.
    uint8_t* beginInitialPayload();
    void sendInitialPayload(size_t additionalLength);
    // Data bytes of the current device message that were actually received; handlers that read
    // fields of a final response refuse a message that does not hold them.
    size_t receivedDataLength() const;
    void requireReceivedData(size_t length) const;
    // A device that keeps answering without the transfer advancing would hold the host in the
    // exchange for ever: a few such answers in a row end it with VEMO_ERROR_ADDITIONAL_SIZE and
    // `failure`.
    void guardProgress(bool advanced, char const* failure);

    size_t txCapacity;
    size_t rxCapacity;
    TolvaneWdAPI* transport;
    std::string serial;
    uint64_t* connection; // the protocol object's hold on its board
    uint8_t* tx;
    uint8_t* rx;
    bool sendPending;
    bool readPending;
    bool expectReply;
    size_t txLength;
    bool padFlag;
    size_t timeout;
    xollog::channel_logger_st* logger;

private:
    // The message loop of exchange.
    void run();
    // Reads and drops what an earlier exchange left on the IN endpoint.
    void drainStaleInput();
    // A device that sends nothing but heartbeats is given a bounded time, then the exchange
    // ends as a time-out.
    void boundHeartbeats();

    size_t rxLength; // bytes of the current device message held in rx
    unsigned stalls; // answers in a row that did not advance the transfer
    bool heartbeating; // the device messages since heartbeatsSince were all heartbeats
    std::chrono::steady_clock::time_point heartbeatsSince;
};

// Binds a command class to its request code; its one valid response code is that code with the
// response bit.
template <xolmsg::RequestCode Code, class Base = XolCmd>
class FixedCodeXolCmd : public Base {
public:
    using Base::Base;

protected:
    unsigned int getRequestCode() override { return Code; }
    bool isValidResponseCode(unsigned int code) override
    {
        return code == xolmsg::responseCodeOf(Code);
    }
};

#endif
