// The local serial channel over pseudo-terminals: the test holds the master side and looks at the
// line settings through it.
#include "OpenChannel.h"
#include "SerialPort.h"
#include "SerialTestUtil.h"
#include "TSerial.h"
#include "Termios2.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class Pty {
public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        char name[128];
        if (ptsname_r(master_, name, sizeof name) != 0) return;
        slave_ = name;
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~Pty() { CloseMaster(); }
    // The adapter pulled: the slave side hangs up.
    void CloseMaster() {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }
    bool Ok() const { return master_ >= 0 && !slave_.empty(); }
    int Master() const { return master_; }
    const std::string& Slave() const { return slave_; }

    // The slave's settings as the driver holds them.
    zem::LinuxTermios Line() const {
        zem::LinuxTermios t;
        EXPECT_TRUE(zem::GetLinuxTermios(master_, t));
        return t;
    }

    void Send(const std::string& bytes) {
        size_t done = 0;
        ASSERT_TRUE(WaitFor([&] {
            ssize_t k = write(master_, bytes.data() + done, bytes.size() - done);
            if (k > 0) done += static_cast<size_t>(k);
            return done == bytes.size();
        }));
    }

    std::string Receive(size_t n) {
        std::string got;
        char buf[4096];
        WaitFor([&] {
            ssize_t k = read(master_, buf, std::min(sizeof buf, n - got.size()));
            if (k > 0) got.append(buf, static_cast<size_t>(k));
            return got.size() == n;
        });
        return got;
    }

private:
    int master_ = -1;
    std::string slave_;
};

class SerialPty : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty.Ok()) << "no pseudo-terminal"; }

    std::unique_ptr<TSerial> Open(const std::string& port) {
        return std::make_unique<TSerial>(20, "COM", 0, port.c_str(), false);
    }

    ScopedTestDir dir;
    Pty pty;
};

std::string ReadAll(TChannel& ch, size_t n) {
    std::string got;
    char buf[1000];
    WaitFor([&] {
        int k = ch.Read(buf, static_cast<int>(std::min(sizeof buf, n - got.size())));
        if (k > 0) got.append(buf, static_cast<size_t>(k));
        return got.size() == n;
    });
    return got;
}

void WriteAll(TChannel& ch, const std::string& bytes) {
    size_t done = 0;
    ASSERT_TRUE(WaitFor([&] {
        int k = ch.Write(bytes.data() + done, static_cast<int>(bytes.size() - done));
        if (k > 0) done += static_cast<size_t>(k);
        return done == bytes.size();
    }));
}

} // namespace

TEST_F(SerialPty, OpensRawWithItsDefaultsAndClosesAgain) {
    {
        auto ch = Open(pty.Slave());
        ASSERT_TRUE(ch->IsInited());
        EXPECT_TRUE(ch->IsOpen());
        EXPECT_EQ(ch->kind, kChannelSerial);
        EXPECT_FALSE(ch->IsNetwork());
        EXPECT_TRUE(Logged("Log", "Opened!"));
        // The defaults went straight to the setters, so the stored texts are still empty.
        EXPECT_STREQ(ch->StoredSpeed(), "");
        EXPECT_STREQ(ch->StoredFlow(), "");
        EXPECT_EQ(ch->RxCount(), 0);
        EXPECT_EQ(ch->TxFree(), 16383);

        zem::LinuxTermios t = pty.Line();
        EXPECT_EQ(t.ospeed, 115200u);
        EXPECT_EQ(t.ispeed, 115200u);
        EXPECT_EQ(t.cflag & CSIZE, static_cast<uint32_t>(CS8));
        EXPECT_EQ(t.cflag & (PARENB | CSTOPB), 0u);
        EXPECT_NE(t.cflag & CRTSCTS, 0u) << "hardware handshake by default";
        EXPECT_EQ(t.lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u) << "raw input";
        EXPECT_EQ(t.oflag & OPOST, 0u) << "raw output";
        EXPECT_EQ(t.iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);

        // Queued bytes that never went out are dropped with the channel, without a hang.
        std::string big(16383, 'x');
        EXPECT_GT(ch->Write(big.data(), static_cast<int>(big.size())), 0);
    }
    // The port is free again.
    auto again = Open(pty.Slave());
    EXPECT_TRUE(again->IsInited());
}

