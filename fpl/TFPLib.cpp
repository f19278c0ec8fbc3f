#include "TFPLib.h"

#include "Format.h"
#include "Paths.h"
#include "Priority.h"
#include "StreamFile.h"
#include "TimerResolution.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

using namespace zem::fpl;

namespace {

bool IsAck(uint8_t b) {
    return b >= kAckFirst && b <= kAckLast;
}

// atoi's reading of the speed text, without its undefined behaviour on overflow.
long long LeadingNumber(const char* s) {
    while (*s && std::isspace(static_cast<unsigned char>(*s)))
        ++s;
    bool negative = *s == '-';
    if (*s == '-' || *s == '+') ++s;
    long long v = 0;
    while (*s >= '0' && *s <= '9') {
        if (v < LLONG_MAX / 20) v = v * 10 + (*s - '0');
        ++s;
    }
    return negative ? -v : v;
}

std::string Range(const char* what, uint32_t first, uint32_t last) {
    return zem::Format("%s (0x%08X - 0x%08X)", what, first, last);
}

} // namespace

TFPLib::TFPLib(int32_t levelCode, const char* port, TChannel* ch, const char* speed,
               TFPLibCallback cb, zem::Clock* clk)
    : TReport(levelCode, port ? port : "") {
    inited = false;
    abortRequest = false;
    portName = port ? port : "";
    channel = ch;
    callback = cb;
    clock = clk ? clk : &zem::SystemClock();
    // At most 31 characters are kept; a longer text is cut.
    std::strncpy(requestedSpeed, speed ? speed : "", sizeof requestedSpeed - 1);
    requestedSpeed[sizeof requestedSpeed - 1] = 0;
    if (!channel) return; // nothing to talk through: every operation refuses as not inited
    // The link starts at the requested speed or at 115200, whichever is lower; the result is the
    // channel's to report.
    const long long requested = LeadingNumber(requestedSpeed);
    if (requested <= kStartSpeedCapValue) {
        channel->Configure(requestedSpeed, "N81", "N");
        if (requested > 0) lineSpeed = static_cast<uint32_t>(requested);
    } else {
        channel->Configure(kStartSpeedCap, "N81", "N");
    }
    Log(0, "FPL_Init inited");
    inited = true;
}

TFPLib::~TFPLib() {
    Log(0, "FPL_DeInit deinited");
    inited = false;
    callback = nullptr;
}

void TFPLib::Notify(uint8_t code, int32_t value) {
    if (callback) callback(code, value);
}

void TFPLib::StartTimeout(uint32_t ms) {
    timeoutMs = ms;
    timerStart = lastNotify = clock->NowMs();
    Notify(kFplCountdown, 100);
}

bool TFPLib::TimedOut() {
    // Unsigned differences keep the tick counter's wrap-around harmless.
    uint32_t now = clock->NowMs();
    uint32_t elapsed = now - timerStart;
    if (elapsed > timeoutMs) {
        Notify(kFplCountdown, 0);
        return true;
    }
    if (now - lastNotify > kCountdownStepMs) {
        uint64_t left = static_cast<uint64_t>(timeoutMs - elapsed) * 100u;
        Notify(kFplCountdown, timeoutMs ? static_cast<int32_t>(left / timeoutMs) : 0);
        lastNotify = now;
    }
    return false;
}

bool TFPLib::FPL_Abort() {
    if (!inited) {
        Fail(3, "FPL_SendStream not inited");
        return true;
    }
    abortRequest.store(true, std::memory_order_seq_cst);
    if (channel) channel->WakeWaiters();
    return false;
}

bool TFPLib::LinkLost() {
    if (!channel || !channel->IsLost()) return false;
    if (!lostReported) {
        lostReported = true;
        Fail(0, zem::Format(kPortLostFormat, portName.c_str(), channel->LostCause()));
    }
    return true;
}

uint32_t TFPLib::WaitBudget() {
    uint32_t now = clock->NowMs();
    uint32_t elapsed = now - timerStart;
    uint32_t left = elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
    uint32_t sinceNotify = now - lastNotify;
    uint32_t toNotify = sinceNotify >= kCountdownStepMs ? 0 : kCountdownStepMs - sinceNotify;
    // One past the boundary, since both checks ask for "more than".
    return std::min(left, toNotify) + 1;
}

