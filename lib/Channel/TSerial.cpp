#include "TSerial.h"

#include "LocalLink.h"
#include "NetworkLink.h"

#include "Format.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <new>
#include <string>
#include <system_error>

namespace {

// Leading decimal number as atoi reads it, but saturating instead of overflowing.
int32_t LeadingNumber(const char* text) {
    if (!text) return 0;
    long v = std::strtol(text, nullptr, 10);
    return static_cast<int32_t>(std::clamp<long>(v, INT32_MIN, INT32_MAX));
}

} // namespace

bool TSerial::InitRings() {
    inited = false;
    kind = kChannelSerial;
    if (!Rings()) {
        Log(3, "TSerial::TSerial - HeapAlloc Error");
        return false;
    }
    // Without its wake-up the service thread could only spin.
    if (!HasRings()) {
        Log(3, "TSerial::TSerial - CreateEvent Error");
        return false;
    }
    return true;
}

bool TSerial::StartThread() {
    if (!link->PrepareService()) return false;
    try {
        thread = std::thread([this] { link->Serve(*Rings(), stop); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

TSerial::TSerial(int32_t reportLevel, const char* name, uint8_t opt, const char* portName,
                 bool smallBuffers)
    : TChannel(reportLevel, name, opt) {
    if (!InitRings()) return;
    auto local = new (std::nothrow) LocalLink(*this);
    link.reset(local);
    if (!local) {
        Log(3, "TSerial::TSerial - HeapAlloc Error");
        return;
    }
    if (!local->Open(portName ? portName : "", smallBuffers, openFailure)) return;
    if (!StartThread()) {
        Log(3, "TSerial::TSerial - CreateThread Error");
        return;
    }
    OpenWithDefaults();
}

TSerial::TSerial(int32_t reportLevel, const char* name, uint8_t opt, const char* libraryName,
                 const char* address, int32_t port, const zem::NetTls* tls, intptr_t abort)
    : TChannel(reportLevel, name, opt) {
    if (!InitRings()) return;
    network = new (std::nothrow) NetworkLink(*this);
    link.reset(network);
    if (!network) {
        Log(3, "TSerial::TSerial - HeapAlloc Error");
        return;
    }
    if (!network->Open(libraryName ? libraryName : "", address, port, tls, abort, openFailure,
                       aborted))
        return;
    if (!StartThread()) {
        Log(3, "TSerial::TSerial - CreateThread Error");
        return;
    }
    // Configure refuses a channel that is not inited.
    inited = true;
    network->UseDefaults();
    if (Configure("115200", "N81", "H")) {
        inited = false;
        aborted = network->AbortAnswered();
        openFailure = aborted ? NetworkLink::OpenFailureText(NSIO_ABORTED)
                              : "the server did not take the port's settings";
        return;
    }
    Log(3, zem::Format("Port %s:%d opened", network->Address().c_str(), port));
}

TSerial::~TSerial() {
    stop.store(true, std::memory_order_release);
    if (Rings()) Rings()->txWake.Signal();
    if (thread.joinable()) thread.join();
    link.reset();
    network = nullptr;
    inited = false;
}

bool TSerial::WaitsInLibrary() const {
    return network && network->WaitsInLibrary();
}

uint32_t TSerial::NetBaud() const {
    return network ? network->Baud() : 0;
}

uint32_t TSerial::NetMode() const {
    return network ? network->Mode() : 0;
}

int TSerial::SetSpeed(const char* text) {
    if (!link) return -1;
    if (int r = link->SetSpeed(LeadingNumber(text)); r != 0) return r;
    SetLines(static_cast<int>(Rings()->lineState.load(std::memory_order_acquire)));
    return 0;
}

int TSerial::SetFormat(const char* text) {
    if (!link) return -1;
    if (int r = link->SetFormat(text); r != 0) return r;
    SetLines(static_cast<int>(Rings()->lineState.load(std::memory_order_acquire)));
    return 0;
}

int TSerial::SetFlow(const char* text) {
    if (!link) return -1;
    const char first = text ? text[0] : 0;
    if (int r = link->SetFlow(first == 'H'); r != 0) return r;
    if (first == 'N') {
        if (SetLines(1) < 0) {
            Log(3, "TSerial::SetFlow - can not set RTS");
            return -3;
        }
        if (SetLines(2) < 0) {
            Log(3, "TSerial::SetFlow - can not set DTR");
            return -4;
        }
    }
    return 0;
}

// Asserts (on) or releases RTS for bit 0 and DTR for bit 1, RTS first; an RTS failure skips DTR.
int TSerial::RequestLines(uint32_t bits, bool on) {
    if ((bits & kLineRTS) && !link->SetLine(kLineRTS, on)) return -2;
    if ((bits & kLineDTR) && !link->SetLine(kLineDTR, on)) return -3;
    return 0;
}

int TSerial::SetLines(int mask) {
    if (!link || !Rings()) return -2;
    const uint32_t bits = static_cast<uint32_t>(mask) & (kLineRTS | kLineDTR);
    // Recorded before the request and kept when it fails.
    Rings()->lineState.fetch_or(bits, std::memory_order_acq_rel);
    return RequestLines(bits, true);
}

int TSerial::ClearLines(int mask) {
    if (!link || !Rings()) return -2;
    const uint32_t bits = static_cast<uint32_t>(mask) & (kLineRTS | kLineDTR);
    Rings()->lineState.fetch_and(~bits, std::memory_order_acq_rel);
    return RequestLines(bits, false);
}

int TSerial::GetLines(uint32_t* lines) {
    if (!Rings()) return 0;
    if (link) link->ReadInputLines(*Rings());
    if (lines) *lines = Rings()->lineState.load(std::memory_order_acquire);
    return 0;
}
