#include "TChannel.h"
#include "TestDir.h"

#include <gtest/gtest.h>

#include <sstream>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// A channel kind with no link of its own: the test plays the service thread through the ring.
class TestChannel : public TChannel {
public:
    explicit TestChannel(const char* name = "TEST", int32_t level = 0) : TChannel(level, name, 0) {}
    void Open() { inited = true; }
    RingBlock& R() { return *Rings(); }

    int SetSpeed(const char* t) override { return Record("speed", t); }
    int SetFormat(const char* t) override { return Record("format", t); }
    int SetFlow(const char* t) override { return Record("flow", t); }

    std::vector<std::string> calls;
    std::string failOn;

    // Service side: take everything queued / deposit bytes, one contiguous piece at a time.
    std::string Drain() {
        std::string out;
        for (;;) {
            const uint8_t* p;
            uint32_t n = R().TxPiece(&p);
            if (!n) return out;
            out.append(reinterpret_cast<const char*>(p), n);
            R().TxConsumed(n);
        }
    }
    size_t Deposit(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            uint8_t* p;
            uint32_t room = R().RxRoom(&p);
            if (!room) break;
            uint32_t n = std::min<uint32_t>(room, static_cast<uint32_t>(bytes.size() - done));
            std::memcpy(p, bytes.data() + done, n);
            R().RxProduced(n);
            done += n;
        }
        return done;
    }

private:
    int Record(const char* what, const char* t) {
        calls.push_back(std::string(what) + "=" + t);
        return failOn == what ? -1 : 0;
    }
};

std::string Pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + seed + (i >> 9)) & 0xFF);
    return s;
}

} // namespace

TEST(Channel, NotInitedRefusesEverything) {
    ScopedTestDir dir;
    TestChannel c;
    char buf[4];
    EXPECT_EQ(c.TxFree(), -1);
    EXPECT_EQ(c.RxCount(), -1);
    EXPECT_EQ(c.Write("ab", 2), -1);
    EXPECT_EQ(c.Read(buf, 2), -1);
    EXPECT_TRUE(c.Configure("9600", "N81", "N"));
    EXPECT_TRUE(c.PurgeTx());
    EXPECT_TRUE(c.PurgeRx());
    EXPECT_TRUE(c.calls.empty());
    EXPECT_STREQ(c.StoredSpeed(), "");
}

TEST(Channel, NewChannelAndNameTruncation) {
    TestChannel c("0123456789012345678901234567890123456789");
    c.Open();
    EXPECT_EQ(c.RxCount(), 0);
    EXPECT_EQ(c.TxFree(), 16383);
    char name[32];
    EXPECT_STREQ(c.GetName(name), "0123456789012345678901234567890");
    EXPECT_EQ(c.kind, 0xFF);
}

TEST(Channel, WriteFillsRingAndWraps) {
    TestChannel c;
    c.Open();
    std::string big = Pattern(20000, 1);
    EXPECT_EQ(c.Write(big.data(), 20000), 16383);
    EXPECT_EQ(c.Write("x", 1), 0);
    EXPECT_EQ(c.TxFree(), 0);
    EXPECT_EQ(c.Drain(), big.substr(0, 16383));
    EXPECT_EQ(c.TxFree(), 16383);
    EXPECT_EQ(c.R().txHead.load(), 16383u);

    // 10 bytes from head 16383 wrap: 1 at the end, 9 from the start, one Write.
    std::string ten = "0123456789";
    EXPECT_EQ(c.Write(ten.data(), 10), 10);
    EXPECT_EQ(c.R().txHead.load(), 9u);
    EXPECT_EQ(c.Drain(), ten);

    // A write that ends exactly at the end of the buffer leaves the head at 0.
    std::string rest = Pattern(16384 - 9, 2);
    EXPECT_EQ(c.Write(rest.data(), static_cast<int>(rest.size())), static_cast<int>(rest.size()));
    EXPECT_EQ(c.R().txHead.load(), 0u);
    EXPECT_EQ(c.Drain(), rest);
}