bool TFPLib::WaitOrStop(Await what, uint32_t pollMs) {
    return WaitOrStopFor(what, pollMs, WaitBudget());
}

bool TFPLib::WaitOrStopFor(Await what, uint32_t pollMs, uint32_t budget) {
    // The token before the flag: see TChannel::WakeToken.
    const uint32_t token = channel->WakeToken();
    if (abortRequest.load(std::memory_order_seq_cst) || LinkLost()) return true;
    zem::WaitPump* pump = zem::CurrentWaitPump();
    if (pump) budget = std::min(budget, pump->MsUntilDue(clock->NowMs()));
    if (what == Await::kRx)
        clock->WaitRx(*channel, budget, pollMs, token);
    else
        clock->WaitTxRoom(*channel, budget, pollMs, token);
    if (pump) pump->RunIfDue(clock->NowMs());
    return false;
}

uint32_t TFPLib::QuietSpellMs(uint32_t atLeastMs) const {
    const uint32_t speed = lineSpeed ? lineSpeed : 1;
    const uint32_t chars = static_cast<uint32_t>((uint64_t{kQuietChars} * 10u * 1000u + speed - 1) /
                                                 speed); // ten bits a character
    return std::min(kQuietCapMs, std::max({kQuietFloorMs, chars, atLeastMs}));
}

TFPLib::Quiet TFPLib::WaitQuiet(uint32_t quietMs) {
    const uint32_t start = clock->NowMs();
    for (;;) {
        if (channel->RxCount() > 0) return Quiet::kByte;
        // "More than": a tick counter may step just after the spell began.
        const uint32_t elapsed = clock->NowMs() - start;
        if (elapsed > quietMs) return Quiet::kQuiet;
        if (WaitOrStopFor(Await::kRx, kPollSleepMs, quietMs - elapsed + 1)) return Quiet::kStopped;
    }
}

void TFPLib::ReadDiagnostic() {
    // A UART hands over a refusal and its diagnostic bytes a character time apart, and an adapter
    // or a device server may split them further: read until the line is quiet, so that the next
    // sync byte or purge never meets the rest of this answer.
    const uint32_t start = clock->NowMs();
    for (;;) {
        uint8_t b = 0;
        while (channel->Read(&b, 1) == 1)
            Debug(3, zem::Format("DbgAnsw: 0x%02X", b));
        if (clock->NowMs() - start > kDiagnosticLimitMs) return;
        if (WaitQuiet(QuietSpellMs(kDiagnosticQuietMs)) != Quiet::kByte) return;
    }
}

TFPLib::Answer TFPLib::TakeAnswer(uint8_t& answer, const char* what) {
    uint8_t b = 0;
    if (channel->RxCount() <= 0 || channel->Read(&b, 1) != 1) return Answer::kNone;
    answer = b;
    heardAnswer = true;
    if (handshaking && syncSent > 0) {
        ++answersHeard;
        // Measured from the latest sync byte: the least this answer can have taken.
        slowestAnswerMs =
            std::max(slowestAnswerMs, clock->NowMs() - syncTimes[(syncSent - 1) % kSyncTimesKept]);
    }
    if (IsAck(b)) {
        Debug(3, zem::Format("%s OK (0x%02X)", what, b));
        return Answer::kAck;
    }
    Debug(3, zem::Format("%s NACK (0x%02X)", what, b));
    ReadDiagnostic();
    return Answer::kRefusal;
}

bool TFPLib::WaitForACK(uint32_t waitMs, uint8_t& answer) {
    if (!channel) return true;
    StartTimeout(waitMs);
    for (;;) {
        // An answer already there counts, even when the wait has just run out.
        switch (TakeAnswer(answer)) {
        case Answer::kAck:
            return false;
        case Answer::kRefusal:
            return true;
        case Answer::kNone:
            break;
        }
        if (TimedOut()) {
            Debug(3, "WaitForACK timeout");
            return true;
        }
        // An abort or a lost link ends the wait.
        if (WaitOrStop(Await::kRx, kPollSleepMs)) return true;
    }
}

void TFPLib::NoteSyncSent() {
    syncTimes[syncSent % kSyncTimesKept] = clock->NowMs();
    ++syncSent;
}

