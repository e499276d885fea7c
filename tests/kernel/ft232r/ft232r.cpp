#include "tests/kernel/ft232r/ft232r.h"

#include <algorithm>

namespace {

// Standard requests.
constexpr std::uint8_t kGetStatus = 0x00;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kGetConfiguration = 0x08;
// Descriptor types.
constexpr std::uint8_t kDeviceDescriptor = 1;
constexpr std::uint8_t kConfigDescriptor = 2;
constexpr std::uint8_t kStringDescriptor = 3;

// FTDI's vendor requests.
enum : std::uint8_t {
    kReset = 0x00,
    kModemCtrl = 0x01,
    kSetFlowCtrl = 0x02,
    kSetBaudRate = 0x03,
    kSetData = 0x04,
    kGetModemStatus = 0x05,
    kSetEventChar = 0x06,
    kSetErrorChar = 0x07,
    kSetLatencyTimer = 0x09,
    kGetLatencyTimer = 0x0A,
    kSetBitMode = 0x0B,
    kReadPins = 0x0C,
    kReadEeprom = 0x90,
};

// The status bytes: modem status (bit 0 is always set), then line status.
constexpr std::uint8_t kModemStatus = 0x01;
constexpr std::uint8_t kTxBufferEmpty = 0x20; // THRE
constexpr std::uint8_t kTxAllEmpty = 0x40;    // TEMT: buffer and shifter

constexpr std::uint8_t kRequestTypeMask = 0x60;
constexpr std::uint8_t kStandard = 0x00;
constexpr std::uint8_t kVendor = 0x40;

// FT232R: VID 0403, PID 6001, release 6.00, 8-byte control endpoint, bus
// powered, one interface with bulk IN 0x81 and bulk OUT 0x02.
const std::vector<std::uint8_t> kDevice = {18,   1,    0x00, 0x02, 0,    0, 0, 8, 0x03,
                                           0x04, 0x01, 0x60, 0x00, 0x06, 1, 2, 3, 1};
const std::vector<std::uint8_t> kConfiguration = {
    9, 2, 32,   0, 1,  1,    0,    0xA0, 45, // configuration, 90 mA
    9, 4, 0,    0, 2,  0xFF, 0xFF, 0xFF, 2,  // interface: vendor specific
    7, 5, 0x81, 2, 64, 0,    0,              // bulk IN
    7, 5, 0x02, 2, 64, 0,    0};             // bulk OUT

std::vector<std::uint8_t> stringDescriptor(const std::string& text) {
    std::vector<std::uint8_t> d = {static_cast<std::uint8_t>(2 + 2 * text.size()),
                                   kStringDescriptor};
    for (char c : text) {
        d.push_back(static_cast<std::uint8_t>(c));
        d.push_back(0);
    }
    return d;
}

ControlReply answer(std::vector<std::uint8_t> data, std::uint16_t length) {
    data.resize(std::min<std::size_t>(data.size(), length));
    return ControlReply{false, data};
}

const ControlReply kStall = {true, {}};
const ControlReply kDone = {false, {}};

ControlReply standardRequest(const Ft232r& chip, const SetupPacket& s) {
    if (s.request == kGetDescriptor) {
        const std::uint8_t type = s.value >> 8;
        const std::uint8_t index = s.value & 0xFF;
        if (type == kDeviceDescriptor) {
            return answer(kDevice, s.length);
        }
        if (type == kConfigDescriptor) {
            return answer(kConfiguration, s.length);
        }
        if (type == kStringDescriptor && index == 0) {
            return answer({4, kStringDescriptor, 0x09, 0x04}, s.length); // English (US)
        }
        const std::string texts[] = {"FTDI", chip.product, chip.serial};
        if (type == kStringDescriptor && index <= 3) {
            return answer(stringDescriptor(texts[index - 1]), s.length);
        }
        // Device qualifier, BOS, other speeds: a full-speed-only device has none.
        return kStall;
    }
    if (s.request == kGetStatus) {
        return answer({0, 0}, s.length);
    }
    if (s.request == kGetConfiguration) {
        return answer({1}, s.length);
    }
    // SET_CONFIGURATION, SET_INTERFACE, CLEAR_FEATURE and the like.
    return (s.requestType & 0x80) ? kStall : kDone;
}

std::uint8_t lineStatus(const Ft232r& chip, std::int64_t nowNs) {
    if (!chip.tx.empty()) {
        return 0;
    }
    return chip.lineFreeNs <= nowNs ? kTxBufferEmpty | kTxAllEmpty : kTxBufferEmpty;
}

ControlReply vendorRequest(Ft232r& chip, const SetupPacket& s, std::int64_t nowNs) {
    switch (s.request) {
    case kReset:
        if (s.value == 0 || s.value == 1) {
            chip.rx.clear();
        }
        if (s.value == 0 || s.value == 2) {
            chip.tx.clear();
        }
        return kDone;
    case kModemCtrl: {
        const std::uint8_t mask = s.value >> 8;
        chip.modemLines = static_cast<std::uint8_t>((chip.modemLines & ~mask) | (s.value & mask));
        return kDone;
    }
    case kSetFlowCtrl:
        chip.flowControl = s.index >> 8;
        return kDone;
    case kSetBaudRate:
        chip.divisorValue = s.value;
        chip.divisorIndex = s.index;
        return kDone;
    case kSetData:
        chip.dataSetting = s.value;
        return kDone;
    case kGetModemStatus:
        return answer({kModemStatus, lineStatus(chip, nowNs)}, s.length);
    case kSetEventChar:
    case kSetErrorChar:
    case kSetBitMode:
        return kDone;
    case kSetLatencyTimer:
        chip.latencyMs = std::max<std::uint8_t>(1, s.value & 0xFF);
        return kDone;
    case kGetLatencyTimer:
        return answer({chip.latencyMs}, s.length);
    case kReadPins:
        return answer({0xFF}, s.length);
    case kReadEeprom: // a blank EEPROM: no CBUS pin is a GPIO
        return answer({0, 0}, s.length);
    default:
        return kStall;
    }
}

} // namespace