TEST_F(SerialPty, SettingsReachTheLine) {
    auto ch = Open(pty.Slave());
    ASSERT_TRUE(ch->IsInited());
    ch->Configure("", "", "N"); // a pty has no modem lines: refused, and ignored as the window does

    struct Case {
        const char* speed;
        const char* format;
        const char* flow;
        uint32_t rate;
        bool twoStopBits;
        bool handshake;
    };
    const Case cases[] = {
        {"921600", "N81", "N", 921600, false, false},
        {"250000", "N82", "H", 250000, true, true}, // not a standard rate
        {"9600", "N81", "X", 9600, false, false},
        {"3000000", "O72", "N", 3000000, true, false},
        {"1234567", "N81", "H", 1234567, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.speed) + " " + c.format + " " + c.flow);
        // Only a change of flow to "N" asks for RTS, which the pty refuses.
        bool refused = std::string(c.flow) == "N" && std::string(ch->StoredFlow()) != "N";
        EXPECT_EQ(ch->Configure(c.speed, c.format, c.flow), refused);
        zem::LinuxTermios t = pty.Line();
        EXPECT_EQ(t.ospeed, c.rate);
        EXPECT_EQ((t.cflag & CSTOPB) != 0, c.twoStopBits);
        EXPECT_EQ((t.cflag & CRTSCTS) != 0, c.handshake);
        EXPECT_EQ(t.iflag & (IXON | IXOFF), 0u);
    }

    // Rate 0 and a text without digits are refused and leave the line as it was.
    for (const char* bad : {"0", "abc", "-9600"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(ch->SetSpeed(bad), -2);
        EXPECT_EQ(pty.Line().ospeed, 1234567u);
    }
    EXPECT_TRUE(Logged("Log", "TSerial::Configure - Can not SetCommState -5"));

    // A data size the driver cannot make is refused; a lower-case parity letter is no parity.
    EXPECT_EQ(ch->SetFormat("N91"), -2);
    EXPECT_TRUE(Logged("Log", "TSerial::Configure - Can not SetCommState -9"));
    EXPECT_EQ(ch->SetFormat("N"), -2) << "no data-bits character";
    EXPECT_EQ(ch->SetFormat("e82"), 0);
    EXPECT_NE(pty.Line().cflag & CSTOPB, 0u);
    EXPECT_EQ(ch->SetFormat(nullptr), 0);
    EXPECT_EQ(pty.Line().cflag & CSTOPB, 0u);
}

// A port that another program left at rate 0 (hung up) still opens and takes the default rate.
TEST_F(SerialPty, APortLeftAtRateZeroStillOpens) {
    zem::LinuxTermios t = pty.Line();
    zem::SetLinuxTermiosRate(t, 0);
    ASSERT_TRUE(zem::SetLinuxTermios(pty.Master(), t));
    ASSERT_EQ(pty.Line().ospeed, 0u);
    auto ch = Open(pty.Slave());
    EXPECT_TRUE(ch->IsInited());
    EXPECT_EQ(pty.Line().ospeed, 115200u);
    EXPECT_EQ(ch->SetSpeed("0"), -2) << "but nobody may ask for it";
}

TEST_F(SerialPty, ModemLineRequestsAreRefusedButRecorded) {
    auto ch = Open(pty.Slave());
    ASSERT_TRUE(ch->IsInited());
    uint32_t lines = 0xFFFF;
    EXPECT_EQ(ch->GetLines(&lines), 0);
    EXPECT_EQ(lines, 0u) << "no input lines on a pty";

    EXPECT_EQ(ch->SetLines(3), -2);
    ch->GetLines(&lines);
    EXPECT_EQ(lines, uint32_t{kLineRTS | kLineDTR});
    EXPECT_EQ(ch->ClearLines(1), -2);
    ch->GetLines(&lines);
    EXPECT_EQ(lines, uint32_t{kLineDTR});
    EXPECT_EQ(ch->ClearLines(2), -3);
    ch->GetLines(&lines);
    EXPECT_EQ(lines, 0u);

    EXPECT_EQ(ch->SetFlow("N"), -3);
    EXPECT_TRUE(Logged("Log", "TSerial::SetFlow - can not set RTS"));
    EXPECT_EQ(ch->SetFlow("H"), 0);
    EXPECT_EQ(ch->SetFlow("Q"), 0);
    // The setters re-assert what LineState records; a refusal there does not fail them.
    EXPECT_EQ(ch->SetSpeed("57600"), 0);
    EXPECT_EQ(ch->SetFormat("N81"), 0);
}