uint32_t TFPLib::RecentSyncGapMs() const {
    uint32_t longest = 0;
    const uint32_t kept = std::min<uint32_t>(syncSent, kSyncTimesKept);
    for (uint32_t i = 1; i < kept; ++i) {
        const uint32_t later = syncSent - i;
        longest = std::max(longest, syncTimes[later % kSyncTimesKept] -
                                        syncTimes[(later - 1) % kSyncTimesKept]);
    }
    return longest;
}

bool TFPLib::TakeSurplusAnswers() {
    // The loader answers every sync byte it gets. When its answers take longer than our wait, the
    // answer we linked on belongs to an earlier sync byte and the later ones are still coming,
    // as far apart as the sync bytes left. Taken here, none of them can pass for record 1's
    // answer. A sync byte that never reached a loader (one still off) is never answered: the
    // quiet line ends the wait for it.
    uint32_t surplus = 0;
    while (answersHeard < syncSent) {
        const Quiet q = WaitQuiet(QuietSpellMs(slowestAnswerMs + RecentSyncGapMs()));
        if (q == Quiet::kStopped) return true;
        if (q == Quiet::kQuiet) break;
        uint8_t b = 0;
        if (TakeAnswer(b, "FPL_Boot late answer") != Answer::kNone) ++surplus;
    }
    if (surplus)
        Log(0, zem::Format("FPL_Boot %u late answers to earlier sync bytes taken", surplus));
    syncAnswersComplete = answersHeard >= syncSent;
    return false;
}

uint8_t TFPLib::SpeedCode(const char* speed) {
    static const char* const table[] = {"115200", "230400", "460800", "921600",
                                        "57600",  "38400",  "19200",  "9600"};
    if (!speed) return 9;
    for (uint8_t i = 0; i < sizeof table / sizeof table[0]; ++i)
        if (std::strcmp(speed, table[i]) == 0) return static_cast<uint8_t>(i + 1);
    return 9;
}

void TFPLib::SetPriority(bool high) {
    if (high)
        zem::SetProcessPriorityHigh();
    else
        zem::SetProcessPriorityNormal();
    priorityHigh = high;
}

bool TFPLib::FPL_Boot(uint8_t bootType) {
    if (!inited) {
        Fail(0, "FPL_Boot not inited");
        return true;
    }
    Notify(kFplLinking, 0);
    SetPriority(true);
    uint8_t sync = 0;
    uint32_t waitMs = 0;
    bool supported = false;
    switch (bootType) {
    case 0:
        sync = kSyncBoot0;
        waitMs = kAckWaitBoot0Ms;
        supported = true;
        break;
    case 3:
        sync = kSyncBoot3;
        waitMs = kAckWaitBoot3Ms;
        supported = true;
        break;
    case 1:
    case 2:
        Fail(0, "FPL_Boot boot not implemented");
        break;
    default:
        Fail(0, "FPL_Boot timeout");
        break;
    }
    if (supported) {
        handshaking = true;
        // Linked: first the answers still due to earlier sync bytes, then record 1 may go.
        auto linked = [this] {
            const bool stopped = TakeSurplusAnswers();
            handshaking = false;
            if (!stopped) {
                Notify(kFplLinked, 100);
                return false;
            }
            if (LinkLost()) SetPriority(false);
            // An abort leaves the priority raised, as the success exit does.
            Notify(kFplError, 100);
            return true;
        };
        bool toggle = false;
        for (uint32_t attempt = 0; attempt < kBootAttempts; ++attempt) {
            if (abortRequest) {
                // Leaves the priority raised, as the success exit does.
                Notify(kFplError, 100);
                return true;
            }
            // What came after the last wait ended answers an earlier sync byte: it is read as an
            // answer, never purged as noise.
            uint8_t late = 0;
            if (attempt > 0 && TakeAnswer(late) == Answer::kAck) return linked();
            channel->PurgeRx();
            channel->PurgeTx();
            channel->Write(&sync, 1);
            NoteSyncSent();
            uint8_t answer = 0;
            if (!WaitForACK(waitMs, answer)) return linked();
            if (LinkLost()) break;
            if (abortRequest) {
                Notify(kFplError, 100);
                return true;
            }
            Notify(kFplLinking, toggle ? 100 : 0);
            toggle = !toggle;
        }
        if (!LinkLost()) Fail(0, "FPL_Boot timeout");
        handshaking = false;
    }
    SetPriority(false);
    Notify(kFplError, 100);
    return true;
}

