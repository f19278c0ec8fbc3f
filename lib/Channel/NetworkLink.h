#pragma once
#include "DynLib.h"
#include "NetSerial.h"
#include "SerialLink.h"
#include "Wake.h"
#include "ipserial.h"

#include <string>

class TReport;

// A port of a serial device server behind the serial channel, through the network serial library
// (ipserial.h), loaded at run time. The service thread uses only nsio_read, nsio_write,
// nsio_lstatus and nsio_wait, which the library lets run beside the setters' calls.
class NetworkLink : public SerialLink {
public:
    explicit NetworkLink(TReport& report) : report_(report) {}
    ~NetworkLink() override;

    // Loads the library, resolves the server's address and opens its port, inside TLS when `tls`
    // is given; `abort` as the channel's constructor takes it. False, with the operator's words in
    // `failure`, when it cannot; `aborted` then tells whether the abort ended it.
    bool Open(const std::string& libraryFile, const char* address, int32_t port,
              const zem::NetTls* tls, intptr_t abort, std::string& failure, bool& aborted);
    // The settings a port gets before the channel configures it.
    void UseDefaults();
    // The address the open connected to, as dotted text.
    const std::string& Address() const { return dotted_; }
    // A setter's request was ended by the abort wake-up.
    bool AbortAnswered() const { return abortAnswered_; }
    bool WaitsInLibrary() const { return nsio_.wait != nullptr; }
    uint32_t Baud() const { return baud_; }
    uint32_t Mode() const { return mode_; }
    // Why an open failed, for a failure code of our library; other libraries' codes get a
    // general text.
    static const char* OpenFailureText(int32_t code);

    int SetSpeed(int32_t speed) override;
    int SetFormat(const char* text) override;
    int SetFlow(bool hardware) override;
    bool SetLine(uint32_t line, bool on) override;
    void Serve(RingBlock& rings, const std::atomic<bool>& stop) override;

private:
    bool ResolveEntryPoints();
    // A speed change and a format change each send both values to the server.
    bool ApplyLink();

    TReport& report_;
    zem::DynLib library_;
    // The library's entry points, null until resolved; `wait` only when the library has it.
    struct EntryPoints {
        nsio_init_t init;
        nsio_end_t end;
        nsio_open_t open;
        nsio_close_t close;
        nsio_ioctl_t ioctl;
        nsio_flowctrl_t flowctrl;
        nsio_read_t read;
        nsio_write_t write;
        nsio_DTR_t DTR;
        nsio_RTS_t RTS;
        nsio_lstatus_t lstatus;
        nsio_wait_t wait;
    };
    EntryPoints nsio_{};
    int32_t portId_ = -1;
    std::string dotted_;
    uint32_t baud_ = 0;
    uint32_t mode_ = 0;
    bool abortAnswered_ = false;
};
