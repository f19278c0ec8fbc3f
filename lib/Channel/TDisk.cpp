#include "TDisk.h"

#include "Tick.h"

#include <new>
#include <string>
#include <system_error>

namespace {
constexpr uint32_t kIdleBoundMs = 1000;
} // namespace

TDisk::TDisk(int32_t levelCode, const char* name, uint8_t opt) : TChannel(levelCode, name, opt) {
    inited = false;
    kind = kChannelDisk;
    context.reset(new (std::nothrow) DiskThreadContext());
    if (!context || !Rings()) {
        Log(3, "TSerial::TSerial - HeapAlloc Error");
        return;
    }
    // Without its wake-up the service thread could only spin.
    if (!HasRings()) {
        Log(3, "TSerial::TSerial - CreateEvent Error");
        return;
    }
    context->rings = Rings();
    char stem[32];
    std::string fileName = std::string(GetName(stem)) + ".bin";
    file = std::fopen(fileName.c_str(), "wb");
    if (!file) return;
    context->file = file;
    try {
        thread = std::thread(DiskThread, context.get());
    } catch (const std::system_error&) {
        Log(3, "TSerial::TSerial - CreateThread Error");
        return;
    }
    OpenWithDefaults();
}

TDisk::~TDisk() {
    if (context) {
        context->stop.store(true, std::memory_order_release);
        if (context->rings) context->rings->txWake.Signal();
        if (thread.joinable()) thread.join();
        context.reset();
    }
    if (file) {
        std::fclose(file);
        file = nullptr;
    }
    inited = false;
}

void TDisk::DiskThread(DiskThreadContext* ctx) {
    RingBlock* r = ctx->rings;
    // Writes everything queued; false when the ring was already empty.
    auto drain = [&] {
        bool any = false;
        for (;;) {
            const uint8_t* piece = nullptr;
            uint32_t waiting = r->TxPiece(&piece);
            size_t k = waiting ? std::fwrite(piece, 1, waiting, ctx->file) : 0;
            r->TxConsumed(static_cast<uint32_t>(k));
            if (k == 0) return any;
            any = true;
            if (ctx->pause) zem::SleepMs(ctx->pause);
        }
    };
    while (!ctx->stop.load(std::memory_order_acquire)) {
        // An empty ring blocks until Write or the stop request raises the wake-up; the bound only
        // guards against a lost signal.
        if (!drain()) r->txWake.Wait(kIdleBoundMs);
    }
    // Whatever was written before the stop request reaches the file.
    drain();
}