std::string TFPLib::DumpFileName(const std::string& port) {
    std::string name = port.substr(0, 64) + "_Read.bin";
    for (char& c : name)
        if (zem::IsForbiddenFileNameChar(c)) c = '_';
    return name;
}

bool TFPLib::FailRun(const std::string& message) {
    Fail(0, message);
    Notify(kFplError, 100);
    return true;
}

bool TFPLib::FPL_SendStream(uint8_t* buffer, int32_t size) {
    if (!inited) {
        Fail(0, "FPL_SendStream not inited");
        return true;
    }
    const uint64_t total = buffer && size > 0 ? static_cast<uint64_t>(size) : 0;
    // abortRequest is not cleared here: an abort asked for around "Linked" must still count.
    // Range of the last record handled; none yet, so both offsets start at 0.
    uint32_t first = 0;
    uint32_t last = 0xFFFFFFFFu;
    const char* notCompleted = "FPL_SendStream not completed";
    // A buffer shorter than its header has no records; it is never read beyond its end.
    zem::MemorySource source(buffer, static_cast<size_t>(total));
    const uint32_t headerLength = zem::HeaderLengthOf(source);
    if (headerLength == 0) return FailRun(Range(notCompleted, first, last));

    const uint64_t speedWord = headerLength + uint64_t{zem::Le32(buffer + zem::hdr::kSpeedOffset)};
    bool speedChangePending = false;
    if (std::strcmp(requestedSpeed, "115200") != 0) {
        speedChangePending = true;
        if (speedWord + 2 <= total) {
            uint8_t code = SpeedCode(requestedSpeed);
            buffer[speedWord] = code;
            buffer[speedWord + 1] = 0;
        }
    }

    // The same iterator as the file check: a count word or a payload that runs past the end is
    // never read or sent.
    zem::RecordIterator records(source, headerLength);
    zem::StreamRecord record;
    bool anyRecord = false;
    while (records.Next(record)) {
        const uint64_t payload = record.payloadStart;
        const uint64_t end = record.end;
        first = static_cast<uint32_t>(payload);
        last = static_cast<uint32_t>(end - 1);
        anyRecord = true;

        if (abortRequest) return FailRun("FPL_SendStream aborted...");
        channel->PurgeRx();
        channel->PurgeTx();
        Notify(kFplProgramming, static_cast<int32_t>(payload * 100 / total));
        const uint32_t recordStart = clock->NowMs();

        // No sleeping while the ring takes bytes. A full ring is a timed wait like the others
        // (countdown reports, abort), restarted whenever bytes are taken; a ring that takes
        // nothing for the whole record wait is given up on.
        uint64_t at = payload;
        bool stalled = false;
        while (at < end) {
            if (LinkLost()) return FailRun(Range("FPL_SendStream error tx", first, last));
            int n = channel->Write(buffer + at, static_cast<int>(end - at));
            if (n < 0) return FailRun(Range("FPL_SendStream error tx", first, last));
            at += static_cast<uint64_t>(n);
            if (abortRequest) return FailRun("FPL_SendStream aborted...");
            if (n > 0) {
                if (stalled) timerStart = lastNotify = clock->NowMs();
                continue;
            }
            if (!stalled) {
                stalled = true;
                StartTimeout(kWriteStallMs);
            } else if (TimedOut()) {
                return FailRun(Range("FPL_SendStream error tx", first, last));
            }
            if (WaitOrStop(Await::kTxRoom, kPollSleepMs)) {
                if (LinkLost()) return FailRun(Range("FPL_SendStream error tx", first, last));
                return FailRun("FPL_SendStream aborted...");
            }
        }

        uint8_t answer = 0;
        if (WaitForACK(kRecordAckWaitMs, answer)) {
            if (abortRequest && !LinkLost()) return FailRun("FPL_SendStream aborted...");
            return FailRun(Range("FPL_SendStream error rx", first, last));
        }
        longestRecordCycleMs = std::max(longestRecordCycleMs, clock->NowMs() - recordStart);
        if (answer == kAckReadBack && FPL_ReceiveData(NextDumpName().c_str())) {
            if (abortRequest && !LinkLost()) return FailRun("FPL_SendStream aborted...");
            return FailRun(zem::Format("FPL_SendStream error (0x%08X - 0x%08X), ReceiveData to %s",
                                       first, last, "Read.bin"));
        }
        SetPriority(false);
        if (speedChangePending && end > speedWord) {
            speedChangePending = false;
            if (channel->Configure(requestedSpeed, "N81", "N"))
                return FailRun(Range("FPL_SendStream can not change speed", first, last));
            if (const long long speed = LeadingNumber(requestedSpeed);
                speed > 0 && speed < UINT32_MAX)
                lineSpeed = static_cast<uint32_t>(speed);
        }
        Log(0, Range("FPL_SendStream OK", first, last));
    }
    if (records.Truncated() && records.ClaimedEnd() > 0)
        return FailRun(Range(notCompleted, static_cast<uint32_t>(records.Position() + 2),
                             static_cast<uint32_t>(records.ClaimedEnd() - 1)));
    if (!records.EndedExactly()) return FailRun(Range(notCompleted, first, last));
    if (!anyRecord) return FailRun(Range(notCompleted, first, last));
    // In step, nothing follows the last record's answer. A loader whose answers were one behind
    // (later than the handshake could tell) still has the last record's own answer on its way,
    // one record's time after the answer taken for it: when the handshake could not account for
    // every sync byte, wait two records' time for it, and never call such a run complete.
    uint32_t endSpellMs = QuietSpellMs(slowestAnswerMs);
    if (!syncAnswersComplete)
        endSpellMs = std::max(endSpellMs, std::min(kEndSpellCapMs, 2 * longestRecordCycleMs));
    switch (WaitQuiet(endSpellMs)) {
    case Quiet::kQuiet:
        break;
    case Quiet::kStopped:
        if (LinkLost()) return FailRun(Range("FPL_SendStream error rx", first, last));
        return FailRun("FPL_SendStream aborted...");
    case Quiet::kByte: {
        uint8_t b = 0;
        while (channel->Read(&b, 1) == 1)
            Debug(3, zem::Format("FPL_SendStream answer after the last record (0x%02X)", b));
        outOfStep = true;
        return FailRun("FPL_SendStream answers out of step with the records");
    }
    }
    Debug(3, "FPL_SendStream OK");
    Notify(kFplProgrammed, 100);
    return false;
}

