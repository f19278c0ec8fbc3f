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
//   - the speed word and the line speed of every record are those the speed table gives;
//   - a station's stream observer sees the file exactly as it was loaded.
// Once per process, the calls a caller can get wrong (no file name, no buffer, a file too large,
// one that reads shorter than its size, a dump on a full disk) are refused as such.
#include "FuzzInput.h"
#include "ProgramRunCase.h"
#include "SimChannel.h"
#include "TFPLib.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace zem::sim;
using zem::fuzz::ProgramRunCase;

namespace {

constexpr const char* kPort = "COM1";
constexpr const char* kStationDump = "station-2.bin";

struct Status {
    uint8_t code;
    int32_t value;
};

// The callback is a plain function: it reaches the run through these.
std::vector<Status>* gStatus = nullptr;
TFPLib* gRun = nullptr;
uint32_t gAbortAt = 0;
TSimChannel* gChannel = nullptr;
uint32_t gLoseLinkAt = 0;

void Record(uint8_t code, int32_t value) {
    gStatus->push_back({code, value});
    if (gAbortAt && gStatus->size() == gAbortAt && gRun) gRun->FPL_Abort();
    // A pulled adapter does not wait for the protocol to look: any moment will do.
    if (gLoseLinkAt && gStatus->size() == gLoseLinkAt && gChannel)
        gChannel->LoseLinkNow("device removed");
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

// Stands for a disk that is full: what is written there fails, on writing or on closing.
bool OnFullDisk(const std::string& path) {
    return access("/dev/full", W_OK) == 0 && symlink("/dev/full", path.c_str()) == 0;
}

bool Gone(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) != 0;
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
        // No data, no name: refused, and nothing is left behind under either name.
        Check(fpl.SaveBuffer(nullptr, 4, "no-data.bin") == 0 && Gone("no-data.bin") &&
                  Gone("no-data.bin.tmp") && fpl.SaveBuffer(buffer, 4, nullptr) == 0 &&
                  fpl.SaveBuffer(buffer, 4, "") == 0 &&
                  fpl.SaveBuffer(buffer, 0x80000000u, nullptr) == 0 && Gone(".tmp"),
              "SaveBuffer without data or name");
        // A full disk fails a small write when the file is closed and a large one at once; the
        // final name never appears and the temporary one is removed.
        static uint8_t large[64 * 1024];
        if (OnFullDisk("full.bin.tmp"))
            Check(fpl.SaveBuffer(buffer, sizeof buffer, "full.bin") == 0 && Gone("full.bin") &&
                      Gone("full.bin.tmp"),
                  "a small dump on a full disk");
        if (OnFullDisk("full.bin.tmp"))
            Check(fpl.SaveBuffer(large, sizeof large, "full.bin") == 0 && Gone("full.bin") &&
                      Gone("full.bin.tmp"),
                  "a large dump on a full disk");
    }
    gStatus = nullptr;
    Check(statuses.empty(), "an object without a channel sent a status");
}

