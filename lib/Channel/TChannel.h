#pragma once
#include "RingBlock.h"
#include "Treport.h"
#include "WireTrace.h"

#include <cstdint>
#include <memory>
#include <string>

class TLibrary : public TReport {
public:
    TLibrary(int32_t levelCode, const char* section) : TReport(levelCode, section) {}

protected:
    uint32_t libraryWord = 0; // kept for layout compatibility; no role here
};

// Channel kinds, as stored in TChannel::kind.
enum : uint8_t { kChannelDisk = 0, kChannelSerial = 1 };

// A non-blocking byte channel: one 16384-byte ring per direction, served by the service thread of
// the concrete kind. All operations below run on the user's thread and never block or allocate.
// Owners destroy a channel as the kind that `kind` names (see FreeChannel); the destructor is
// virtual all the same, so that a mistake cannot leak the service thread.
class TChannel : public TLibrary {
public:
    TChannel(int32_t levelCode, const char* name, uint8_t option);
    virtual ~TChannel();
    TChannel(const TChannel&) = delete;
    TChannel& operator=(const TChannel&) = delete;

    char* GetName(char* out) const; // out holds at least 32 bytes
    const char* Name() const { return channelName; }
    bool IsInited() const { return inited; }
    bool Configure(const char* speed, const char* format, const char* flow); // true = failure
    int TxFree() const;
    int Write(const void* data, int size);
    bool PurgeTx();
    int RxCount() const;
    int Read(void* data, int size);
    bool PurgeRx();

    // Bounded waits of the user's thread. Each returns when its condition holds, when the link is
    // lost, when WakeWaiters has been called (from any thread) since `token` was taken, or after
    // ms; a caller re-checks what it waits for. Without rings they return at once.
    //
    // A caller that stops on a flag of its own (an abort) takes the token first, then checks the
    // flag, then waits with the token: a WakeWaiters that follows the setting of the flag then
    // ends the wait even when it came between the check and the wait.
    uint32_t WakeToken() const;
    void WaitRx(uint32_t ms, uint32_t token);     // received bytes waiting
    void WaitTxRoom(uint32_t ms, uint32_t token); // room in the transmit ring
    void WaitRx(uint32_t ms);                     // token taken at the call
    void WaitTxRoom(uint32_t ms);
    void WakeWaiters();
    // The service thread found the link gone (a pulled adapter, a closed server); LostCause names
    // why. Once lost, a channel stays lost.
    bool IsLost() const;
    const char* LostCause() const;

    // Every piece that Write queues and Read takes also goes to `trace` (null: none), under the
    // port name `port`. Byte records never go to the trace file.
    void SetWireTrace(zem::WireTrace* trace, std::string port) {
        wireTrace = trace;
        wirePort = std::move(port);
    }

    const char* StoredSpeed() const { return speed; }
    const char* StoredFormat() const { return format; }
    const char* StoredFlow() const { return flow; }
    uint8_t Option() const { return option; }

    virtual bool IsOpen() { return false; }
    virtual int SetSpeed(const char*) { return -1; }
    virtual int SetFormat(const char*) { return -1; }
    virtual int SetFlow(const char*) { return -1; }
    virtual int SetLines(int) { return 1; }
    virtual int ClearLines(int) { return 1; }
    virtual int GetLines(uint32_t*) { return 1; }

    uint8_t kind = 0xFF;

protected:
    RingBlock* Rings() const { return rings.get(); }
    // The last step of a kind's constructor: the defaults "115200", "N81", "H" go straight to the
    // setters, not through Configure, so the stored texts stay empty; then the channel is open.
    // False, with the setter's message, when one refuses.
    bool OpenWithDefaults();
    template <class Ready> void WaitUntil(uint32_t ms, uint32_t token, Ready ready);
    // The rings and the service thread's wake-up exist; a kind opens nothing without them.
    bool HasRings() const { return rings && rings->txWake.Valid(); }

    char LNWriteTerminator[32] = "\r";
    char LNReadTerminator[32] = "\r\n";
    char speed[32] = "";
    char format[32] = "";
    char flow[32] = "";
    uint8_t option = 0;
    bool inited = false;
    std::unique_ptr<RingBlock> rings;
    char channelName[32] = "";
    zem::WireTrace* wireTrace = nullptr;
    std::string wirePort;
};