bool TFPLib::FPL_ReceiveData(const char* fileName) {
    if (!channel) return true;
    uint16_t check = 0;
    Notify(kFplReading, 0);

    uint8_t lengthBytes[4] = {};
    int received = 0;
    StartTimeout(kReadBackIdleMs);
    while (received < 4) {
        if (TimedOut()) {
            Fail(0, "FPL_ReceiveData timeout1");
            return true;
        }
        if (channel->RxCount() > 0) {
            StartTimeout(kReadBackIdleMs);
            int n = channel->Read(lengthBytes + received, 4 - received);
            if (n > 0) received += n;
        } else if (WaitOrStop(Await::kRx, kPollSleepMs)) {
            return true;
        }
    }
    const uint32_t words = zem::Le32(lengthBytes);
    const uint64_t total = uint64_t{words} * 2u + 2u;
    Log(0, "Dump start");

    StartTimeout(kReadBackIdleMs);
    // A block longer than a signed 32-bit count (the dump's size is reported as one), or one
    // that cannot be allocated, fails here instead of overflowing.
    std::unique_ptr<uint8_t[]> block;
    if (total <= INT32_MAX) block.reset(new (std::nothrow) uint8_t[total]);
    if (!block) {
        Fail(0, "FPL_ReceiveData timeout2");
        return true;
    }
    uint64_t got = 0;
    while (got < total) {
        if (TimedOut()) {
            Fail(0, "FPL_ReceiveData timeout2");
            return true;
        }
        // Checked on every chunk too: a long block arriving steadily must not hold off an abort.
        if (abortRequest) return true;
        if (channel->RxCount() > 0) {
            StartTimeout(kReadBackIdleMs);
            int n = channel->Read(block.get() + got, static_cast<int>(total - got));
            if (n > 0) {
                got += static_cast<uint64_t>(n);
                Notify(kFplReading, static_cast<int32_t>(got * 100 / total));
            }
        } else if (WaitOrStop(Await::kRx, kReadBackDataSleepMs)) {
            return true;
        }
    }

    for (uint64_t i = 0; i < words; ++i)
        check ^= zem::Le16(block.get() + 2 * i);
    if (check != zem::Le16(block.get() + 2 * uint64_t{words})) {
        Fail(0, "FPL_ReceiveData bad checksum");
        return true;
    }
    uint8_t answer = 0;
    if (WaitForACK(kRecordAckWaitMs, answer)) {
        Fail(0, "FPL_ReceiveData no ACK");
        return true;
    }
    // An empty block is a valid read-back and gives an empty dump.
    if (!SaveDump(block.get(), words * 2u, fileName)) {
        Fail(0, "FPL_ReceiveData Can not save read buffer");
        return true;
    }
    return false;
}