// A ready object given what it cannot use: every call fails, a stream it cannot load is refused
// before the handshake, and nothing reaches the module.
void CheckRefusals() {
    Check(TFPLib::SpeedCode(nullptr) == 9 && TFPLib::SpeedCode("+9600") == 9 &&
              TFPLib::SpeedCode("9600") == 8,
          "the speed codes of texts outside the table");
    std::vector<Status> statuses;
    gStatus = &statuses;
    JumpingClock clock;
    TSimChannel channel({}, SimOptions{}, &clock, 0, "SIM", SimDriving::CallerThread);
    clock.Attach(&channel);
    {
        TFPLib fpl(0, kPort, &channel, "115200", Record, &clock);
        // Larger than a transfer can count (sparse, so it costs nothing).
        const char* large = "large.bin";
        bool haveLarge = false;
        if (std::FILE* f = std::fopen(large, "wb")) {
            haveLarge = std::fseek(f, 0x80000000L, SEEK_SET) == 0 && std::fputc(0, f) != EOF;
            haveLarge = std::fclose(f) == 0 && haveLarge;
        }
        if (haveLarge)
            Check(fpl.Program(large) && statuses.empty(), "a stream larger than a transfer");
        std::remove(large);
        const std::string shortReading = zem::fuzz::FileReadingShorterThanItsSize();
        if (!shortReading.empty())
            Check(fpl.Program(shortReading.c_str()) && statuses.empty(),
                  "a file that reads shorter than its size");
        mkfifo("fifo.bin", 0600);
        Check(fpl.Program(nullptr) && fpl.Program("fifo.bin") && statuses.empty(),
              "no file name, or a FIFO");
        std::remove("fifo.bin");
        uint8_t buffer[80] = {};
        channel.Pump();
        const uint64_t sent = channel.WithSim([](const BootSim& s) { return s.BytesReceived(); });
        Check(sent == 0, "bytes sent for a stream that was never loaded");
        for (auto [data, size] : {std::pair<uint8_t*, int32_t>{nullptr, 80},
                                  {buffer, 0},
                                  {buffer, -80},
                                  {nullptr, 0}}) {
            statuses.clear();
            Check(fpl.FPL_SendStream(data, size) && !statuses.empty() &&
                      statuses.back().code == kFplError && statuses.back().value == 100,
                  "a stream without bytes");
        }
        channel.Pump();
        Check(channel.WithSim([](const BootSim& s) { return s.BytesReceived(); }) == 0,
              "bytes sent for a stream without bytes");
    }
    clock.Attach(nullptr);
    gStatus = nullptr;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    InScratchDir here;
    CheckWithoutChannel();
    CheckRefusals();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InScratchDir here;
    ProgramRunCase c = zem::fuzz::DecodeProgramRun(data, size);
    std::vector<uint8_t> image = c.Raw() ? c.rawImage : BuildStream(c.layout);
    if (image.empty() && !c.Raw()) return 0;
    // A loader that answers sync bytes until record data comes cannot tell record 1 from one
    // more sync byte when its first byte is the sync byte.
    bool syncTakenAsData = !c.sim.syncUntilData;
    if (c.sim.syncUntilData && !c.Raw()) {
        const zem::StreamWalk walk = zem::WalkStream(image.data(), image.size());
        const uint8_t sync = c.layout.version >= 2 && (c.layout.bootType & 0xFF) == 3 ? 0x5A : 0x55;
        if (!walk.records.empty() && walk.records[0].payloadStart < image.size() &&
            image[walk.records[0].payloadStart] == sync) {
            c.faulty = true;
            syncTakenAsData = true;
        }
    }
    // Answers later than the handshake's wait to a loader that takes further sync bytes as
    // record data: the sync bytes sent after it linked land in the records and after them, as
    // with a process held up in the handshake.
    const bool lateSyncAsData = c.sim.answerDelayMs > 0 && syncTakenAsData;

    {
        std::FILE* f = std::fopen("stream.bin", "wb");
        if (!f) std::abort();
        if (!image.empty()) std::fwrite(image.data(), 1, image.size(), f);
        std::fclose(f);
    }
    const std::string dump = c.station ? kStationDump : TFPLib::DumpFileName(c.port ? c.port : "");
    std::filesystem::remove_all(dump);
    std::filesystem::remove_all(dump + ".tmp");
    if (c.mode & zem::fuzz::kDumpNotRenamed) std::filesystem::create_directory(dump);
    if (c.mode & zem::fuzz::kDumpNotCreated) std::filesystem::create_directory(dump + ".tmp");
    const bool diskFull =
        c.diskFull && !(c.mode & zem::fuzz::kDumpNotCreated) && OnFullDisk(dump + ".tmp");

    const char* speed = c.SpeedText();
    uint32_t requested = 0;
    const bool numeric = LineSpeedOf(speed, requested);
    const bool aboveStart = TFPLib::SpeedCode(speed) != 1 && numeric && requested > 115200;

    JumpingClock clock(static_cast<uint32_t>(size) * 2654435761u); // the counter may wrap mid-run
    std::vector<Status> statuses;
    bool failed = true;
    TSimChannel channel(image, c.sim, &clock, 0, "SIM", SimDriving::CallerThread);
    clock.Attach(&channel);
    if (c.mode & zem::fuzz::kRefuseSpeed) channel.RefuseSpeed(speed);
    if (c.loseLinkAfter) channel.LoseLinkAfter(c.loseLinkAfter, "device removed");
    {
        gStatus = &statuses;
        gAbortAt = c.abortAtCallback;
        gChannel = &channel;
        gLoseLinkAt = c.loseLinkAtStatus;
        TFPLib fpl(0, c.port, &channel, c.speed, c.noCallback ? nullptr : Record, &clock);
        gRun = &fpl;
        std::vector<std::vector<uint8_t>> observed;
        if (c.station) {
            fpl.SetDumpFile(kStationDump);
            fpl.SetStreamObserver(
                [&](const uint8_t* bytes, size_t n) { observed.emplace_back(bytes, bytes + n); });
        }
        // The window's pump; the operator closes the window at its n-th run.
        uint32_t pumpRuns = 0;
        auto pump = [&] {
            if (++pumpRuns == c.closeAtPumpRun) fpl.FPL_Abort();
        };
        std::optional<zem::ScopedWaitPump<decltype(pump)>> windowPump;
        if (c.waitPump) windowPump.emplace(pump);
        if (c.fileGone) std::remove("stream.bin");
        if (c.pauseAtReading) clock.PauseAtReading(c.pauseAtReading, c.pauseMs);
        failed = fpl.Program("stream.bin");
        windowPump.reset();
        gRun = nullptr;
        gStatus = nullptr;
        gChannel = nullptr;
        gLoseLinkAt = 0;
        ++gTotals.runs;
        if (!failed) ++gTotals.successes;
        channel.Pump(); // whatever was still queued reaches the loader

        const std::vector<std::string>& saved = fpl.SavedDumps();
        // For looking into an input: ZEM_FUZZ_VERBOSE=1 fuzz_program_run INPUT
        if (std::getenv("ZEM_FUZZ_VERBOSE")) {
            std::fprintf(stderr, "speed '%s' mode %02X faulty %d failed %d abort@%u lose@%u\n%s\n",
                         speed, c.mode, c.faulty, failed, c.abortAtCallback, c.loseLinkAfter,
                         channel.WithSim([](const BootSim& s) { return s.SummaryJson(); }).c_str());
            // ZEM_FUZZ_VERBOSE=2 also shows the countdown, each status with its number.
            const bool all = std::strcmp(std::getenv("ZEM_FUZZ_VERBOSE"), "2") == 0;
            for (size_t i = 0; i < statuses.size(); ++i)
                if (all)
                    std::fprintf(stderr, "%zu:(%u,%d) ", i + 1, statuses[i].code,
                                 statuses[i].value);
                else if (statuses[i].code != kFplCountdown)
                    std::fprintf(stderr, "(%u,%d) ", statuses[i].code, statuses[i].value);
            std::fprintf(stderr, "\n");
        }
        // A speed word placed on a count word (only a raw file or a given Speed Offset can put it
        // there) changes the records the programmer sends; the loader then counts differently.
        const bool countPatched = (c.Raw() || (c.mode & zem::fuzz::kSpeedOffsetGiven)) &&
                                  std::strcmp(speed, "115200") != 0;
        if (c.station)
            Check(observed.size() == (c.fileGone ? 0u : 1u) &&
                      (observed.empty() || observed[0] == image),
                  "the stream observer did not see the file as loaded");
        channel.WithSim([&](const BootSim& sim) {
            Check(!statuses.empty() || c.noCallback || (failed && c.fileGone),
                  "a run without a status");
            CheckStatuses(statuses, failed);
            // A process held up in the handshake can miss the loader's answer to a sync byte; the
            // loader is then linked while the programmer sends more sync bytes (and may take the
            // late answer for the link on a later one). Those land in the records and after them:
            // the protocol cannot take a sent byte back. Each attempt sends one sync byte and
            // reports (1, x), so the two sides disagree on which sync byte linked.
            uint32_t attempts = 0;
            for (const Status& st : statuses)
                attempts += st.code == kFplLinking;
            const bool linkMissed =
                c.pauseAtReading && (c.noCallback || attempts != sim.SyncBytes());
            Check(countPatched || linkMissed || lateSyncAsData || sim.ExtraBytes() == 0,
                  "bytes after the last record");
            if (!failed) {
                Check(countPatched || sim.Passed(),
                      "a success without every record delivered whole");
                // Each record's own answer, in order, was an acknowledgement: a loader that
                // refused one (or never answered it) was not taken for one that accepted it.
                if (!countPatched)
                    for (const RecordSeen& r : sim.Records())
                        Check(r.answer >= 0xA0 && r.answer <= 0xAA,
                              "a success with a record the loader did not accept");
                // The stream was acknowledged whole: the loader's answers were all read.
                gTotals.readBacks += sim.ReadBacksSent();
            } else if (!c.faulty) {
                Check(false, "a loader without faults, and the run failed");
            }
            if (!failed && sim.ReadBacksSent() > 0) {
                // A station's name is kept for every block: the second and later are numbered
                // before the extension, so that none replaces another.
                const std::string lastDump =
                    c.station && saved.size() > 1
                        ? "station-2." + std::to_string(saved.size()) + ".bin"
                        : dump;
                Check(!saved.empty() && saved.back() == lastDump, "a read-back without its dump");
                const std::vector<uint16_t>& words = sim.LastWholeReadBack();
                const std::vector<uint32_t>& sizes = sim.WholeReadBackSizes();
                // On a full disk only an empty dump can be saved, as nothing is written to it.
                // Its temporary file then takes the final name, and the disk is full no more.
                if (diskFull)
                    Check(!sizes.empty() && sizes[0] == 0, "a dump reported saved on a full disk");
                if (!diskFull || sizes.size() > 1) {
                    const std::vector<uint8_t> bytes = ReadFile(lastDump.c_str());
                    Check(bytes.size() == 2 * words.size(), "the dump's length");
                    for (size_t i = 0; i < words.size(); ++i)
                        Check((bytes[2 * i] | bytes[2 * i + 1] << 8) == words[i], "a dump word");
                    ++gTotals.dumpsChecked;
                }
            }
            if (c.Raw() || !sim.Linked() || countPatched || linkMissed || lateSyncAsData) return;
            // The speed word carries the requested speed's code; "115200" leaves the file's own.
            const bool keepsFileValue = std::strcmp(speed, "115200") == 0;
            // A given Speed Offset points at payload bytes the builder did not set.
            if (sim.SpeedWordSeen() && !(keepsFileValue && c.layout.speedRecord == 0)) {
                const uint16_t expected =
                    keepsFileValue ? c.layout.speedWordValue : TFPLib::SpeedCode(speed);
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
