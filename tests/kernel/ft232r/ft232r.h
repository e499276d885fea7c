// An FTDI FT232R as the host's driver sees it: its descriptors, its vendor
// requests, its transmit and receive buffers and a UART that sends at the
// rate and framing the driver programmed. No I/O: the caller moves bytes in
// and out and tells the time.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

// The chip's buffers: 256 bytes towards the line, 128 from it.
constexpr std::size_t kTxBufferBytes = 256;
constexpr std::size_t kRxBufferBytes = 128;
// A full-speed bulk packet; the chip sends at most one per IN transfer.
constexpr std::size_t kBulkPacketBytes = 64;

// The eight bytes of a control transfer's setup stage.
struct SetupPacket {
    std::uint8_t requestType;
    std::uint8_t request;
    std::uint16_t value;
    std::uint16_t index;
    std::uint16_t length;
};

struct ControlReply {
    bool stall; // the chip refuses the request
    std::vector<std::uint8_t> data;
};

struct QueuedByte {
    std::uint8_t value;
    std::int64_t takenNs; // when it came into the transmit buffer
};

struct Ft232r {
    std::string product;
    std::string serial;
    // The line as programmed; at power-on 9600 baud, 8N1, no flow control.
    std::uint16_t divisorValue = 0x4138;
    std::uint16_t divisorIndex = 0;
    std::uint16_t dataSetting = 0x0008;
    std::uint16_t flowControl = 0; // the high byte of SET_FLOW_CTRL's wIndex
    std::uint8_t modemLines = 0;   // bit 0 DTR, bit 1 RTS
    std::uint8_t latencyMs = 16;
    std::deque<QueuedByte> tx;
    std::deque<std::uint8_t> rx;
    std::int64_t lineFreeNs = 0; // when the byte on the wire, if any, ends
};

Ft232r ft232rPoweredOn(const std::string& product, const std::string& serial);

// Answers a control request, standard or vendor, and applies what it sets.
// The UART is to be run up to nowNs first: the modem status tells whether
// the transmitter is empty.
ControlReply ft232rControl(Ft232r& chip, const SetupPacket& setup, std::int64_t nowNs);

// One byte's time on the wire at the programmed rate and framing: start bit,
// data bits, parity, stop bits.
std::int64_t ft232rByteNs(const Ft232r& chip);

// Takes up to n bytes into the transmit buffer as far as it has room; returns
// how many it took.
std::size_t ft232rTake(Ft232r& chip, const std::uint8_t* bytes, std::size_t n, std::int64_t nowNs);

// Runs the UART up to nowNs: each byte starts when the one before has ended,
// or when it came in if the line was idle. sent(value, startNs) for each.
void ft232rRunUart(Ft232r& chip, std::int64_t nowNs,
                   const std::function<void(std::uint8_t, std::int64_t)>& sent);

// When the UART next starts a byte; -1 if its buffer is empty.
std::int64_t ft232rNextStartNs(const Ft232r& chip);

// A bulk IN packet: the two status bytes, then received bytes.
std::vector<std::uint8_t> ft232rInPacket(Ft232r& chip, std::size_t maxLength, std::int64_t nowNs);

// Whether a received byte fits in the receive buffer; it is dropped if not.
void ft232rReceive(Ft232r& chip, std::uint8_t value);
