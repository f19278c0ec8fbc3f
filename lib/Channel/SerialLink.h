#pragma once
#include "RingBlock.h"

#include <atomic>
#include <cstdint>

// One way of reaching a serial line behind the serial channel (TSerial): a port of this machine
// (LocalLink) or a port of a serial device server (NetworkLink). The channel keeps the rings, the
// output lines it asked for and the service thread; the link applies settings and lines on the
// user's thread, and moves bytes between the rings and the line on the service thread (Serve).
// Both may run at the same time; each link's transport accepts that.
class SerialLink {
public:
    virtual ~SerialLink() = default;
    // The channel's setters: 0 when applied, negative when refused (the refusal is logged).
    virtual int SetSpeed(int32_t speed) = 0;
    virtual int SetFormat(const char* text) = 0; // "N81"; null: the default
    virtual int SetFlow(bool hardware) = 0;
    // Asserts (on) or releases one output line, kLineRTS or kLineDTR; false when refused.
    virtual bool SetLine(uint32_t line, bool on) = 0;
    // On the user's thread, when it asks for the lines: a link whose service thread does not keep
    // the input lines reads them here.
    virtual void ReadInputLines(RingBlock&) {}
    // Made before the service thread starts, so that a platform that cannot make what the thread
    // needs fails the open instead of the process.
    virtual bool PrepareService() { return true; }
    // The service thread: serves the rings until `stop`, marking them lost when the line goes.
    virtual void Serve(RingBlock& rings, const std::atomic<bool>& stop) = 0;
};

// The three characters of a format text; a missing character reads as NUL, never past the end.
struct FormatChars {
    char parity, data, stop;
};

inline FormatChars SplitFormat(const char* text) {
    FormatChars f{text[0], 0, 0};
    if (f.parity) f.data = text[1];
    if (f.data) f.stop = text[2];
    return f;
}