TEST(Channel, ZeroAndNegativeSizes) {
    TestChannel c;
    c.Open();
    char buf[8];
    EXPECT_EQ(c.Write("abc", 0), 0);
    EXPECT_EQ(c.Write("abc", -1), -2);
    EXPECT_EQ(c.Read(buf, 0), 0);
    EXPECT_EQ(c.Read(buf, -5), -2);
    EXPECT_EQ(c.Read(buf, 8), 0);
    EXPECT_EQ(c.TxFree(), 16383);
}

TEST(Channel, ReadPartsAndWrap) {
    TestChannel c;
    c.Open();
    // Move the receive indices near the end of the buffer.
    std::string filler = Pattern(16380, 3);
    ASSERT_EQ(c.Deposit(filler), filler.size());
    std::vector<char> sink(16380);
    ASSERT_EQ(c.Read(sink.data(), 16380), 16380);

    std::string data = Pattern(100, 4); // 4 bytes at the end, 96 from the start
    ASSERT_EQ(c.Deposit(data), 100u);
    EXPECT_EQ(c.RxCount(), 100);
    char out[100];
    EXPECT_EQ(c.Read(out, 30), 30);
    EXPECT_EQ(c.RxCount(), 70);
    EXPECT_EQ(c.Read(out + 30, 100), 70);
    EXPECT_EQ(std::string(out, 100), data);
    EXPECT_EQ(c.Deposit(Pattern(20000, 5)), 16383u) << "one byte always stays empty";
}

TEST(Channel, PurgesDropPendingBytes) {
    TestChannel c;
    c.Open();
    c.Deposit("abc");
    EXPECT_FALSE(c.PurgeRx());
    EXPECT_EQ(c.RxCount(), 0);
    c.Deposit("d");
    char b;
    EXPECT_EQ(c.Read(&b, 1), 1);
    EXPECT_EQ(b, 'd');

    c.Write("old", 3);
    EXPECT_FALSE(c.PurgeTx());
    c.Write("new", 3);
    EXPECT_EQ(c.Drain(), "new");
}

TEST(Channel, PurgeTxWhileThreadSendsNeverInventsBytes) {
    TestChannel c;
    c.Open();
    c.Write("abcdef", 6);
    const uint8_t* p;
    uint32_t n = c.R().TxPiece(&p); // the thread takes the piece and is sending it...
    ASSERT_EQ(n, 6u);
    c.PurgeTx(); // ...when the user purges and queues a new record
    c.Write("XY", 2);
    c.R().TxConsumed(n); // the old piece went out
    EXPECT_EQ(c.Drain(), "XY");
    EXPECT_EQ(c.TxFree(), 16383);
}

TEST(Channel, ConfigureStoredTextRules) {
    ScopedTestDir dir;
    TestChannel c("CH", 20);
    c.Open();
    c.Deposit("junk");
    c.Write("junk", 4);

    EXPECT_FALSE(c.Configure("", "", ""));
    EXPECT_TRUE(c.calls.empty());
    EXPECT_EQ(c.RxCount(), 0);
    EXPECT_EQ(c.Drain(), "");

    EXPECT_FALSE(c.Configure("115200", "N81", "N"));
    EXPECT_EQ(c.calls, (std::vector<std::string>{"speed=115200", "format=N81", "flow=N"}));
    c.calls.clear();
    EXPECT_FALSE(c.Configure("115200", "N81", "N"));
    EXPECT_TRUE(c.calls.empty()) << "texts already stored reach no setter";

    c.failOn = "speed";
    EXPECT_TRUE(c.Configure("9600", "E71", "H"));
    EXPECT_EQ(c.calls, (std::vector<std::string>{"speed=9600"}));
    EXPECT_STREQ(c.StoredSpeed(), "9600");
    EXPECT_STREQ(c.StoredFormat(), "N81");
    c.calls.clear();
    EXPECT_FALSE(c.Configure("9600", "E71", "H")) << "the failed text stays stored";
    EXPECT_EQ(c.calls, (std::vector<std::string>{"format=E71", "flow=H"}));

    std::string log = ReadFileBytes("LocalLog.txt");
    const char* lines[] = {
        "Log  TChannel::Configure - New Speed: 115200\r\n",
        "Log  TChannel::Configure - New Format: N81\r\n",
        "Log  TChannel::Configure - New Flow: N\r\n",
        "Log  TChannel::Configure - Can not set speed\r\n",
        "Log  TChannel::Configure - New Speed: 9600\r\n",
    };
    size_t at = 0;
    for (const char* l : lines) {
        size_t f = log.find(l, at);
        ASSERT_NE(f, std::string::npos) << l;
        at = f;
    }
    // The channel's own records are text lines; the bytes it moved never reach the file.
    EXPECT_EQ(log.find("ReportTx"), std::string::npos);
    EXPECT_EQ(log.find("ReportRx"), std::string::npos);
    EXPECT_EQ(log.find("junk"), std::string::npos);
}