Ft232r ft232rPoweredOn(const std::string& product, const std::string& serial) {
    Ft232r chip;
    chip.product = product;
    chip.serial = serial;
    return chip;
}

ControlReply ft232rControl(Ft232r& chip, const SetupPacket& setup, std::int64_t nowNs) {
    switch (setup.requestType & kRequestTypeMask) {
    case kStandard:
        return standardRequest(chip, setup);
    case kVendor:
        return vendorRequest(chip, setup, nowNs);
    default:
        return kStall;
    }
}

std::int64_t ft232rByteNs(const Ft232r& chip) {
    // The divisor in eighths: 14 bits of whole part, 3 bits of a fraction
    // code, the third in bit 0 of wIndex. 0 and 1 stand for 3 and 2 Mbaud.
    static const int kEighths[8] = {0, 4, 2, 1, 3, 5, 6, 7};
    const std::uint32_t encoded = chip.divisorValue | ((chip.divisorIndex & 1u) << 16);
    std::int64_t eighths = (encoded & 0x3FFF) * 8 + kEighths[(encoded >> 14) & 7];
    if (encoded == 0) {
        eighths = 8;
    } else if (encoded == 1) {
        eighths = 12;
    }
    // In half bits: start, data (7 or 8), parity unless none, stop 1, 1.5 or 2.
    const int dataBits = (chip.dataSetting & 0xFF) == 7 ? 7 : 8;
    const int parity = ((chip.dataSetting >> 8) & 7) == 0 ? 0 : 1;
    const int stopHalves = 2 + ((chip.dataSetting >> 11) & 3);
    const std::int64_t halfBits = 2 * (1 + dataBits + parity) + stopHalves;
    // 3 MHz base: a bit lasts eighths / 24 MHz.
    return halfBits * 1000000000LL * eighths / (2 * 24000000LL);
}

std::size_t ft232rTake(Ft232r& chip, const std::uint8_t* bytes, std::size_t n, std::int64_t nowNs) {
    std::size_t taken = 0;
    while (taken < n && chip.tx.size() < kTxBufferBytes) {
        chip.tx.push_back(QueuedByte{bytes[taken++], nowNs});
    }
    return taken;
}

void ft232rRunUart(Ft232r& chip, std::int64_t nowNs,
                   const std::function<void(std::uint8_t, std::int64_t)>& sent) {
    while (!chip.tx.empty()) {
        const std::int64_t start = ft232rNextStartNs(chip);
        if (start > nowNs) {
            return;
        }
        const std::uint8_t value = chip.tx.front().value;
        chip.tx.pop_front();
        chip.lineFreeNs = start + ft232rByteNs(chip);
        sent(value, start);
    }
}

std::int64_t ft232rNextStartNs(const Ft232r& chip) {
    return chip.tx.empty() ? -1 : std::max(chip.lineFreeNs, chip.tx.front().takenNs);
}

std::vector<std::uint8_t> ft232rInPacket(Ft232r& chip, std::size_t maxLength, std::int64_t nowNs) {
    std::vector<std::uint8_t> packet = {kModemStatus, lineStatus(chip, nowNs)};
    const std::size_t room = std::min(maxLength, kBulkPacketBytes);
    while (packet.size() < room && !chip.rx.empty()) {
        packet.push_back(chip.rx.front());
        chip.rx.pop_front();
    }
    packet.resize(std::min(packet.size(), maxLength));
    return packet;
}

void ft232rReceive(Ft232r& chip, std::uint8_t value) {
    if (chip.rx.size() < kRxBufferBytes) {
        chip.rx.push_back(value);
    }
}
