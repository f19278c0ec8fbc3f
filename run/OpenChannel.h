#pragma once
#include "NetSerial.h"
#include "TChannel.h"
#include "Wake.h"

#include <string>

namespace zem {

// Creates and opens the channel for a port name: "COM..." and "/dev/..." a local serial port,
// "DISK..." the disk channel, "tls://host:port" a network serial server inside TLS with `trust`,
// anything else host:port of a network serial server. Returns null when the channel cannot be
// opened. The caller owns the channel and frees it with FreeChannel. The channel reports at
// `levelCode` (20 with debugging on), as the protocol object does.
// When it returns null, `cause` (if given) receives why, in the operator's words, or stays empty
// when nothing is known.
TChannel* OpenChannel(const std::string& portName, int32_t levelCode = 0,
                      const TlsTrust& trust = {}, std::string* cause = nullptr);

// While one lives, every OpenChannel on its thread hands `abort` to a network port's open, which
// then ends as soon as `abort` is raised (connecting, in the TLS handshake or waiting for the
// server's negotiation, or the server's answers to the port's first settings), and OpenChannel
// returns null with OpenAbandoned() true. A channel opened so keeps the latch for its setters'
// waits: the latch must outlive every channel opened under the scope. Scopes nest; the innermost
// counts.
class ScopedOpenAbort {
public:
    explicit ScopedOpenAbort(const WakeLatch& abort);
    ~ScopedOpenAbort();
    ScopedOpenAbort(const ScopedOpenAbort&) = delete;
    ScopedOpenAbort& operator=(const ScopedOpenAbort&) = delete;

private:
    const WakeLatch* outer_;
};

// The last OpenChannel on this thread returned null because its abort was raised.
bool OpenAbandoned();

// The latch of the innermost ScopedOpenAbort on this thread; null outside one. For opens of
// other kinds (a test's stand-in) that must end on the same abort.
const WakeLatch* CurrentOpenAbort();

// Destroys a channel as the kind its `kind` byte names; a channel of any other kind is left alone.
void FreeChannel(TChannel* channel);

// How OpenChannel reads a port name. "COM", "DISK" and "tls://" ignore letter case; a network
// name (after "tls://", if it has that) is split at its first ':', its port part read as atoi
// reads it. kNone: the name opens nothing (no ':' or nothing after it, or longer than 255
// characters).
struct PortNameParts {
    enum Kind { kNone, kLocal, kDisk, kNetwork } kind = kNone;
    std::string host; // network only
    int port = 0;     // network only
    bool tls = false; // network only
};
PortNameParts ParsePortName(const std::string& portName);

} // namespace zem