// The bytes go to a wire trace of their own instead: one readable line per 16 bytes of a piece,
// both directions, CR, LF and NUL shown as dots.
TEST(Channel, WireTraceHoldsEveryPieceReadably) {
    ScopedTestDir dir;
    zem::WireTrace trace("wire.txt");
    ASSERT_TRUE(trace.Ok());
    TestChannel c("CH", 20);
    c.Open();
    c.SetWireTrace(&trace, "COM7");
    const std::string sent = std::string("U\r\n\0", 4) + std::string(20, 'A');
    ASSERT_EQ(c.Write(sent.data(), static_cast<int>(sent.size())), 24);
    c.Deposit("\xA5");
    char b = 0;
    ASSERT_EQ(c.Read(&b, 1), 1);
    EXPECT_EQ(c.Read(&b, 1), 0) << "nothing taken, nothing traced";

    std::vector<std::string> lines;
    std::istringstream in(ReadFileBytes("wire.txt"));
    for (std::string l; std::getline(in, l);)
        lines.push_back(l.substr(l.find(' ', l.find_first_not_of(' ')) + 1)); // without the time
    EXPECT_EQ(lines,
              (std::vector<std::string>{
                  "COM7 TX 55 0D 0A 00 41 41 41 41 41 41 41 41 41 41 41 41 |U...AAAAAAAAAAAA|",
                  "COM7 TX 41 41 41 41 41 41 41 41                         |AAAAAAAA|",
                  "COM7 RX A5                                              |.|",
              }));
    EXPECT_EQ(ReadFileBytes("LocalLog.txt").find("ReportTx"), std::string::npos);
}

TEST(Channel, NotInitedConfigureMessage) {
    ScopedTestDir dir;
    TestChannel c("CH", 12);
    EXPECT_TRUE(c.Configure("1", "2", "3"));
    EXPECT_NE(ReadFileBytes("LocalLog.txt").find("Log  TChannel::Configure - Not inited -1\r\n"),
              std::string::npos);
}

// One writer and one service thread per direction; nothing lost, duplicated or reordered.
TEST(Channel, ConcurrentStressBothDirections) {
    TestChannel c;
    c.Open();
    const std::string out = Pattern(3 << 20, 7);
    const std::string in = Pattern(3 << 20, 9);
    std::string sent, received;
    std::atomic<bool> stop{false};
    std::thread service([&] {
        size_t deposited = 0;
        unsigned turn = 0;
        while (!stop.load(std::memory_order_acquire)) {
            const uint8_t* p;
            uint32_t n = c.R().TxPiece(&p);
            n = std::min<uint32_t>(n, 1 + (turn++ * 7919) % 5000); // uneven pieces
            sent.append(reinterpret_cast<const char*>(p), n);
            c.R().TxConsumed(n);
            uint8_t* q;
            uint32_t room = c.R().RxRoom(&q);
            uint32_t k = std::min<uint32_t>(room, static_cast<uint32_t>(in.size() - deposited));
            k = std::min<uint32_t>(k, 1 + (turn * 104729) % 3000);
            std::memcpy(q, in.data() + deposited, k);
            c.R().RxProduced(k);
            deposited += k;
            if (n == 0 && k == 0) std::this_thread::yield();
        }
    });
    size_t written = 0;
    std::vector<char> buf(7000);
    while (written < out.size() || received.size() < in.size()) {
        if (written < out.size()) {
            int n = c.Write(out.data() + written,
                            static_cast<int>(std::min<size_t>(out.size() - written, 6000)));
            ASSERT_GE(n, 0);
            written += static_cast<size_t>(n);
        }
        int r = c.Read(buf.data(), static_cast<int>(buf.size()));
        ASSERT_GE(r, 0);
        received.append(buf.data(), static_cast<size_t>(r));
    }
    while (c.TxFree() != 16383)
        std::this_thread::yield();
    stop.store(true, std::memory_order_release);
    service.join();
    EXPECT_TRUE(sent == out);
    EXPECT_TRUE(received == in);
}

