#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>

// Every byte value and every wait of the wire, in one place.
namespace ipserial {

using Ms = std::chrono::milliseconds;

namespace telnet {
constexpr uint8_t kSE = 240;
constexpr uint8_t kSB = 250;
constexpr uint8_t kWILL = 251;
constexpr uint8_t kWONT = 252;
constexpr uint8_t kDO = 253;
constexpr uint8_t kDONT = 254;
constexpr uint8_t kIAC = 255;

constexpr uint8_t kOptBinary = 0;
constexpr uint8_t kOptSuppressGoAhead = 3;
constexpr uint8_t kOptComPort = 44;
} // namespace telnet

// COM-PORT-OPTION commands; the server answers with the same code plus kServerOffset.
namespace comport {
constexpr uint8_t kSetBaudRate = 1;
constexpr uint8_t kSetDataSize = 2;
constexpr uint8_t kSetParity = 3;
constexpr uint8_t kSetStopSize = 4;
constexpr uint8_t kSetControl = 5;
constexpr uint8_t kNotifyModemState = 7;
constexpr uint8_t kSetModemStateMask = 11;
constexpr uint8_t kServerOffset = 100;

constexpr uint8_t kParityNone = 1;
constexpr uint8_t kParityOdd = 2;
constexpr uint8_t kParityEven = 3;
constexpr uint8_t kParityMark = 4;

constexpr uint8_t kStopOne = 1;
constexpr uint8_t kStopTwo = 2;
constexpr uint8_t kStopOneAndHalf = 3;

// SET-CONTROL values, grouped as the server's answers are.
constexpr uint8_t kFlowNone = 1;
constexpr uint8_t kFlowHardware = 3;
constexpr uint8_t kDtrOn = 8;
constexpr uint8_t kDtrOff = 9;
constexpr uint8_t kRtsOn = 11;
constexpr uint8_t kRtsOff = 12;

// Modem state bits of NOTIFY-MODEMSTATE (low nibble: deltas).
constexpr uint8_t kModemCts = 0x10;
constexpr uint8_t kModemDsr = 0x20;
constexpr uint8_t kModemRing = 0x40;
constexpr uint8_t kModemDcd = 0x80;
// Ask for every line and every change; some servers start with an empty mask and stay silent.
constexpr uint8_t kModemMaskAll = 0xFF;
} // namespace comport

constexpr Ms kDefaultOpenTimeout{3000};
// The speed must be confirmed before the caller sends at it; a real server answers in a few ms.
constexpr Ms kConfigReplyTimeout{2000};
// Line and flow commands: the caller needs no confirmation, and some servers (ser2net on a
// device without modem lines) never answer them.
constexpr Ms kControlReplyTimeout{250};
// Closing: time for queued bytes to leave, then for the server's end of the connection.
constexpr Ms kCloseFlush{200};
constexpr Ms kCloseDrain{100};

constexpr size_t kRxCapacity = 65536;
constexpr size_t kTxCapacity = 16384; // escaped bytes waiting for the socket
constexpr size_t kSubnegotiationMax = 64;

} // namespace ipserial
