#pragma once
#include "Wake.h"

#include <cstdint>
#include <memory>
#include <string>

namespace zem {

// Line settings of a local serial port, in the terms of the Win32 device control block. A caller
// never builds one from nothing: it reads the port's record (GetSettings), changes some fields and
// writes it back (SetSettings). Whatever the port had beyond these fields travels in `native`
// unchanged from the read to the write.
struct SerialSettings {
    enum Parity : uint8_t {
        kNoParity = 0,
        kOddParity = 1,
        kEvenParity = 2,
        kMarkParity = 3,
        kSpaceParity = 4,
    };
    enum StopBits : uint8_t { kOneStopBit = 0, kOne5StopBits = 1, kTwoStopBits = 2 };
    enum LineControl : uint8_t { kLineDisable = 0, kLineEnable = 1, kLineHandshake = 2 };

    uint32_t baudRate = 0;
    int byteSize = 8; // as given; the driver refuses what it cannot do
    uint8_t parity = kNoParity;
    uint8_t stopBits = kOneStopBit;
    bool binary = false;
    bool parityCheck = false;
    bool outxCtsFlow = false;
    bool outxDsrFlow = false;
    uint8_t dtrControl = kLineEnable;
    bool dsrSensitivity = false;
    bool txContinueOnXoff = false;
    bool outX = false;
    bool inX = false;
    bool errorChar = false;
    bool nullStrip = false;
    uint8_t rtsControl = kLineEnable;
    bool abortOnError = false;

    alignas(8) unsigned char native[128] = {};
};

// Modem input lines as ModemStatus reports them.
enum : uint32_t { kModemCts = 0x01, kModemDsr = 0x02, kModemRing = 0x04, kModemDcd = 0x08 };

enum class SerialLine { kSetRts, kClearRts, kSetDtr, kClearDtr };

// What became of a transfer that was started or collected. kLost: the driver's error says the
// port itself is gone (LostCause names it); nothing more will move on it.
enum class SerialIo { kDone, kPending, kFailed, kLost };

// What ended SerialPort::Wait.
enum class SerialWait { kReady, kTimeout, kLost };

// The one mapping of this platform's driver errors (errno, GetLastError) to a lost port: a short
// text naming the cause, or null for an error that leaves the port usable.
const char* SerialLostCause(long error);

// One open local serial port.
//
// Threads: after Open, the service thread alone uses ClearErrors and the transfers
// (StartRead/CollectRead, StartWrite/CollectWrite, EndTransfers, Wait); the user's thread uses
// GetSettings, SetSettings, Line and ModemStatus at the same time. Open, PrepareTransfers and Close
// run while no service thread uses the port.
//
// Transfers are started and collected later without waiting. Where the platform finishes them at
// once, Start never reports kPending. A count is what the transfer moved, 0 after a failure. At
// most one read and one write are under way; their buffers must stay valid until collected.
// A read takes only what the driver already holds; when it holds nothing, the read either ends
// with 0 or stays pending until a byte arrives, so that Wait sees the arrival either way.
class SerialPort {
public:
    SerialPort();
    ~SerialPort(); // closes
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens the port exclusively, for reading and writing, only if it exists. A port held by
    // another program (or another Zem) fails like a missing one.
    bool Open(const std::string& portName);
    // The system's error code (errno, GetLastError) of the last failed Open, for OpenFailureCause.
    long OpenError() const { return openError_; }
    bool IsOpen() const;
    void Close();

    void SetQueueSizes(uint32_t input, uint32_t output); // a request; drivers may ignore it
    bool ClearErrors(uint32_t* inQueue); // clears line errors; bytes waiting in the driver
    bool GetSettings(SerialSettings& s);
    bool SetSettings(const SerialSettings& s);
    void AbortTransfers(); // aborts pending transfers; the driver's queues keep their bytes
    bool Line(SerialLine request);
    bool ModemStatus(uint32_t* bits); // kModem* bits

    // Creates the records the transfers need; false when the platform could not.
    bool PrepareTransfers();
    SerialIo StartRead(uint8_t* data, uint32_t size, uint32_t* count);
    SerialIo CollectRead(uint32_t* count);
    SerialIo StartWrite(const uint8_t* data, uint32_t size, uint32_t* count);
    SerialIo CollectWrite(uint32_t* count);
    // Cancels and collects what is still under way; the service thread calls it before it ends.
    void EndTransfers();
    // Blocks the service thread until a pending transfer finished, bytes arrived (wantRead), the
    // driver takes more bytes (wantWrite), `wake` was raised, or ms passed. kLost when the port
    // reports itself gone.
    SerialWait Wait(WakeEvent& wake, uint32_t ms, bool wantRead, bool wantWrite);
    // Why the port was found lost (the last kLost), for the operator.
    const char* LostCause() const;

private:
    struct Native;
    std::unique_ptr<Native> native_;
    long openError_ = 0;
};

// The device that a port name stands for: "COMn" (any letter case) is the platform's n-th port,
// "/dev/..." a device path taken as it stands. Empty when the name names no local port.
std::string SerialDevicePath(const std::string& portName);

} // namespace zem
