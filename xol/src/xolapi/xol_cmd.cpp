#include "xol_cmd.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ios>

#include <boost/log/attributes/named_scope.hpp>
#include <boost/log/sources/record_ostream.hpp>

#include "exceptions.h"
#include "log_line.h"
#include "status_codes.h"
#include "tolvane_libusb.h"
#include "xol_api.h"

using namespace xolmsg;

namespace {

// The request header's size, as the trace reports it.
constexpr size_t headerLength = request::header;

[[noreturn]] void badSize()
{
    throw status::unexpectedMessageSize();
}

// libusb's codes as the transport reports them (sign-extended to the status width).
constexpr unsigned long transferTimedOut = static_cast<unsigned long>(-7L); // LIBUSB_ERROR_TIMEOUT
constexpr unsigned long transferOverflowed = static_cast<unsigned long>(-8L); // LIBUSB_ERROR_OVERFLOW

// An exchange that ended this way may have left the rest of a device message, or answers still
// to come, on the IN endpoint; the next exchange would read them as its own.
bool leavesStaleInput(VemoException const& e)
{
    const unsigned long code = e.getErrorCode();
    return isFramingError(code) || code == transferTimedOut ||
           code == transferOverflowed;
}

// Heartbeats alone keep an exchange alive for at most this many transfer time-outs (10 minutes
// at the default 5 s): far more than the slowest storage operation takes, and still an end.
constexpr uint64_t heartbeatTimeouts = 120;

// Reads of a drain: each takes up to a whole receive buffer, a whole number of packets on every
// endpoint; a device that never stops sending is given up on after this many.
constexpr unsigned maxDrainReads = 16;
// What is already on its way comes within a few bus frames; the wait of the last, empty read is
// what a drain costs.
constexpr unsigned long drainTimeoutMs = 100;

} // namespace

#define XOL_LOG(text) XOLLOG_SEV(*logger, xollog::severity::debug) << text

XolCmd::XolCmd(XolAPI& api)
    : txCapacity(XolAPI::txCapacity), rxCapacity(XolAPI::rxCapacity),
      transport(api.getTransport()), serial(api.getSerial()), connection(api.getConnection()),
      tx(api.getTxBuffer()),
      rx(api.getRxBuffer()), sendPending(false), readPending(false), expectReply(false),
      txLength(0), padFlag(false), timeout(api.getTimeout()), logger(&api.getLogger()),
      rxLength(0), stalls(0), heartbeating(false)
{
}

XolCmd::~XolCmd() = default;

void XolCmd::sendMessage(uint8_t marker, size_t dataLength, size_t additionalLength,
                         bool payloadOnly)
{
    BOOST_LOG_FUNCTION();
    XOL_LOG("TX: Payload only: " << (payloadOnly ? "yes" : "no"));
    XOL_LOG("TX: Data length: " << dataLength);
    size_t messageLength = dataLength;
    if (!payloadOnly) {
        messageLength = dataLength + headerLength;
        putLe(tx + request::messageLength, messageLength, u24);
        tx[request::headerLength] = headerLength;
        putLe(tx + request::code, getRequestCode(), u24);
        tx[request::marker] = marker;
        putLe(tx + request::additional, static_cast<uint32_t>(additionalLength), u32);
        putLe(tx + request::reserved, 0, u32);
        XOL_LOG("TX: Command: " << std::hex << getRequestCode());
        XOL_LOG("TX: Marker: " << std::hex << static_cast<unsigned>(marker));
        XOL_LOG("TX: Header length: " << headerLength);
        XOL_LOG("TX: Additional data length: " << additionalLength);
    }
    XOL_LOG("TX: Message length: " << messageLength);
    txLength = messageLength;
    sendPending = true;
    expectReply = true;
    padFlag = marker == markerFinal;
}

void XolCmd::read()
{
    BOOST_LOG_FUNCTION();
    XOL_LOG("Reading first packet");
    size_t got = 0;
    transport->Read(serial, rx, 0, got, timeout, connection);
    // Nothing can be judged before the length field is in.
    if (got > rxCapacity || got < response::messageLength + u24)
        badSize();
    auto readRestUpTo = [&](size_t length) {
        XOL_LOG("Reading the rest");
        size_t n = 0;
        transport->Read(serial, rx + got, length - got, n, timeout, connection);
        got += n;
    };
    // A length below the header's is read as the header alone: the response code, firmware
    // status and marker are looked at before the length is judged.
    const size_t announced =
        std::max<size_t>(getLe(rx + response::messageLength, u24), response::header);
    // A first packet shorter than the header (small endpoints) already holds the length: the
    // rest comes in one transfer, as the bus delivers the message in whole packets. A length the
    // receive buffer cannot hold is refused once the header is in.
    bool restAsked = false;
    if (got < response::header) {
        readRestUpTo(announced <= rxCapacity ? announced : response::header);
        restAsked = true;
        if (got < response::header)
            badSize();
    }
    const uint32_t code = getLe(rx + response::code, u24);
    const size_t expected = code == headerOnlyResponseCode ? response::header : announced;
    // Refused before a byte lands past the receive buffer.
    if (expected > rxCapacity)
        badSize();
    if (expected > got) {
        // The bus ends a message with its short packet: once the rest was asked for, what is
        // missing is cut off, and another transfer would wait for, or take, the next message.
        if (restAsked)
            badSize();
        readRestUpTo(expected);
        // A short second transfer would leave stale bytes of an earlier message in the data.
        if (got < expected)
            badSize();
    }
    rxLength = expected;
}

