#pragma once
#include "NetSerial.h"
#include "SerialLink.h"
#include "TChannel.h"
#include "Wake.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

class NetworkLink;

// A serial line as a channel. The local sort drives a port of this machine (LocalLink); the
// network sort drives a port of a serial device server through the network serial library
// (NetworkLink). The sort is fixed by the constructor; the channel keeps the rings, the output
// lines and the service thread, and leaves the rest to its link.
//
// Threads: the constructors, the setters, GetLines and the destructor run on the user's thread.
// The service thread runs the link's Serve, which touches only the rings and the link's
// transfers. It sleeps until something happens: bytes or room on the link, txWake, a lost port
// (the I/O loop's guard bounds a sleep that no signal ends). The setters reach the port or the
// library while the thread keeps running; both accept that. The destructor stops and joins the
// thread before the link closes the port or the library's port.
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

    bool IsNetwork() const { return network != nullptr; }
    // Why the constructor did not open the channel, in the operator's words; empty when it did
    // or when nothing is known.
    const std::string& OpenFailure() const { return openFailure; }
    // The open was abandoned because its abort wake-up was raised.
    bool Aborted() const { return aborted; }
    // The network sort's service thread sleeps in the library's wait (nsio_wait) when it has one.
    bool WaitsInLibrary() const;
    uint32_t NetBaud() const;
    uint32_t NetMode() const;

private:
    bool InitRings();
    bool StartThread();
    int RequestLines(uint32_t bits, bool on);

    std::unique_ptr<SerialLink> link;
    NetworkLink* network = nullptr; // the link, when it is the network sort
    std::atomic<bool> stop{false};  // the service thread's end, written by the destructor only
    std::thread thread;
    std::string openFailure;
    bool aborted = false;
};
