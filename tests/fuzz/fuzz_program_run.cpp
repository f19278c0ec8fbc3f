// A whole programming run (handshake, records, speed change, read-backs) against the boot loader
// simulator, driven on this thread with a clock that jumps to the next answer due, so that a run
// costs what its bytes cost and not its waits. The input (see ProgramRunCase.h) chooses the
// stream, the speed and the loader's answers and faults. Every run is checked:
//   - a failure exactly when the status says so: success ends with its final status (4, 100),
//     failure with (7, 100), and neither status comes from the other kind of run;
//   - progress values within 0 to 100, never going back within a phase;
//   - a loader without faults always gives a success, and a success means every record arrived;
//   - no byte after the last record;
//   - a saved dump holds exactly the words of the last read-back;
//   - the speed word and the line speed of every record are those the speed table gives.
#include "FuzzInput.h"
#include "ProgramRunCase.h"
#include "SimChannel.h"
#include "TFPLib.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

using namespace zem::sim;
using zem::fuzz::ProgramRunCase;

namespace {

constexpr const char* kPort = "COM1";

struct Status {
    uint8_t code;
    int32_t value;
};

// The callback is a plain function: it reaches the run through these.
std::vector<Status>* gStatus = nullptr;
TFPLib* gRun = nullptr;
uint32_t gAbortAt = 0;

void Record(uint8_t code, int32_t value) {
    gStatus->push_back({code, value});
    if (gAbortAt && gStatus->size() == gAbortAt && gRun) gRun->FPL_Abort();
}

struct Totals {
    uint64_t runs = 0, successes = 0, dumpsChecked = 0, readBacks = 0;
    ~Totals() {
        if (runs)
            std::fprintf(stderr,
                         "fuzz_program_run: %llu runs, %llu successes, %llu read-backs received, "
                         "%llu dumps checked\n",
                         static_cast<unsigned long long>(runs),
                         static_cast<unsigned long long>(successes),
                         static_cast<unsigned long long>(readBacks),
                         static_cast<unsigned long long>(dumpsChecked));
    }
} gTotals;

class InScratchDir {
public:
    InScratchDir() {
        if (!getcwd(previous_, sizeof previous_) || chdir(zem::fuzz::ScratchDir().c_str()) != 0)
            std::abort();
    }
    ~InScratchDir() {
        if (chdir(previous_) != 0) std::abort();
    }

private:
    char previous_[4096];
};

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz_program_run: %s\n", what);
    __builtin_trap();
}