void XolCmd::HandleIncomingMessage()
{
    BOOST_LOG_FUNCTION();
    const uint32_t responseCode = getLe(rx + response::code, u24);
    const uint8_t marker = rx[response::marker];
    const uint32_t lengthField = getLe(rx + response::messageLength, u24);
    const uint32_t headerLen = rx[response::headerLength];
    const uint32_t additional = getLe(rx + response::additional, u32);
    const uint32_t flags = getLe(rx + response::flags, u32);
    const uint32_t status = getLe(rx + response::status, u32);
    const uint32_t messageLength =
        responseCode == headerOnlyResponseCode ? response::header : lengthField;
    XOL_LOG("RX: Command: " << std::hex << responseCode);
    XOL_LOG("RX: Marker: " << std::hex << static_cast<unsigned>(marker));
    XOL_LOG("RX: Message length: " << lengthField);
    XOL_LOG("RX: Header length: " << headerLen);
    XOL_LOG("RX: Data length (calculated): " << static_cast<int32_t>(lengthField - headerLen));
    XOL_LOG("RX: Additional data length: " << additional);
    XOL_LOG("RX: Flags: " << std::hex << flags);
    XOL_LOG("RX: FW status: " << std::hex << status);

    if (!isValidResponseCode(responseCode))
        throw status::badResponseCode();
    if (status != 0) {
        handleFwError(status);
        return;
    }

    size_t dataLength = finalDataLength;
    bool headerOnly = headerLen == messageLength;
    if (!headerOnly) {
        const int32_t signedLength = static_cast<int32_t>(messageLength - headerLen);
        dataLength = static_cast<size_t>(static_cast<ptrdiff_t>(signedLength));
    }

    if (marker == markerHeartbeat)
        boundHeartbeats();
    else
        heartbeating = false;

    switch (marker) {
    case markerFinal:
        handleResponse(rx + response::data, dataLength, additional);
        break;
    case markerChunk: {
        // A chunk hands on only bytes that arrived with it: a header-only chunk brings none, and
        // a length that points before the data or past the message is no chunk at all.
        size_t chunkLength = 0;
        if (!headerOnly) {
            if (messageLength < headerLen || dataLength > receivedDataLength())
                badSize();
            chunkLength = dataLength;
        }
        handleAddResponseData(rx + response::data, chunkLength, additional);
        break;
    }
    case markerHeartbeat:
        handleHeartbeat();
        break;
    case markerRequest:
        handleAddRequestData(additional, flags);
        break;
    default:
        throw status::badResponseMarker();
    }
}

size_t XolCmd::receivedDataLength() const
{
    return rxLength > response::data ? rxLength - response::data : 0;
}

void XolCmd::requireReceivedData(size_t length) const
{
    if (receivedDataLength() < length)
        badSize();
}

void XolCmd::boundHeartbeats()
{
    const auto now = std::chrono::steady_clock::now();
    if (!heartbeating) {
        heartbeating = true;
        heartbeatsSince = now;
        return;
    }
    const std::chrono::milliseconds window(heartbeatTimeouts * static_cast<uint64_t>(timeout));
    if (now - heartbeatsSince > window)
        throw VemoException(transferTimedOut, "LIBUSB_ERROR_TIMEOUT");
}

void XolCmd::guardProgress(bool advanced, char const* failure)
{
    if (advanced) {
        stalls = 0;
        return;
    }
    if (++stalls >= stallAllowance)
        throw VemoException(VEMO_ERROR_ADDITIONAL_SIZE, failure);
}

void XolCmd::handleAddRequestData(size_t, uint32_t)
{
    throw status::dataRequestUnsupported();
}

void XolCmd::handleAddResponseData(void const*, size_t, size_t)
{
    throw status::responseDataUnsupported();
}

void XolCmd::handleHeartbeat()
{
    readPending = true;
}

void XolCmd::handleFwError(unsigned int status)
{
    throw FwError(static_cast<unsigned long>(status));
}

void XolCmd::handleResponse(void const*, size_t length, size_t additional)
{
    if (length != finalDataLength)
        badSize();
    if (additional != 0)
        throw status::unexpectedAdditionalSize();
}

uint8_t* XolCmd::beginInitialPayload()
{
    std::memset(tx + request::data, 0, initialPayloadLength);
    return tx;
}

void XolCmd::sendInitialPayload(size_t additionalLength)
{
    sendMessage(markerFinal, initialPayloadLength, additionalLength, false);
}

void XolCmd::drainStaleInput()
{
    for (unsigned i = 0; i < maxDrainReads; ++i) {
        size_t n = 0;
        try {
            transport->Read(serial, rx, rxCapacity, n, drainTimeoutMs, connection);
        } catch (VemoException const&) {
            // Empty at last (a time-out); any other failure shows again on the command's own
            // transfers.
            return;
        }
    }
}

void XolCmd::exchange()
{
    sendInitialCmd();
    // Jobs build one protocol object after another for a connection: the mark is the
    // transport's, per connection.
    if (transport->SwapStaleInput(serial, connection, false))
        drainStaleInput();
    try {
        run();
    } catch (VemoException const& e) {
        if (leavesStaleInput(e))
            transport->SwapStaleInput(serial, connection, true);
        throw;
    }
}

void XolCmd::run()
{
    for (;;) {
        if (sendPending) {
            transport->Write(serial, tx, txCapacity, txLength, padFlag, timeout, connection);
            sendPending = false;
            txLength = 0;
            padFlag = false;
            if (expectReply) {
                readPending = true;
                expectReply = false;
            }
        }
        if (!readPending)
            return;
        read();
        readPending = false;
        HandleIncomingMessage();
    }
}
