#pragma once
#include "TChannel.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

// Stands in for a module with a file: every transmitted byte is appended to "<name>.bin" in the
// current directory (created empty at construction); nothing is ever received.
class TDisk : public TChannel {
public:
    TDisk(int32_t levelCode, const char* name, uint8_t option);
    ~TDisk() override;

    int SetSpeed(const char*) override { return 0; }
    int SetFormat(const char*) override { return 0; }
    int SetFlow(const char*) override { return 0; }
    int SetLines(int) override { return 0; }
    int ClearLines(int) override { return 0; }
    int GetLines(uint32_t*) override { return 0; }

    // The service thread's parameters. Only the thread writes to the file while it runs.
    struct DiskThreadContext {
        RingBlock* rings = nullptr;
        uint32_t pause = 0;
        std::atomic<bool> stop{false};
        std::FILE* file = nullptr;
    };

private:
    static void DiskThread(DiskThreadContext* ctx);

    std::unique_ptr<DiskThreadContext> context;
    std::thread thread;
    std::FILE* file = nullptr;
};
