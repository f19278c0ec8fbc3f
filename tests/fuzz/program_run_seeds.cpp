// Writes the programming-run target's seeds into a directory, through the layout its decoder
// reads: program_run_seeds DIR. Each seed is a run worth starting from, named after what it does.
#include "ProgramRunCase.h"
#include "StreamBuilder.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

using namespace zem::fuzz;

namespace {

bool Save(const std::string& dir, const char* name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// Header: mode, speed index, records, speed record; answers and timing left at "no fault".
SeedWriter Run(uint8_t mode, uint8_t speed, uint8_t records, uint8_t speedRecord) {
    SeedWriter w;
    w.Header(mode, speed, records, speedRecord);
    return w;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: program_run_seeds DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    const uint8_t k921600 = 1, k57600 = 2, kPlus9600 = 15, kNoSpeed = 16;
    // Status callbacks counted from the start of a run: inside the stalled record's wait for
    // room, and while the read-back block arrives.
    const uint8_t kStallStatus = 7, kReadBackStatus = 8;
    std::vector<std::pair<const char*, std::vector<uint8_t>>> seeds = {
        {"clean-success", Run(0, 0, 3, 2).Put({10, 20, 30}).bytes},
        {"read-back", Run(0, 0, 3, 2).Put({10, 20, 30, kReadBack, 1, 3, 0}).bytes},
        {"read-back-words",
         Run(0, 0, 2, 1).Put({8, 8, kReadBackWords, 0, 2, 0x34, 0x12, 0x78, 0x56}).bytes},
        {"921600-speed-record-3", Run(0, k921600, 4, 3).Put({40, 40, 40, 40}).bytes},
        {"57600-version-1", Run(kVersion1, k57600, 2, 1).Put({12, 12}).bytes},
        {"boot-type-3-handshake-retries",
         SeedWriter().Header(kBootType3, 0, 2, 1, 0, 0, 0x06).Put({5, 5}).bytes},
        {"nack-at-record-2",
         Run(0, 0, 3, 1).Put({10, 20, 30, kNack, 1, 0x41, 2, 0x01, 0x02}).bytes},
        {"big-records", Run(0, k921600, 3, 2).Put({0xFE, 0xFF, 0xF3}).bytes},
        {"big-read-back", Run(0, 0, 2, 1).Put({10, 10, kReadBack, 0, 0xFD, 0}).bytes},
        {"read-back-bad-check", Run(0, 0, 2, 1).Put({10, 10, kReadBack, 0, 3, kBadCheck}).bytes},
        {"read-back-cut", Run(0, 0, 2, 1).Put({10, 10, kReadBack, 0, 3, kCut, 7}).bytes},
        {"read-back-slow-length",
         Run(0, 0, 2, 1).Put({10, 10, kReadBack, 0, 3, kSlowLength}).bytes},
        {"read-back-no-ack", Run(0, 0, 2, 1).Put({10, 10, kReadBack, 1, 3, kNoAck}).bytes},
        {"dump-not-saved", Run(kDumpNotRenamed, 0, 2, 1).Put({10, 10, kReadBack, 0, 3, 0}).bytes},
        {"dump-not-created", Run(kDumpNotCreated, 0, 2, 1).Put({10, 10, kReadBack, 0, 3, 0}).bytes},
        {"speed-change-refused", Run(kRefuseSpeed, k921600, 3, 1).Put({10, 10, 10}).bytes},
        {"stall-in-record-2", Run(0, 0, 3, 1).Put({10, 0xF8, 10, kStall, 1, 40}).bytes},
        {"silent-from-record-2", Run(0, 0, 3, 1).Put({10, 10, 10, kSilentFrom, 1}).bytes},
        {"abort-at-status-6", Run(0, 0, 3, 1).Put({10, 10, 10, kAbortAt, 6, 0}).bytes},
        {"abort-in-handshake",
         SeedWriter().Header(0, 0, 2, 1, 0, 0, 0xFF).Put({10, 10, kAbortAt, 40, 0}).bytes},
        {"link-lost-in-record-2", Run(0, 0, 3, 1).Put({10, 40, 10, kLoseLink, 30, 0}).bytes},
        {"trailing-byte", Run(kTrailingByte, 0, 2, 1).Put({10, 10}).bytes},
        {"silent-loader", SeedWriter().Header(0, 0, 1, 1, 0, 0, 0xFF).Put({10}).bytes},
        {"link-refused", SeedWriter().Header(0, 0, 1, 1, 0xFF).Put({10}).bytes},
        {"slow-flash", SeedWriter().Header(0, 0, 2, 1, 0, 0, 0, 0xFA).Put({10, 10}).bytes},
        {"speed-with-plus-sign", Run(0, kPlus9600, 2, 1).Put({10, 10}).bytes},
        {"no-speed-text", Run(0, kNoSpeed, 2, 1).Put({10, 10}).bytes},
        {"port-name-not-a-file-name",
         Run(0, 0, 2, 1).Put({10, 10, kPortName, 5, kReadBack, 0, 3, 0}).bytes},
        {"no-port-name", Run(0, 0, 2, 1).Put({10, 10, kPortName, 1, kReadBack, 0, 3, 0}).bytes},
        {"station-read-back", Run(0, 0, 2, 1).Put({10, 10, kStation, 0, kReadBack, 1, 3, 0}).bytes},
        {"no-callback-read-back",
         Run(0, k921600, 2, 1).Put({10, 10, kNoCallback, 0, kReadBack, 1, 3, 0}).bytes},
        {"window-pump",
         SeedWriter().Header(0, 0, 2, 1, 0, 0, 0, 0xF1).Put({10, 10, kWaitPump, 0}).bytes},
        {"window-closed-in-flash-wait",
         SeedWriter().Header(0, 0, 2, 1, 0, 0, 0, 0xF3).Put({10, 10, kWaitPump, 30}).bytes},
        {"link-lost-in-stall",
         Run(0, 0, 2, 1).Put({10, 0xF8, kStall, 1, 40, kLoseLinkAtStatus, kStallStatus, 0}).bytes},
        {"link-lost-in-read-back",
         Run(0, 0, 2, 1)
             .Put({10, 10, kReadBack, 0, 0xFE, 0, kLoseLinkAtStatus, kReadBackStatus, 0})
             .bytes},
        {"abort-and-link-lost-in-read-back",
         Run(0, 0, 2, 1)
             .Put({10, 10, kReadBack, 0, 0xFE, 0, kAbortAt, kReadBackStatus, 0, kLoseLinkAtStatus,
                   kReadBackStatus, 0})
             .bytes},
        {"clock-held-up-in-record-wait",
         SeedWriter().Header(0, 0, 2, 1, 0, 0, 0, 0xF2).Put({10, 10, kClockPause, 40, 0, 8}).bytes},
        {"dump-on-full-disk",
         Run(0, 0, 2, 1).Put({10, 10, kDiskFull, 0, kReadBack, 0, 3, 0}).bytes},
        {"large-dump-on-full-disk",
         Run(0, 0, 2, 1).Put({10, 10, kDiskFull, 0, kReadBack, 0, 0xF0, 0}).bytes},
        {"empty-dump-on-full-disk",
         Run(0, 0, 2, 1).Put({10, 10, kDiskFull, 0, kReadBack, 0, 0xFC, 0}).bytes},
        // Lines whose answers come later than the handshake's wait, or byte by byte.
        {"late-answers-in-step", Run(0, 0, 3, 2).Put({10, 20, 30, kLineTiming, 0x86, 0, 1}).bytes},
        {"late-answers-last-record-refused",
         Run(0, 0, 3, 2)
             .Put({10, 20, 30, kNack, 2, 0x41, 2, 0x01, 0x02, kLineTiming, 0x86, 0, 1})
             .bytes},
        {"far-late-answers-read-back",
         Run(0, k921600, 3, 1)
             .Put({10, 20, 30, kReadBack, 1, 3, 0, kLineTiming, 0xA2, 1, 1})
             .bytes},
        {"refused-sync-bytes-byte-timed",
         SeedWriter().Header(0, 0, 2, 1, 0, 0, 0x0C).Put({10, 10, kLineTiming, 0x40, 3, 1}).bytes},
        {"late-answers-sync-taken-as-data",
         Run(0, 0, 2, 1).Put({10, 10, kLineTiming, 0x86, 0, 0}).bytes},
    };
    // Raw: the header, then a real stream file as the input's rest.
    zem::sim::StreamLayout layout;
    layout.payloadSizes = {16, 3, 40};
    layout.speedRecord = 2;
    std::vector<uint8_t> raw = Run(kRaw, k921600, 1, 1).bytes;
    std::vector<uint8_t> image = zem::sim::BuildStream(layout);
    raw.insert(raw.end(), image.begin(), image.end());
    seeds.push_back({"raw-stream", raw});

    for (const auto& [name, bytes] : seeds)
        if (!Save(dir, name, bytes)) {
            std::fprintf(stderr, "program_run_seeds: can not write %s/%s\n", dir.c_str(), name);
            return 1;
        }
    return 0;
}
