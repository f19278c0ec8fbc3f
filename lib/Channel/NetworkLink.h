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
    bool WaitsInLibrary() const { return nsio_wait_ != nullptr; }
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
    nsio_init_t nsio_init_ = nullptr;
    nsio_end_t nsio_end_ = nullptr;
    nsio_open_t nsio_open_ = nullptr;
    nsio_close_t nsio_close_ = nullptr;
    nsio_ioctl_t nsio_ioctl_ = nullptr;
    nsio_flowctrl_t nsio_flowctrl_ = nullptr;
    nsio_read_t nsio_read_ = nullptr;
    nsio_write_t nsio_write_ = nullptr;
    nsio_DTR_t nsio_DTR_ = nullptr;
    nsio_RTS_t nsio_RTS_ = nullptr;
    nsio_lstatus_t nsio_lstatus_ = nullptr;
    nsio_wait_t nsio_wait_ = nullptr; // when the library has it
    int32_t portId_ = -1;
    std::string dotted_;
    uint32_t baud_ = 0;
    uint32_t mode_ = 0;
    bool abortAnswered_ = false;
};
