#pragma once
#include "DynLib.h"
#include "NetSerial.h"
#include "SerialPort.h"
#include "TChannel.h"
#include "Wake.h"
#include "ipserial.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

// A serial line as a channel. The local sort drives a port of this machine; the network sort
// drives a port of a serial device server through the network serial library, loaded at run time.
// The sort is fixed by the constructor; both share the fields, the setters and the service thread.
//
// Threads: the constructors, the setters, GetLines and the destructor run on the user's thread.
// The service thread touches only its context: the rings' thread-side indices, the port's
// transfers (local), or nsio_read / nsio_write / nsio_lstatus and LineState bits 2-5 (network).
// It sleeps until something happens: bytes or room on the link, txWake, a lost port; its pollMs
// only bounds a sleep that no signal ends (and is the pass interval of a network library that
// cannot wait). The
// setters reach the port or the library while the thread keeps running; both accept that. The
// destructor stops and joins the thread before it closes the port or the library's port.
class TSerial : public TChannel {
public:
    // A port of this machine ("COM3", "/dev/ttyUSB0"). smallBuffers asks the driver for 90-byte
    // queues instead of 8192-byte ones.
    TSerial(int32_t reportLevel, const char* name, uint8_t option, const char* portName,
            bool smallBuffers);
    // A port of a serial device server: the library file, the server's dotted address and port;
    // with tls, inside TLS (the library must offer nsio_open_ex). A ready `abort` (a WakeLatch's
    // Native(); zem::kNoWake for none) ends the open at once, whatever it waits for, when the
    // library offers nsio_open_wake; Aborted() then tells so. Afterwards it ends the setters'
    // waits for the server's answers too, so the latch must outlive the channel.
    TSerial(int32_t reportLevel, const char* name, uint8_t option, const char* libraryName,
            const char* address, int32_t port, const zem::NetTls* tls = nullptr,
            intptr_t abort = zem::kNoWake);
    ~TSerial() override;

    bool IsOpen() override { return inited; }
    int SetSpeed(const char* speed) override;
    int SetFormat(const char* format) override;
    int SetFlow(const char* flow) override;
    int SetLines(int mask) override;
    int ClearLines(int mask) override;
    // A local port's input lines are read from the port on the caller's thread by this call; a
    // network port's are those of its service thread's last pass.
    int GetLines(uint32_t* lines) override;

    bool IsNetwork() const { return context && context->network; }
    // Why the constructor did not open the channel, in the operator's words; empty when it did
    // or when nothing is known.
    const std::string& OpenFailure() const { return openFailure; }
    // The open was abandoned because its abort wake-up was raised.
    bool Aborted() const { return aborted; }
    // The network sort's service thread sleeps in the library's wait (nsio_wait) when it has one.
    bool WaitsInLibrary() const { return context && context->nsio_wait; }
    uint32_t NetBaud() const { return netBaud; }
    uint32_t NetMode() const { return netMode; }

    // Shared with the service thread. Filled before the thread starts; afterwards the user's
    // thread writes only `stop`.
    struct SerialThreadContext {
        RingBlock* rings = nullptr;
        zem::SerialPort port;
        int32_t portId = -1;
        uint32_t pollMs = 2; // longest sleep of a pass when nothing wakes the thread
        bool network = false;
        std::atomic<bool> stop{false};
        nsio_read_t nsio_read = nullptr;
        nsio_write_t nsio_write = nullptr;
        nsio_lstatus_t nsio_lstatus = nullptr;
        nsio_wait_t nsio_wait = nullptr; // when the library has it
    };

    static int SerialThread(SerialThreadContext* ctx);

private:
    bool InitContext(bool network);
    bool StartThread();
    bool ResolveEntryPoints();
    bool NetApplyLink();
    int RequestLines(uint32_t bits, bool on);
    static void LocalLoop(SerialThreadContext* ctx);
    static void NetworkLoop(SerialThreadContext* ctx);

    std::unique_ptr<SerialThreadContext> context;
    std::thread thread;
    zem::DynLib library;
    nsio_init_t nsio_init = nullptr;
    nsio_end_t nsio_end = nullptr;
    nsio_open_t nsio_open = nullptr;
    nsio_close_t nsio_close = nullptr;
    nsio_ioctl_t nsio_ioctl = nullptr;
    nsio_flowctrl_t nsio_flowctrl = nullptr;
    nsio_read_t nsio_read = nullptr;
    nsio_write_t nsio_write = nullptr;
    nsio_DTR_t nsio_DTR = nullptr;
    nsio_RTS_t nsio_RTS = nullptr;
    nsio_lstatus_t nsio_lstatus = nullptr;
    uint32_t netMode = 0;
    uint32_t netBaud = 0;
    std::string openFailure;
    bool aborted = false;
    bool abortAnswered = false; // a setter's request ended by the abort wake-up
};