TEST_F(SerialPty, BytesGoBothWaysUnchanged) {
    auto ch = Open(pty.Slave());
    ASSERT_TRUE(ch->IsInited());
    // Bytes a cooked tty would translate, swallow or act on.
    const std::string special("\r\n\0\x03\x04\x11\x13\x1a\x7f\xff\r", 11);
    WriteAll(*ch, special);
    EXPECT_EQ(pty.Receive(special.size()), special);
    pty.Send(special);
    EXPECT_EQ(ReadAll(*ch, special.size()), special);
    EXPECT_EQ(ch->RxCount(), 0);
}

TEST_F(SerialPty, MegabytesEachWayArriveIntact) {
    auto ch = Open(pty.Slave());
    ASSERT_TRUE(ch->IsInited());
    ch->Configure("", "", "N");
    ASSERT_FALSE(ch->Configure("921600", "N81", "N"));

    constexpr size_t kBytes = 3u << 20;
    constexpr uint32_t kToChannel = 1, kFromChannel = 2;
    std::atomic<bool> failed{false};
    std::atomic<size_t> masterGot{0};
    size_t masterMismatch = SIZE_MAX;

    // The far end: feeds the channel and checks what comes back, at its own pace.
    std::thread far([&] {
        size_t sent = 0, got = 0;
        std::string out = Pattern(kToChannel, kBytes);
        char buf[8192];
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while ((sent < kBytes || got < kBytes) && !failed) {
            if (std::chrono::steady_clock::now() > end) {
                failed = true;
                break;
            }
            pollfd p{pty.Master(), static_cast<short>(POLLIN | (sent < kBytes ? POLLOUT : 0)), 0};
            poll(&p, 1, 10);
            if (sent < kBytes) {
                ssize_t k =
                    write(pty.Master(), out.data() + sent, std::min<size_t>(kBytes - sent, 4096));
                if (k > 0) sent += static_cast<size_t>(k);
            }
            ssize_t k = read(pty.Master(), buf, sizeof buf);
            for (ssize_t i = 0; i < k; ++i, ++got) {
                if (static_cast<uint8_t>(buf[i]) != PatternByte(kFromChannel, got) ||
                    got >= kBytes) {
                    masterMismatch = got;
                    failed = true;
                    break;
                }
            }
            masterGot = got;
        }
    });

    size_t written = 0, read = 0, mismatch = SIZE_MAX;
    std::string out = Pattern(kFromChannel, kBytes);
    char buf[16384];
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while ((written < kBytes || read < kBytes) && !failed &&
           std::chrono::steady_clock::now() < end) {
        bool moved = false;
        if (written < kBytes) {
            int k = ch->Write(out.data() + written,
                              static_cast<int>(std::min<size_t>(kBytes - written, 1 << 20)));
            if (k > 0) {
                written += static_cast<size_t>(k);
                moved = true;
            }
        }
        int k = ch->Read(buf, sizeof buf);
        for (int i = 0; i < k; ++i, ++read) {
            if (read >= kBytes || static_cast<uint8_t>(buf[i]) != PatternByte(kToChannel, read)) {
                mismatch = read;
                failed = true;
                break;
            }
        }
        if (k > 0) moved = true;
        if (!moved) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Let the far end take the last pieces the service thread hands over.
    WaitFor([&] { return masterGot == kBytes || failed; }, 60000);
    failed = failed || masterGot != kBytes;
    far.join();
    EXPECT_EQ(mismatch, SIZE_MAX) << "channel side: first bad byte";
    EXPECT_EQ(masterMismatch, SIZE_MAX) << "far side: first bad byte";
    EXPECT_EQ(read, kBytes);
    EXPECT_EQ(masterGot.load(), kBytes);
    EXPECT_FALSE(failed);
}

TEST_F(SerialPty, PortsThatCannotBeOpenedFailAlike) {
    auto holder = Open(pty.Slave());
    ASSERT_TRUE(holder->IsInited());
    Pty other;
    ASSERT_TRUE(other.Ok());
    // Another program holding the port: an exclusive lock on its own descriptor.
    int fd = open(other.Slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);

    for (const std::string& name : {std::string("COM99"), std::string("/dev/zem-no-such-port"),
                                    std::string("/dev/null"), pty.Slave(), other.Slave()}) {
        SCOPED_TRACE(name);
        auto ch = Open(name);
        EXPECT_FALSE(ch->IsInited());
        EXPECT_FALSE(ch->IsOpen());
        EXPECT_TRUE(Logged("Error", "TSerial::TSerial - Cannot open Communication Port " + name));
        EXPECT_EQ(ch->RxCount(), -1);
        EXPECT_EQ(ch->Write("x", 1), -1);
        EXPECT_TRUE(ch->Configure("9600", "N81", "N"));
    }
    close(fd);
    holder.reset();
    EXPECT_TRUE(Open(pty.Slave())->IsInited());
    EXPECT_TRUE(Open(other.Slave())->IsInited());
}

// The chain a programming run goes through on a port without modem lines: the window's flow
// request is refused and ignored, the protocol's settings then succeed and bytes move.
TEST_F(SerialPty, OpenChannelRunsOnAPortWithoutModemLines) {
    TChannel* ch = zem::OpenChannel(pty.Slave());
    ASSERT_NE(ch, nullptr);
    EXPECT_EQ(ch->kind, kChannelSerial);
    char name[32];
    EXPECT_STREQ(ch->GetName(name), "COM");
    EXPECT_STREQ(ch->StoredFlow(), "N");
    EXPECT_FALSE(ch->Configure("115200", "N81", "N"));
    EXPECT_FALSE(ch->Configure("921600", "N81", "N"));
    EXPECT_EQ(pty.Line().ospeed, 921600u);
    EXPECT_EQ(pty.Line().cflag & CRTSCTS, 0u);

    WriteAll(*ch, "\x7e\x7e\x7e");
    EXPECT_EQ(pty.Receive(3), "\x7e\x7e\x7e");
    pty.Send("\xaa");
    EXPECT_EQ(ReadAll(*ch, 1), "\xaa");
    zem::FreeChannel(ch);

    // The same names the window's list shows for a port that is not there.
    EXPECT_EQ(zem::OpenChannel("COM99"), nullptr);
    EXPECT_EQ(zem::OpenChannel("com99"), nullptr);
    EXPECT_EQ(zem::OpenChannel("/dev/zem-no-such-port"), nullptr);
}

// The driver errors that mean the port itself is gone, and some that do not.
TEST(SerialLostCause, OnlyErrorsOfAVanishedDevice) {
    for (int e : {EIO, ENXIO, ENODEV, EBADF})
        EXPECT_NE(zem::SerialLostCause(e), nullptr) << e;
    for (int e : {0, EAGAIN, EINTR, ENOTTY, EINVAL})
        EXPECT_EQ(zem::SerialLostCause(e), nullptr) << e;
    EXPECT_NE(std::string(zem::SerialLostCause(EIO)).find("EIO"), std::string::npos);
}

// Each Write wakes the service thread, so its bytes reach the line without waiting out a pass.
TEST_F(SerialPty, AWriteReachesThePortAtOnce) {
    auto ch = Open(pty.Slave());
    ASSERT_TRUE(ch->IsInited());
    std::vector<double> us;
    for (int i = 0; i < 200; ++i) {
        const char b = static_cast<char>(i);
        auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(ch->Write(&b, 1), 1);
        pollfd p{pty.Master(), POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1);
        us.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0)
                .count());
        char got = 0;
        ASSERT_EQ(read(pty.Master(), &got, 1), 1);
        ASSERT_EQ(got, b);
        // Let the thread go back to sleep, so each sample measures a wake-up.
        std::this_thread::sleep_for(std::chrono::microseconds(300 + (i % 7) * 100));
    }
    std::sort(us.begin(), us.end());
    RecordProperty("median_us", static_cast<int>(us[us.size() / 2]));
    RecordProperty("p99_us", static_cast<int>(us[us.size() * 99 / 100]));
    std::printf("Write to port: median %.0f us, 99th percentile %.0f us\n", us[us.size() / 2],
                us[us.size() * 99 / 100]);
    // A thread woken by Write hands the byte over in tens of microseconds; one that found it on
    // a pass of a periodic loop would take half the pass interval on the median. The median
    // stays far below a loaded machine's scheduling delays.
    EXPECT_LT(us[us.size() / 2], 1000.0);
}

