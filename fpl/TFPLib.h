#pragma once
#include "Clock.h"
#include "TChannel.h"
#include "Treport.h"

#include <cstdint>
#include <string>

// Status callback: code 1..8 and a value (see the status table of the main window).
using TFPLibCallback = void (*)(uint8_t code, int32_t value);

// The protocol engine that talks to the module's boot loader over one channel. It never owns or
// deletes the channel. All operations run on the caller's thread; FPL_Abort may be called from
// inside the callback.
class TFPLib : public TReport {
public:
    TFPLib(int32_t levelCode, const char* portName, TChannel* channel, const char* speed,
           TFPLibCallback callback, zem::Clock* clock = nullptr);
    ~TFPLib();

    bool Program(const char* fileName); // false on success
    bool FPL_Abort();
    bool FPL_Boot(uint8_t bootType);
    bool FPL_SendStream(uint8_t* buffer, int32_t size);
    bool FPL_ReceiveData(const char* fileName);
    bool WaitForACK(uint32_t waitMs, uint8_t& answer);
    static uint8_t SpeedCode(const char* speed);
    int32_t SaveBuffer(const uint8_t* data, uint32_t length, const char* fileName);
    void Notify(uint8_t code, int32_t value);
    void StartTimeout(uint32_t ms);
    bool TimedOut();

    // (implementation fields follow)
};
