#pragma once
#include "SerialLink.h"
#include "SerialPort.h"

#include <string>

class TReport;

// A port of this machine ("COM3", "/dev/ttyUSB0") behind the serial channel.
class LocalLink : public SerialLink {
public:
    explicit LocalLink(TReport& report) : report_(report) {}
    ~LocalLink() override { port_.Close(); }

    // Opens and prepares the port (binary, no error characters, DTR on, the queue sizes asked
    // for). False, with the operator's words for it in `failure` where known, when it cannot.
    bool Open(const std::string& name, bool smallBuffers, std::string& failure);

    int SetSpeed(int32_t speed) override;
    int SetFormat(const char* text) override;
    int SetFlow(bool hardware) override;
    bool SetLine(uint32_t line, bool on) override;
    // Read here, on the caller's thread, so that the service thread need not wake to sample them.
    void ReadInputLines(RingBlock& rings) override;
    bool PrepareService() override { return port_.PrepareTransfers(); }
    void Serve(RingBlock& rings, const std::atomic<bool>& stop) override;

private:
    TReport& report_;
    zem::SerialPort port_;
};