namespace {
// Voluntary context switches of one thread of this process: each is a sleep it woke from.
long WakeUps(pid_t tid) {
    std::FILE* f = std::fopen(("/proc/self/task/" + std::to_string(tid) + "/status").c_str(), "r");
    if (!f) return -1;
    char line[256];
    long n = -1;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "voluntary_ctxt_switches: %ld", &n) == 1) break;
    std::fclose(f);
    return n;
}

std::vector<pid_t> Threads() {
    std::vector<pid_t> t;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task"))
        t.push_back(static_cast<pid_t>(std::stol(e.path().filename().string())));
    return t;
}
} // namespace

// An open, idle port costs no wake-ups: its service thread sleeps until something happens.
TEST_F(SerialPty, AnIdlePortDoesNotWakeItsThread) {
    const std::vector<pid_t> before = Threads();
    auto ch = Open(pty.Slave());
    ASSERT_TRUE(ch->IsInited());
    pid_t service = 0;
    for (pid_t t : Threads())
        if (std::find(before.begin(), before.end(), t) == before.end()) service = t;
    ASSERT_NE(service, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const long start = WakeUps(service);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    // A 2 ms pass would wake it some 300 times; the guard at most once.
    EXPECT_LE(WakeUps(service) - start, 5);
    uint32_t lines = 0xFF;
    EXPECT_EQ(ch->GetLines(&lines), 0) << "the lines are read on this thread";
}

// A full receive ring stops the thread reading; the Read that makes room wakes it, so the bytes
// the driver held follow at once, not after the thread's idle guard.
TEST_F(SerialPty, ReadingAFullRingResumesReceptionAtOnce) {
    auto ch = Open(pty.Slave());
    ASSERT_TRUE(ch->IsInited());
    const std::string in = Pattern(5, 16383 + 2000);
    std::thread sender([&] { pty.Send(in); });
    ASSERT_TRUE(WaitFor([&] { return ch->RxCount() == 16383; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the thread is asleep now
    std::string got(16383, '\0');
    ASSERT_EQ(ch->Read(got.data(), 16383), 16383);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitFor([&] { return ch->RxCount() > 0; }));
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(ms, 500.0) << "woken by the Read, not by the guard";
    got += ReadAll(*ch, 2000);
    sender.join();
    EXPECT_TRUE(got == in);
}

// A pulled adapter: the channel marks itself lost, names the cause and wakes a waiting reader.
TEST_F(SerialPty, OtherSideClosedMidTransferMarksTheChannelLost) {
    auto ch = Open(pty.Slave());
    ASSERT_TRUE(ch->IsInited());
    WriteAll(*ch, Pattern(3, 3000));
    pty.Send("abc");
    EXPECT_EQ(ReadAll(*ch, 3), "abc");
    EXPECT_FALSE(ch->IsLost());
    EXPECT_STREQ(ch->LostCause(), "");

    std::atomic<bool> waiting{false};
    std::chrono::steady_clock::time_point woke;
    std::thread reader([&] {
        waiting = true;
        ch->WaitRx(20000);
        woke = std::chrono::steady_clock::now();
    });
    WaitFor([&] { return waiting.load(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto closed = std::chrono::steady_clock::now();
    pty.CloseMaster();
    reader.join();
    double ms = std::chrono::duration<double, std::milli>(woke - closed).count();
    std::printf("lost port seen after %.2f ms\n", ms);
    RecordProperty("lost_us", static_cast<int>(ms * 1000));
    EXPECT_LT(ms, 10000.0) << "the wait ended on the loss, not on its bound";
    EXPECT_TRUE(ch->IsLost());
    std::string cause = ch->LostCause();
    EXPECT_TRUE(cause.find("POLLHUP") != std::string::npos ||
                cause.find("EIO") != std::string::npos)
        << cause;
    // Still a channel that can be used and destroyed; nothing more moves.
    EXPECT_GE(ch->Write("x", 1), 0);
    EXPECT_EQ(ch->RxCount(), 0);
}