// The protocol's pattern: a record is queued, drained, then the ring purged before the next one.
// A purge taken by the thread after it measured the ring would send a record twice or drop one.
TEST(Channel, PurgeAfterEveryDrainedRecordSendsEachRecordOnce) {
    TestChannel c;
    c.Open();
    std::string sent;
    std::atomic<bool> stop{false};
    std::thread service([&] {
        unsigned turn = 0;
        while (!stop.load(std::memory_order_acquire)) {
            const uint8_t* p;
            uint32_t n = c.R().TxPiece(&p);
            n = std::min<uint32_t>(n, 1 + (turn++ * 7919) % 700);
            sent.append(reinterpret_cast<const char*>(p), n);
            c.R().TxConsumed(n);
        }
    });
    std::string expected;
    for (unsigned rec = 0; rec < 3000; ++rec) {
        std::string r = Pattern(1 + (rec * 131) % 900, rec);
        expected += r;
        for (size_t at = 0; at < r.size();) {
            int n = c.Write(r.data() + at, static_cast<int>(r.size() - at));
            ASSERT_GE(n, 0);
            at += static_cast<size_t>(n);
        }
        while (c.TxFree() != 16383)
            std::this_thread::yield();
        c.PurgeTx();
    }
    stop.store(true, std::memory_order_release);
    service.join();
    ASSERT_EQ(sent.size(), expected.size());
    EXPECT_TRUE(sent == expected);
}

// The user's bounded waits end on their event, not on their bound: bytes received, room made in a
// full ring, WakeWaiters from another thread.
TEST(Channel, WaitsEndWhenTheirEventHappens) {
    using Clock = std::chrono::steady_clock;
    auto ms = [](Clock::time_point t0) {
        return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    };
    TestChannel c;
    c.Open();
    const std::string full(16383, 'x');
    ASSERT_EQ(c.Write(full.data(), 16383), 16383);
    for (int round = 0; round < 50; ++round) {
        std::thread service([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            const uint8_t* p;
            c.R().TxPiece(&p);
            c.R().TxConsumed(1);
        });
        auto t0 = Clock::now();
        c.WaitTxRoom(10000);
        EXPECT_LT(ms(t0), 5000.0) << "room made";
        EXPECT_EQ(c.TxFree(), 1);
        service.join();
        ASSERT_EQ(c.Write("y", 1), 1);
    }

    std::thread arrival([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        c.Deposit("a");
    });
    auto t0 = Clock::now();
    c.WaitRx(10000);
    EXPECT_LT(ms(t0), 5000.0) << "byte received";
    EXPECT_EQ(c.RxCount(), 1);
    arrival.join();
    c.PurgeRx();

    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        c.WakeWaiters();
    });
    t0 = Clock::now();
    c.WaitRx(10000);
    EXPECT_LT(ms(t0), 5000.0) << "woken";
    waker.join();

    t0 = Clock::now();
    c.WaitRx(30);
    EXPECT_GE(ms(t0), 29.0) << "nothing happened: the whole bound";
}