int32_t TFPLib::SaveBuffer(const uint8_t* data, uint32_t length, const char* fileName) {
    if (length > INT32_MAX) {
        Fail(0, std::string("Error in writing on ") + (fileName ? fileName : ""));
        return 0;
    }
    return SaveDump(data, length, fileName) ? static_cast<int32_t>(length) : 0;
}

std::string TFPLib::NextDumpName() const {
    if (dumpFile.empty()) return DumpFileName(portName);
    // A caller's name is kept for every block: a module that sends two must not have the second
    // replace the first. The second and later get their number before the extension.
    if (savedDumps.empty()) return dumpFile;
    std::string number(1, '.');
    number += std::to_string(savedDumps.size() + 1);
    const size_t slash = dumpFile.find_last_of("/\\");
    const size_t dot = dumpFile.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return dumpFile + number;
    return dumpFile.substr(0, dot) + number + dumpFile.substr(dot);
}

bool TFPLib::SaveDump(const uint8_t* data, uint32_t length, const char* fileName) {
    const std::string name = fileName ? fileName : "";
    // Written under a temporary name and renamed, so that an interrupted write never leaves a
    // partial dump under the final name.
    const std::string temp = name + ".tmp";
    std::FILE* f = name.empty() ? nullptr : std::fopen(temp.c_str(), "wb");
    if (!f) {
        Fail(0, "Can not open " + name);
        return false;
    }
    bool ok = length == 0 || (data && std::fwrite(data, 1, length, f) == length);
    ok = std::fclose(f) == 0 && ok;
    ok = ok && zem::ReplaceFile(temp, name);
    if (!ok) {
        std::remove(temp.c_str());
        Fail(0, "Error in writing on " + name);
        return false;
    }
    savedDumps.push_back(name);
    return true;
}

bool TFPLib::Program(const char* fileName) {
    if (!inited) {
        Fail(0, "TFPL::Program not inited");
        return true;
    }
    Log(0, "TFPL::Program start");
    // The waits that remain bounded (the handshake's 50/25 ms) keep their length on Windows.
    zem::ScopedFineTimer fineTimer;
    // Only a regular file: a FIFO would block the run for good.
    std::FILE* f = fileName ? zem::OpenRegularFile(fileName) : nullptr;
    if (!f) {
        Fail(0, "TFPL::Program can not open file");
        return true;
    }
    // The whole file in one buffer for the length of the run. A file too large for the
    // transfer's signed 32-bit size, or one that cannot be held, fails as a short read.
    long size = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
    std::unique_ptr<uint8_t[]> buffer;
    if (size >= 0 && size <= INT32_MAX && std::fseek(f, 0, SEEK_SET) == 0)
        buffer.reset(new (std::nothrow) uint8_t[size > 0 ? size : 1]);
    if (!buffer ||
        std::fread(buffer.get(), 1, static_cast<size_t>(size), f) != static_cast<size_t>(size)) {
        Fail(0, "TFPL::Program can not read from file");
        std::fclose(f);
        return true;
    }
    std::fclose(f);

    const size_t n = static_cast<size_t>(size);
    if (streamObserver) streamObserver(buffer.get(), n);
    uint8_t bootType = 0;
    if (n >= zem::hdr::kStreamVersion + 2 && zem::Le16(buffer.get() + zem::hdr::kStreamVersion) > 1)
        bootType = n > zem::hdr::kBootType ? buffer[zem::hdr::kBootType] : 0;
    if (FPL_Boot(bootType)) {
        Fail(0, "TFPL::Can not boot");
        return true;
    }
    if (FPL_SendStream(buffer.get(), static_cast<int32_t>(size))) {
        Fail(0, "TFPL::Program can not send stream");
        return true;
    }
    Log(0, "TFPL::Program OK");
    return false;
}