std::vector<uint8_t> ReadFile(const char* name) {
    std::vector<uint8_t> out;
    std::FILE* f = std::fopen(name, "rb");
    if (!f) return out;
    uint8_t buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

// The line speed a speed text gives the simulated port: a positive decimal number, else none.
bool LineSpeedOf(const char* text, uint32_t& speed) {
    if (!*text) return false;
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (*end || v <= 0) return false;
    speed = static_cast<uint32_t>(v);
    return true;
}

void CheckStatuses(const std::vector<Status>& st, bool failed) {
    const Status last = st.empty() ? Status{0, 0} : st.back();
    if (st.empty()) return; // only a file that cannot be opened fails without a status
    if (failed)
        Check(last.code == kFplError && last.value == 100, "a failure does not end with (7, 100)");
    else
        Check(last.code == kFplProgrammed && last.value == 100,
              "a success does not end with (4, 100)");
    int32_t programming = -1, reading = -1;
    for (size_t i = 0; i < st.size(); ++i) {
        const Status s = st[i];
        Check(s.code >= 1 && s.code <= 8 && s.code != 6, "a status code out of the table");
        Check(s.value >= 0 && s.value <= 100, "a status value outside 0 to 100");
        if (i + 1 < st.size()) {
            Check(s.code != kFplProgrammed, "(4) before the end of the run");
            Check(s.code != kFplError, "(7) before the end of the run");
        }
        if (s.code == kFplLinking) Check(s.value == 0 || s.value == 100, "linking not 0 or 100");
        if (s.code == kFplProgramming) {
            Check(s.value >= programming, "programming progress went back");
            programming = s.value;
        }
        if (s.code == kFplReading) {
            // Each read-back starts at 0, then only goes forward.
            if (s.value == 0) reading = 0;
            Check(s.value >= reading, "read-back progress went back");
            reading = s.value;
        }
    }
}

// Without a channel the object is never ready: every operation refuses, and no status is sent.
void CheckWithoutChannel() {
    std::vector<Status> statuses;
    gStatus = &statuses;
    {
        TFPLib fpl(20, kPort, nullptr, "115200", Record);
        uint8_t buffer[80] = {};
        uint8_t answer = 0;
        Check(fpl.Program("stream.bin") && fpl.FPL_Boot(0) && fpl.FPL_SendStream(buffer, 80) &&
                  fpl.FPL_ReceiveData("x.bin") && fpl.WaitForACK(10, answer) && fpl.FPL_Abort(),
              "an object without a channel did not refuse");
        // Saving is the one operation that needs no channel.
        Check(fpl.SaveBuffer(buffer, 4, "saved.bin") == 4 && ReadFile("saved.bin").size() == 4 &&
                  fpl.SaveBuffer(buffer, 4, "no-such-dir/x.bin") == 0 &&
                  fpl.SaveBuffer(buffer, 0x80000000u, "huge.bin") == 0,
              "SaveBuffer's results");
    }
    gStatus = nullptr;
    Check(statuses.empty(), "an object without a channel sent a status");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    InScratchDir here;
    CheckWithoutChannel();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InScratchDir here;
    ProgramRunCase c = zem::fuzz::DecodeProgramRun(data, size);
    std::vector<uint8_t> image = c.Raw() ? c.rawImage : BuildStream(c.layout);
    if (image.empty() && !c.Raw()) return 0;

    {
        std::FILE* f = std::fopen("stream.bin", "wb");
        if (!f) std::abort();
        if (!image.empty()) std::fwrite(image.data(), 1, image.size(), f);
        std::fclose(f);
    }
    const std::string dump = TFPLib::DumpFileName(kPort);
    std::filesystem::remove_all(dump);
    std::filesystem::remove_all(dump + ".tmp");
    if (c.mode & zem::fuzz::kDumpNotRenamed) std::filesystem::create_directory(dump);
    if (c.mode & zem::fuzz::kDumpNotCreated) std::filesystem::create_directory(dump + ".tmp");

    uint32_t requested = 0;
    const bool numeric = LineSpeedOf(c.speed, requested);
    const bool aboveStart = TFPLib::SpeedCode(c.speed) != 1 && numeric && requested > 115200;

    JumpingClock clock(static_cast<uint32_t>(size) * 2654435761u); // the counter may wrap mid-run
    std::vector<Status> statuses;
    bool failed = true;
    TSimChannel channel(image, c.sim, &clock, 0, "SIM", SimDriving::CallerThread);
    clock.Attach(&channel);
    if (c.mode & zem::fuzz::kRefuseSpeed) channel.RefuseSpeed(c.speed);
    if (c.loseLinkAfter) channel.LoseLinkAfter(c.loseLinkAfter, "device removed");
    {
        gStatus = &statuses;
        gAbortAt = c.abortAtCallback;
        TFPLib fpl(0, kPort, &channel, c.speed, Record, &clock);
        gRun = &fpl;
        if (c.fileGone) std::remove("stream.bin");
        failed = fpl.Program("stream.bin");
        gRun = nullptr;
        gStatus = nullptr;
        ++gTotals.runs;
        if (!failed) ++gTotals.successes;
        channel.Pump(); // whatever was still queued reaches the loader

        const std::vector<std::string>& saved = fpl.SavedDumps();
        // For looking into an input: ZEM_FUZZ_VERBOSE=1 fuzz_program_run INPUT
        if (std::getenv("ZEM_FUZZ_VERBOSE")) {
            std::fprintf(stderr, "speed '%s' mode %02X faulty %d failed %d abort@%u lose@%u\n%s\n",
                         c.speed, c.mode, c.faulty, failed, c.abortAtCallback, c.loseLinkAfter,
                         channel.WithSim([](const BootSim& s) { return s.SummaryJson(); }).c_str());
            for (const Status& st : statuses)
                if (st.code != kFplCountdown) std::fprintf(stderr, "(%u,%d) ", st.code, st.value);
            std::fprintf(stderr, "\n");
        }
        // A speed word placed on a count word (only a raw file or a given Speed Offset can put it
        // there) changes the records the programmer sends; the loader then counts differently.
        const bool countPatched = (c.Raw() || (c.mode & zem::fuzz::kSpeedOffsetGiven)) &&
                                  std::strcmp(c.speed, "115200") != 0;
        channel.WithSim([&](const BootSim& sim) {
            Check(!statuses.empty() || (failed && c.fileGone), "a run without a status");
            CheckStatuses(statuses, failed);
            // A speed word placed on a count word (only a raw file or a given Speed Offset can do
            // that) changes the records the programmer sees; the loader then counts differently.

            Check(countPatched || sim.ExtraBytes() == 0, "bytes after the last record");
            if (!failed) {
                Check(countPatched || sim.Passed(),
                      "a success without every record delivered whole");
                // The stream was acknowledged whole: the loader's answers were all read.
                gTotals.readBacks += sim.ReadBacksSent();
            } else if (!c.faulty) {
                Check(false, "a loader without faults, and the run failed");
            }
            if (!failed && sim.ReadBacksSent() > 0) {
                Check(!saved.empty() && saved.back() == dump, "a read-back without its dump");
                const std::vector<uint8_t> bytes = ReadFile(dump.c_str());
                const std::vector<uint16_t>& words = sim.LastWholeReadBack();
                Check(bytes.size() == 2 * words.size(), "the dump's length");
                for (size_t i = 0; i < words.size(); ++i)
                    Check((bytes[2 * i] | bytes[2 * i + 1] << 8) == words[i], "a dump word");
                ++gTotals.dumpsChecked;
            }
            if (c.Raw() || !sim.Linked() || countPatched) return;
            // The speed word carries the requested speed's code; "115200" leaves the file's own.
            const bool keepsFileValue = std::strcmp(c.speed, "115200") == 0;
            // A given Speed Offset points at payload bytes the builder did not set.
            if (sim.SpeedWordSeen() && !(keepsFileValue && c.layout.speedRecord == 0)) {
                const uint16_t expected =
                    keepsFileValue ? c.layout.speedWordValue : TFPLib::SpeedCode(c.speed);
                Check(sim.SpeedWordValue() == expected, "the speed word");
            }
            // Records up to the one that holds the speed word go at the start speed (the
            // requested one or 115200, whichever is lower); the switch comes after its answer.
            uint32_t start = 115200;
            if (!aboveStart && numeric && !(c.mode & zem::fuzz::kRefuseSpeed)) start = requested;
            const uint64_t speedWord = sim.Walk().speedWordOffset;
            bool switched = false;
            for (const RecordSeen& r : sim.Records()) {
                if (r.received == 0) break;
                const uint32_t want = switched ? requested : start;
                Check(r.speed == want, "a record's line speed");
                if (aboveStart && r.payloadStart + r.length > speedWord) switched = true;
            }
        });
    }
    clock.Attach(nullptr);
    return 0;
}
