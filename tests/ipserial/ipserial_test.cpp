// The network serial library against a scripted RFC 2217 server on 127.0.0.1.
#include "FakeServer.h"
#include "ipserial.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <random>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint8_t IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253, DONT = 254;

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<milliseconds>(Clock::now() - since).count());
}

int Open(FakeServer& server, int timeoutMs = 3000) {
    return nsio_open("127.0.0.1", server.Port(), timeoutMs);
}

// Reads until `want` bytes came, the port failed, or the time is up.
Bytes ReadFor(int id, size_t want, int timeoutMs = 5000, int* lastResult = nullptr) {
    Bytes got;
    const auto until = Clock::now() + milliseconds(timeoutMs);
    char buf[4096];
    int r = 0;
    while (got.size() < want && Clock::now() < until) {
        r = nsio_read(id, buf, sizeof buf);
        if (r < 0) break;
        if (r == 0) {
            std::this_thread::sleep_for(milliseconds(1));
            continue;
        }
        got.insert(got.end(), buf, buf + r);
    }
    if (lastResult) *lastResult = r;
    return got;
}

// Writes everything, accepting partial writes, within the time given.
bool WriteAll(int id, const Bytes& data, int timeoutMs = 10000) {
    size_t done = 0;
    const auto until = Clock::now() + milliseconds(timeoutMs);
    while (done < data.size() && Clock::now() < until) {
        int n = nsio_write(id, reinterpret_cast<const char*>(data.data() + done),
                           static_cast<int>(std::min<size_t>(data.size() - done, 8192)));
        if (n < 0) return false;
        if (n == 0) std::this_thread::sleep_for(milliseconds(1));
        done += static_cast<size_t>(n);
    }
    return done == data.size();
}

bool WaitLineStatus(int id, int expected, int timeoutMs = 3000) {
    const auto until = Clock::now() + milliseconds(timeoutMs);
    while (Clock::now() < until) {
        if (nsio_lstatus(id) == expected) return true;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return false;
}

Bytes RandomBytes(size_t n, unsigned seed, bool manyIac = true) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b)
        x = static_cast<uint8_t>(manyIac && rng() % 5 == 0 ? 0xFF : rng());
    return b;
}

// Keeps a port open for one test and closes it whatever happens. Once open, the server has
// heard everything the opening sends, so later bytes can be told apart.
struct OpenPort {
    int id;
    explicit OpenPort(FakeServer& server, int timeoutMs = 3000) : id(Open(server, timeoutMs)) {
        if (id >= 0) {
            EXPECT_TRUE(server.WaitFor([&] { return server.Opened(); }));
        }
    }
    ~OpenPort() {
        if (id >= 0) nsio_close(id);
    }
};

bool Contains(const std::vector<std::pair<uint8_t, uint8_t>>& list, uint8_t verb, uint8_t option) {
    return std::count(list.begin(), list.end(), std::make_pair(verb, option)) > 0;
}

// --- opening and negotiation -------------------------------------------------------------

TEST(IpSerialOpen, NegotiatesOptionsAndAsksForModemState) {
    // Offers as a real server makes them before hearing from us, plus some to be refused.
    FakeServer::Options o;
    o.greeting = {IAC, WILL, 3, IAC, DO, 3,  IAC, WILL, 1,  IAC, DONT, 1,  IAC, DO,   0,
                  IAC, WILL, 0, IAC, DO, 44, IAC, DO,   24, IAC, WILL, 44, IAC, WONT, 5};
    FakeServer server(o);
    OpenPort port(server);
    ASSERT_GE(port.id, 0);
    ASSERT_TRUE(server.WaitFor([&] {
        for (const Bytes& s : server.Subs())
            if (s == Bytes{11, 0xFF}) return true;
        return false;
    }));
    ASSERT_TRUE(server.WaitFor([&] {
        auto n = server.Negotiations();
        return Contains(n, DONT, 1) && Contains(n, WONT, 24) && Contains(n, DONT, 44);
    }));
    std::this_thread::sleep_for(milliseconds(50)); // anything more would show by now
    auto n = server.Negotiations();
    for (auto [verb, option] : {std::pair<uint8_t, uint8_t>{WILL, 0},
                                {DO, 0},
                                {WILL, 3},
                                {DO, 3},
                                {WILL, 44},
                                {DONT, 1},
                                {WONT, 24},
                                {DONT, 44}})
        EXPECT_EQ(std::count(n.begin(), n.end(), std::make_pair(verb, option)), 1)
            << int(verb) << " " << int(option);
    // Nothing said about options only switched off, nothing agreed that was not offered.
    EXPECT_FALSE(Contains(n, DO, 1));
    EXPECT_FALSE(Contains(n, WILL, 24));
    EXPECT_FALSE(Contains(n, DONT, 5));
    EXPECT_FALSE(Contains(n, WONT, 1));
}

TEST(IpSerialOpen, PeerThatFlipsOptionsCannotKeepUsTalking) {
    FakeServer::Options o;
    o.flipOptions = true; // every offer of ours answered with "no" and "yes" at once
    FakeServer server(o);
    OpenPort port(server);
    ASSERT_GE(port.id, 0);
    std::this_thread::sleep_for(milliseconds(300));
    const size_t settled = server.Negotiations().size();
    EXPECT_LT(settled, 30u);
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(server.Negotiations().size(), settled);
    EXPECT_EQ(nsio_ioctl(port.id, NSIO_B9600, NSIO_BIT_8), 0); // and the port works
}

TEST(IpSerialOpen, FailsOnRefusalSilenceAndBadArguments) {
    // A port that nobody listens on: refused at once, long before the timeout.
    int freePort;
    {
        FakeServer probe;
        freePort = probe.Port();
    }
    auto t0 = Clock::now();
    char cause[200] = "";
    EXPECT_EQ(nsio_open_ex("127.0.0.1", freePort, 3000, nullptr, cause, sizeof cause),
              NSIO_CONNECTFAIL);
    EXPECT_LT(ElapsedMs(t0), 2000);
    EXPECT_STREQ(cause, "connection refused: nothing listens on that port");

    struct Case {
        const char* name;
        FakeServer::Options options;
        int expected;
    } cases[] = {
        {"declines COM-PORT-OPTION", {.agreeComPort = false}, NSIO_CONNECTFAIL},
        {"closes at once", {.closeAtOnce = true}, NSIO_CONNECTFAIL},
        {"never negotiates", {.negotiate = false}, NSIO_TIMEOUT},
    };
    for (auto& c : cases) {
        FakeServer server(c.options);
        t0 = Clock::now();
        EXPECT_EQ(nsio_open("127.0.0.1", server.Port(), 400), c.expected) << c.name;
        const long ms = ElapsedMs(t0);
        EXPECT_LT(ms, 3000) << c.name;
        if (c.expected == NSIO_TIMEOUT) {
            EXPECT_GE(ms, 350) << c.name;
        }
    }

    FakeServer server;
    for (const char* address : {"", "localhost", "127.0.0", "127.0.0.1.", "127.0.0.256", "1.2.3.4x",
                                "127.0.0.0001", " 127.0.0.1"})
        EXPECT_EQ(nsio_open(address, server.Port(), 300), NSIO_BADPARM) << address;
    EXPECT_EQ(nsio_open(nullptr, server.Port(), 300), NSIO_BADPARM);
    EXPECT_EQ(nsio_open("127.0.0.1", 0, 300), NSIO_BADPARM);
    EXPECT_EQ(nsio_open("127.0.0.1", 65536, 300), NSIO_BADPARM);
}

TEST(IpSerialOpen, ConnectGivesUpWithinItsTimeout) {
    // A listener whose queue is full drops further connection requests, so the connect itself
    // hangs; the kernel may not do so everywhere, so check it first.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 0), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    std::vector<int> fillers;
    bool hangs = false;
    for (int i = 0; i < 4 && !hangs; ++i) {
        int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        fillers.push_back(c);
        ::connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        pollfd p{c, POLLOUT, 0};
        hangs = ::poll(&p, 1, 200) == 0;
    }
    if (hangs) {
        auto t0 = Clock::now();
        EXPECT_EQ(nsio_open("127.0.0.1", ntohs(addr.sin_port), 300), NSIO_TIMEOUT);
        EXPECT_GE(ElapsedMs(t0), 250);
        EXPECT_LT(ElapsedMs(t0), 3000);

        // The caller's wake-up ends the connect as well.
        int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        ASSERT_GE(wake, 0);
        std::thread raise([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            uint64_t one = 1;
            EXPECT_EQ(write(wake, &one, sizeof one), 8);
        });
        t0 = Clock::now();
        EXPECT_EQ(
            nsio_open_wake("127.0.0.1", ntohs(addr.sin_port), 10000, nullptr, wake, nullptr, 0),
            NSIO_ABORTED);
        EXPECT_LT(ElapsedMs(t0), 2000);
        raise.join();
        close(wake);

        // Signals arriving all the time (a timer, a child ending) must not stretch the wait.
        struct sigaction sa {
        }, old{};
        sa.sa_handler = [](int) {};
        sigemptyset(&sa.sa_mask);
        ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0); // no SA_RESTART: each one interrupts
        std::atomic<bool> done{false};
        const pthread_t self = pthread_self();
        std::thread pest([&] {
            for (int i = 0; i < 250 && !done; ++i) {
                pthread_kill(self, SIGUSR1);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        t0 = Clock::now();
        EXPECT_EQ(nsio_open("127.0.0.1", ntohs(addr.sin_port), 300), NSIO_TIMEOUT);
        EXPECT_LT(ElapsedMs(t0), 3000);
        done = true;
        pest.join();
        sigaction(SIGUSR1, &old, nullptr);
    }
    for (int c : fillers)
        ::close(c);
    ::close(fd);
    if (!hangs) GTEST_SKIP() << "this kernel completes connections to a full listen queue";
}

// A caller's wake-up ends an open wherever it waits: for the server's negotiation (a server that
// accepts and says nothing), in the TLS handshake, or already ready at the call. Nothing stays
// open, and the same server still serves a later open.
TEST(IpSerialOpen, TheCallersWakeUpEndsTheOpenWhereverItWaits) {
    nsio_tls_options tls{static_cast<int>(sizeof(nsio_tls_options)), "127.0.0.1", nullptr, nullptr,
                         nullptr};
    struct Case {
        const char* name;
        const nsio_tls_options* tls;
        int raiseAfterMs; // -1: ready from the start
    } cases[] = {
        {"negotiation", nullptr, 150},
        {"TLS handshake", &tls, 400},
        {"ready at the call", nullptr, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeServer server({.negotiate = false});
        int wake = eventfd(c.raiseAfterMs < 0 ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
        ASSERT_GE(wake, 0);
        std::thread raise([&] {
            if (c.raiseAfterMs < 0) return;
            std::this_thread::sleep_for(milliseconds(c.raiseAfterMs));
            uint64_t one = 1;
            EXPECT_EQ(write(wake, &one, sizeof one), 8);
        });
        char cause[128] = "";
        const auto t0 = Clock::now();
        EXPECT_EQ(
            nsio_open_wake("127.0.0.1", server.Port(), 10000, c.tls, wake, cause, sizeof cause),
            NSIO_ABORTED);
        const long ms = ElapsedMs(t0);
        raise.join();
        // Generous for a loaded machine, yet far below the open's own 10 s.
        EXPECT_LT(ms, c.raiseAfterMs + 2000);
        EXPECT_STREQ(cause, "the open was abandoned");
        uint64_t count = 0;
        EXPECT_EQ(read(wake, &count, sizeof count), 8) << "the wake-up is left to the caller";
        close(wake);
    }

    // A port opened so keeps the wake-up: a control call waiting for an answer that does not come
    // ends on it too. Here the server takes the port and confirms no setting.
    {
        FakeServer mute({.answerConfig = false, .answerControl = false});
        int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        ASSERT_GE(wake, 0);
        const int id = nsio_open_wake("127.0.0.1", mute.Port(), 3000, nullptr, wake, nullptr, 0);
        ASSERT_GE(id, 0);
        std::thread raise([&] {
            std::this_thread::sleep_for(milliseconds(150));
            uint64_t one = 1;
            EXPECT_EQ(write(wake, &one, sizeof one), 8);
        });
        const auto t0 = Clock::now();
        EXPECT_EQ(nsio_ioctl(id, NSIO_B9600, NSIO_BIT_8), NSIO_ABORTED);
        EXPECT_LT(ElapsedMs(t0), 1500) << "its own wait is 2 s";
        raise.join();
        EXPECT_EQ(nsio_flowctrl(id, NSIO_FLOW_NONE), NSIO_ABORTED) << "and stays so";
        EXPECT_EQ(nsio_close(id), 0);
        close(wake);
    }

    // The sentinel is no wake-up: the open runs to its own end.
    FakeServer silent({.negotiate = false});
    auto t0 = Clock::now();
    EXPECT_EQ(nsio_open_wake("127.0.0.1", silent.Port(), 300, nullptr, NSIO_NO_WAKE, nullptr, 0),
              NSIO_TIMEOUT);
    EXPECT_GE(ElapsedMs(t0), 250);
    FakeServer server;
    OpenPort after(server);
    EXPECT_GE(after.id, 0);
}

// --- configuration commands ---------------------------------------------------------------

Bytes Be32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

TEST(IpSerialIoctl, SendsSpeedAndFormatAndWaitsForConfirmation) {
    struct Row {
        int code, mode;
        uint32_t speed;
        uint8_t dataSize, parity, stopSize;
    } rows[] = {
        {NSIO_B50, 0x03, 50, 8, 1, 1},         {NSIO_B134, 0x00, 134, 5, 1, 1},
        {NSIO_B1800, 0x01, 1800, 6, 1, 1},     {NSIO_B7200, 0x0E, 7200, 7, 3, 2},
        {NSIO_B9600, 0x0A, 9600, 7, 3, 1},     {NSIO_B115200, 0x03, 115200, 8, 1, 1},
        {NSIO_B230400, 0x13, 230400, 8, 2, 1}, {NSIO_B460800, 0x1B, 460800, 8, 4, 1},
        {NSIO_B921600, 0x07, 921600, 8, 1, 2}, {NSIO_B2400, 0x18 | 0x04, 2400, 5, 4, 2},
    };
    FakeServer server;
    OpenPort port(server);
    ASSERT_GE(port.id, 0);
    for (const Row& r : rows) {
        const size_t before = server.Subs().size();
        EXPECT_EQ(nsio_ioctl(port.id, r.code, r.mode), 0) << r.speed;
        // Returned only after the answers, so the commands are there already.
        auto subs = server.Subs();
        ASSERT_EQ(subs.size(), before + 4) << r.speed;
        EXPECT_EQ(subs[before], Concat({{1}, Be32(r.speed)})) << r.speed;
        EXPECT_EQ(subs[before + 1], (Bytes{2, r.dataSize})) << r.speed;
        EXPECT_EQ(subs[before + 2], (Bytes{3, r.parity})) << r.speed;
        EXPECT_EQ(subs[before + 3], (Bytes{4, r.stopSize})) << r.speed;
    }
    // And on the wire, byte for byte, for one of them.
    const size_t before = server.Raw().size();
    ASSERT_EQ(nsio_ioctl(port.id, NSIO_B9600, NSIO_PARITY_EVEN | NSIO_BIT_7), 0);
    Bytes raw = server.Raw();
    EXPECT_EQ(Bytes(raw.begin() + static_cast<long>(before), raw.end()),
              (Bytes{IAC, SB,  44, 1,  0, 0, 0x25, 0x80, IAC, SE, IAC, SB, 44, 2,   7, IAC,
                     SE,  IAC, SB, 44, 3, 3, IAC,  SE,   IAC, SB, 44,  4,  1,  IAC, SE}));

    const size_t count = server.Subs().size();
    for (auto [code, mode] : {std::pair{-1, 3}, {20, 3}, {16, 0x20}, {16, -1}})
        EXPECT_EQ(nsio_ioctl(port.id, code, mode), NSIO_BADPARM) << code << " " << mode;
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(server.Subs().size(), count);
}

TEST(IpSerialIoctl, ResultFollowsTheServersAnswer) {
    struct Case {
        const char* name;
        FakeServer::Options options;
        int expected;
        long minMs;
    } cases[] = {
        {"late answer is waited for", {.replyDelayMs = 300}, 0, 250},
        {"other speed", {.overrides = {{101, Be32(9600)}}}, NSIO_REFUSED, 0},
        {"other parity", {.overrides = {{103, {2}}}}, NSIO_REFUSED, 0},
        {"truncated speed answer", {.overrides = {{101, {0, 1, 0xC2}}}}, NSIO_TIMEOUT, 1500},
        {"no answer", {.answerConfig = false}, NSIO_TIMEOUT, 1500},
    };
    for (auto& c : cases) {
        FakeServer server(c.options);
        OpenPort port(server);
        ASSERT_GE(port.id, 0) << c.name;
        auto t0 = Clock::now();
        EXPECT_EQ(nsio_ioctl(port.id, NSIO_B115200, NSIO_BIT_8), c.expected) << c.name;
        EXPECT_GE(ElapsedMs(t0), c.minMs) << c.name;
        EXPECT_LT(ElapsedMs(t0), 5000) << c.name;
    }
}

TEST(IpSerialControl, SendsSetControlAndReportsRefusal) {
    // A server may leave a line request unanswered, never a flow control change.
    struct Row {
        const char* name;
        int (*call)(int);
        uint8_t value;
        int unanswered;
    } rows[] = {
        {"hardware flow", [](int id) { return nsio_flowctrl(id, NSIO_FLOW_HARDWARE); }, 3,
         NSIO_TIMEOUT},
        {"no flow", [](int id) { return nsio_flowctrl(id, NSIO_FLOW_NONE); }, 1, NSIO_TIMEOUT},
        {"DTR on", [](int id) { return nsio_DTR(id, 1); }, 8, 0},
        {"DTR off", [](int id) { return nsio_DTR(id, 0); }, 9, 0},
        {"RTS on", [](int id) { return nsio_RTS(id, 1); }, 11, 0},
        {"RTS off", [](int id) { return nsio_RTS(id, 0); }, 12, 0},
    };
    FakeServer answering;
    FakeServer silent({.answerControl = false});
    for (FakeServer* server : {&answering, &silent}) {
        OpenPort port(*server);
        ASSERT_GE(port.id, 0);
        for (const Row& r : rows) {
            const size_t before = server->Subs().size();
            auto t0 = Clock::now();
            EXPECT_EQ(r.call(port.id), server == &silent ? r.unanswered : 0) << r.name;
            EXPECT_LT(ElapsedMs(t0), 3000) << r.name; // silence costs a bounded wait only
            ASSERT_TRUE(server->WaitFor([&] { return server->Subs().size() > before; }));
            EXPECT_EQ(server->Subs()[before], (Bytes{5, r.value})) << r.name;
        }
        for (int mode : {1, 2, 4, -1})
            EXPECT_EQ(nsio_flowctrl(port.id, mode), NSIO_BADPARM) << mode;
    }

    FakeServer refusing({.overrides = {{105, {9}}}}); // DTR stays off whatever we ask
    OpenPort port(refusing);
    ASSERT_GE(port.id, 0);
    EXPECT_EQ(nsio_DTR(port.id, 1), NSIO_REFUSED);
    EXPECT_EQ(nsio_DTR(port.id, 0), 0);
}

// --- data ---------------------------------------------------------------------------------

TEST(IpSerialData, DoublesIacBothWays) {
    FakeServer server;
    OpenPort port(server);
    ASSERT_GE(port.id, 0);

    const size_t before = server.Raw().size();
    const Bytes out = {0x00, 0xFF, 0x41, 0xFF, 0xFF, 0x0D, 0x0A, 0xF0};
    ASSERT_EQ(nsio_write(port.id, reinterpret_cast<const char*>(out.data()), 8), 8);
    const Bytes wire = {0x00, 0xFF, 0xFF, 0x41, 0xFF, 0xFF, 0xFF, 0xFF, 0x0D, 0x0A, 0xF0};
    ASSERT_TRUE(server.WaitFor([&] { return server.Raw().size() >= before + wire.size(); }));
    Bytes raw = server.Raw();
    EXPECT_EQ(Bytes(raw.begin() + static_cast<long>(before), raw.end()), wire);

    server.Send({0x41, IAC, IAC, 0x42, IAC, IAC, IAC, IAC, 0x0D, 0x00});
    EXPECT_EQ(ReadFor(port.id, 6), (Bytes{0x41, 0xFF, 0x42, 0xFF, 0xFF, 0x0D, 0x00}));
}

TEST(IpSerialData, LargeTransfersArriveIntactBothWays) {
    // More than the library buffers in either direction, a fifth of it 0xFF.
    const Bytes up = RandomBytes(300000, 1), down = RandomBytes(300000, 2);
    FakeServer server;
    OpenPort port(server);
    ASSERT_GE(port.id, 0);
    std::thread sender([&] { server.SendData(down); });
    ASSERT_TRUE(WriteAll(port.id, up));
    Bytes got = ReadFor(port.id, down.size(), 20000);
    sender.join();
    EXPECT_TRUE(got == down);
    ASSERT_TRUE(server.WaitFor([&] { return server.Data().size() >= up.size(); }, 20000));
    EXPECT_TRUE(server.Data() == up);
}

TEST(IpSerialData, WriteNeverBlocksWhenTheServerStopsReading) {
    FakeServer server({.stallAfterOpen = true});
    OpenPort port(server);
    ASSERT_GE(port.id, 0);
    // Fill the socket buffers on both ends and the library's queue; every call must come back
    // at once, taking fewer bytes and finally none.
    const Bytes chunk(65536, 0x55);
    int n = 1;
    long slowest = 0;
    auto t0 = Clock::now();
    while (n > 0 && ElapsedMs(t0) < 20000) {
        auto c0 = Clock::now();
        n = nsio_write(port.id, reinterpret_cast<const char*>(chunk.data()), 65536);
        slowest = std::max(slowest, ElapsedMs(c0));
    }
    EXPECT_EQ(n, 0);
    EXPECT_LT(slowest, 500);
    EXPECT_EQ(nsio_write(port.id, reinterpret_cast<const char*>(chunk.data()), 65536), 0);
}

// --- modem state --------------------------------------------------------------------------

TEST(IpSerialModem, NotificationsBecomeLineStatusBits) {
    struct Row {
        uint8_t state;
        int bits;
    } rows[] = {
        {0x10, NSIO_LS_CTS},
        {0x20, NSIO_LS_DSR},
        {0x40, NSIO_LS_RING},
        {0x80, NSIO_LS_DCD},
        {0xF0, 0x0F},
        {0x0F, 0}, // delta bits alone
        {0x31, NSIO_LS_CTS | NSIO_LS_DSR},
        {0x00, 0},
        {0xFF, 0x0F}, // value 255 arrives doubled
    };
    FakeServer server;
    OpenPort port(server);
    ASSERT_GE(port.id, 0);
    EXPECT_EQ(nsio_lstatus(port.id), 0);
    for (const Row& r : rows) {
        server.SendSub({107, r.state});
        EXPECT_TRUE(WaitLineStatus(port.id, r.bits)) << int(r.state);
    }
    // A notification cut into single bytes, each in its own segment.
    for (uint8_t b : Bytes{IAC, SB, 44, 107, 0x50, IAC, SE}) {
        server.Send({b});
        std::this_thread::sleep_for(milliseconds(2));
    }
    EXPECT_TRUE(WaitLineStatus(port.id, NSIO_LS_CTS | NSIO_LS_RING));

    // A caller asleep in the wait learns of a line change at once, without data.
    std::thread later([&] {
        std::this_thread::sleep_for(milliseconds(50));
        server.SendSub({107, 0x20});
    });
    const auto t0 = Clock::now();
    EXPECT_EQ(nsio_wait(port.id, 5000, -1), 0);
    EXPECT_LT(ElapsedMs(t0), 2500);
    later.join();
    EXPECT_EQ(nsio_lstatus(port.id), NSIO_LS_DSR);
}

// --- broken connections and hostile input -----------------------------------------------

TEST(IpSerialBroken, ServerClosingMidTransfer) {
    FakeServer server;
    OpenPort port(server);
    ASSERT_GE(port.id, 0);
    const Bytes tail = RandomBytes(1000, 3);
    server.SendData(tail);
    server.CloseClient();
    int last = 0;
    // What came before the close is still delivered, then the failure.
    EXPECT_EQ(ReadFor(port.id, tail.size() + 1, 5000, &last), tail);
    EXPECT_LT(last, 0);
    EXPECT_LT(nsio_read(port.id, reinterpret_cast<char*>(const_cast<uint8_t*>(tail.data())), 10),
              0);
    EXPECT_LT(nsio_lstatus(port.id), 0);
    char b = 'x';
    EXPECT_LT(nsio_write(port.id, &b, 1), 0);
    auto t0 = Clock::now();
    EXPECT_EQ(nsio_ioctl(port.id, NSIO_B9600, NSIO_BIT_8), NSIO_CLOSED);
    EXPECT_EQ(nsio_flowctrl(port.id, NSIO_FLOW_NONE), NSIO_CLOSED);
    EXPECT_EQ(nsio_DTR(port.id, 1), NSIO_CLOSED);
    EXPECT_LT(ElapsedMs(t0), 500);
    EXPECT_EQ(nsio_close(port.id), 0);
    port.id = -1;
}

// The optional wait: ends on an arrival, on the caller's wake-up, on a lost connection (after the
// last bytes were read), else after its time-out.
TEST(IpSerialWait, EndsOnDataWakeUpLossOrTimeout) {
    FakeServer server;
    OpenPort port(server);
    ASSERT_GE(port.id, 0);
    int wake = eventfd(0, EFD_NONBLOCK);
    ASSERT_GE(wake, 0);

    auto t0 = Clock::now();
    EXPECT_EQ(nsio_wait(port.id, 50, wake), 0);
    EXPECT_GE(ElapsedMs(t0), 40) << "nothing came: the whole time-out";

    std::thread later([&] {
        std::this_thread::sleep_for(milliseconds(30));
        server.SendData({0x41});
    });
    t0 = Clock::now();
    EXPECT_EQ(nsio_wait(port.id, 5000, wake), 1);
    EXPECT_LT(ElapsedMs(t0), 2500);
    later.join();
    EXPECT_EQ(nsio_wait(port.id, 5000, NSIO_NO_WAKE), 1) << "still there until read";
    EXPECT_EQ(ReadFor(port.id, 1), Bytes({0x41}));

    uint64_t one = 1;
    ASSERT_EQ(write(wake, &one, sizeof one), 8);
    t0 = Clock::now();
    EXPECT_EQ(nsio_wait(port.id, 5000, wake), 0);
    EXPECT_LT(ElapsedMs(t0), 2500) << "the caller's wake-up ends it";

    server.SendData({0x42});
    server.CloseClient();
    EXPECT_EQ(nsio_wait(port.id, 5000, -1), 1) << "bytes from before the loss come first";
    EXPECT_EQ(ReadFor(port.id, 1), Bytes({0x42}));
    t0 = Clock::now();
    EXPECT_EQ(nsio_wait(port.id, 5000, -1), NSIO_CLOSED);
    EXPECT_LT(ElapsedMs(t0), 2500);
    EXPECT_EQ(nsio_wait(-7, 10, -1), NSIO_BADPORT);
    close(wake);
}

// Descriptor 0 is as good a wake-up as any other: a process started with its standard input
// closed gets 0 for the first descriptor it makes. Only NSIO_NO_WAKE means none.
TEST(IpSerialWait, DescriptorZeroIsAWakeUp) {
    FakeServer server;
    OpenPort port(server);
    ASSERT_GE(port.id, 0);
    const int savedStdin = dup(0);
    int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ASSERT_GE(wake, 0);
    ASSERT_EQ(dup2(wake, 0), 0);
    close(wake);
    uint64_t one = 1;
    ASSERT_EQ(write(0, &one, sizeof one), 8);

    auto t0 = Clock::now();
    EXPECT_EQ(nsio_wait(port.id, 5000, 0), 0);
    EXPECT_LT(ElapsedMs(t0), 2500) << "descriptor 0, ready, ends the wait";
    t0 = Clock::now();
    EXPECT_EQ(nsio_wait(port.id, 100, NSIO_NO_WAKE), 0);
    EXPECT_GE(ElapsedMs(t0), 90) << "the sentinel is no wake-up";

    if (savedStdin >= 0) {
        dup2(savedStdin, 0);
        close(savedStdin);
    } else {
        close(0);
    }
}

TEST(IpSerialBroken, CloseWhileWaitingAndWhileWriting) {
    {
        FakeServer server({.answerConfig = false});
        OpenPort port(server);
        ASSERT_GE(port.id, 0);
        std::thread closer([&] {
            std::this_thread::sleep_for(milliseconds(200));
            server.CloseClient();
        });
        auto t0 = Clock::now();
        EXPECT_EQ(nsio_ioctl(port.id, NSIO_B9600, NSIO_BIT_8), NSIO_CLOSED);
        EXPECT_LT(ElapsedMs(t0), 1500); // not the whole answer timeout
        closer.join();
    }
    {
        FakeServer server;
        OpenPort port(server);
        ASSERT_GE(port.id, 0);
        server.CloseClient();
        const Bytes chunk(4096, 0x55);
        int n = 0;
        auto t0 = Clock::now();
        while (n >= 0 && ElapsedMs(t0) < 5000)
            n = nsio_write(port.id, reinterpret_cast<const char*>(chunk.data()), 4096);
        EXPECT_LT(n, 0);
    }
}

TEST(IpSerialBroken, ParserSurvivesGarbageAndTruncatedSubnegotiations) {
    struct Case {
        const char* name;
        Bytes raw;
    } cases[] = {
        {"truncated speed answer", {IAC, SB, 44, 101, 0, 0, IAC, SE}},
        {"empty subnegotiation", {IAC, SB, IAC, SE}},
        {"option only", {IAC, SB, 44, IAC, SE}},
        {"stray SE", {IAC, SE}},
        {"unknown command", {IAC, 0x80}},
        {"NOP, data mark, go ahead", {IAC, 241, IAC, 242, IAC, 249}},
        {"other option", {IAC, SB, 99, 1, 2, 3, IAC, SE}},
        {"client code from server", {IAC, SB, 44, 7, 0xF0, IAC, SE}},
        {"modem state too long", {IAC, SB, 44, 107, 0x10, 0x20, IAC, SE}},
        {"oversized", Concat({{IAC, SB, 44, 107}, Bytes(5000, 0x10), {IAC, SE}})},
        {"cut short by a command", {IAC, SB, 44, 107, 0x10, IAC, WILL, 1}},
    };
    FakeServer server;
    OpenPort port(server);
    ASSERT_GE(port.id, 0);
    const Bytes marker = {'O', 'K', 0xFF, '!'};
    for (const Case& c : cases) {
        server.Send(c.raw);
        server.SendData(marker);
        EXPECT_EQ(ReadFor(port.id, marker.size()), marker) << c.name;
        EXPECT_EQ(nsio_lstatus(port.id), 0) << c.name; // no modem state from any of these
    }
    // The command that cut the subnegotiation short was still heard.
    EXPECT_TRUE(server.WaitFor([&] { return Contains(server.Negotiations(), DONT, 1); }));

    // Random bytes, then a sequence that ends any state: the marker must come through last.
    std::mt19937 rng(7);
    for (int round = 0; round < 30; ++round) {
        Bytes junk = RandomBytes(2000 + rng() % 2000, 100 + round, round % 2 == 0);
        server.Send(Concat({junk, {0x00, IAC, SE}}));
        server.SendData(marker);
        Bytes got;
        const auto until = Clock::now() + milliseconds(5000);
        while (Clock::now() < until && (got.size() < marker.size() ||
                                        !std::equal(marker.begin(), marker.end(),
                                                    got.end() - static_cast<long>(marker.size()))))
            got = Concat({got, ReadFor(port.id, 1, 50)});
        ASSERT_GE(got.size(), marker.size()) << round;
        EXPECT_TRUE(std::equal(marker.begin(), marker.end(), got.end() - 4)) << round;
        EXPECT_GE(nsio_lstatus(port.id), 0);
    }
    EXPECT_EQ(nsio_ioctl(port.id, NSIO_B9600, NSIO_BIT_8), 0); // still in step with the server
}

// --- handles, threads, exports ---------------------------------------------------------

TEST(IpSerialHandles, UnknownPortsAndBadArguments) {
    char buf[4];
    for (int id : {-1, 5, 63, 64, 1000}) {
        EXPECT_EQ(nsio_read(id, buf, 4), NSIO_BADPORT) << id;
        EXPECT_EQ(nsio_write(id, buf, 4), NSIO_BADPORT) << id;
        EXPECT_EQ(nsio_lstatus(id), NSIO_BADPORT) << id;
        EXPECT_EQ(nsio_ioctl(id, 16, 3), NSIO_BADPORT) << id;
        EXPECT_EQ(nsio_flowctrl(id, 0), NSIO_BADPORT) << id;
        EXPECT_EQ(nsio_DTR(id, 1), NSIO_BADPORT) << id;
        EXPECT_EQ(nsio_RTS(id, 1), NSIO_BADPORT) << id;
        EXPECT_EQ(nsio_close(id), NSIO_BADPORT) << id;
    }
    FakeServer server;
    int id = Open(server);
    ASSERT_GE(id, 0);
    EXPECT_EQ(nsio_read(id, buf, -1), NSIO_BADPARM);
    EXPECT_EQ(nsio_read(id, nullptr, 4), NSIO_BADPARM);
    EXPECT_EQ(nsio_write(id, buf, -1), NSIO_BADPARM);
    EXPECT_EQ(nsio_write(id, nullptr, 4), NSIO_BADPARM);
    EXPECT_EQ(nsio_read(id, nullptr, 0), 0);
    EXPECT_EQ(nsio_close(id), 0);
    EXPECT_EQ(nsio_close(id), NSIO_BADPORT);
    EXPECT_EQ(nsio_lstatus(id), NSIO_BADPORT);
    EXPECT_TRUE(server.WaitFor([&] { return server.ClientGone(); }));
}

TEST(IpSerialHandles, CloseDeliversWhatWasWritten) {
    const Bytes data = RandomBytes(12000, 9);
    FakeServer server;
    int id = Open(server);
    ASSERT_GE(id, 0);
    ASSERT_EQ(nsio_write(id, reinterpret_cast<const char*>(data.data()), 12000), 12000);
    EXPECT_EQ(nsio_close(id), 0);
    ASSERT_TRUE(server.WaitFor([&] { return server.ClientGone(); }));
    EXPECT_TRUE(server.Data() == data);
}

TEST(IpSerialThreads, DataThreadAndControlThreadOnOnePort) {
    const Bytes data = RandomBytes(200000, 11);
    FakeServer server({.echoData = true});
    OpenPort port(server);
    ASSERT_GE(port.id, 0);
    std::atomic<bool> done{false};
    int failures = 0;
    std::thread control([&] {
        while (!done) {
            failures += nsio_ioctl(port.id, NSIO_B921600, NSIO_BIT_8) != 0;
            failures += nsio_flowctrl(port.id, NSIO_FLOW_NONE) != 0;
            failures += nsio_RTS(port.id, 1) != 0;
            failures += nsio_DTR(port.id, 1) != 0;
        }
    });
    // The service thread's pattern: status, read into room, write what is queued.
    Bytes got;
    size_t sent = 0;
    char buf[4096];
    const auto until = Clock::now() + milliseconds(30000);
    while (got.size() < data.size() && Clock::now() < until) {
        ASSERT_GE(nsio_lstatus(port.id), 0);
        int r = nsio_read(port.id, buf, sizeof buf);
        ASSERT_GE(r, 0);
        got.insert(got.end(), buf, buf + r);
        if (sent < data.size()) {
            int w = nsio_write(port.id, reinterpret_cast<const char*>(data.data() + sent),
                               static_cast<int>(std::min<size_t>(2048, data.size() - sent)));
            ASSERT_GE(w, 0);
            sent += static_cast<size_t>(w);
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    done = true;
    control.join();
    EXPECT_EQ(failures, 0);
    EXPECT_TRUE(got == data);
}

TEST(IpSerialExports, ElevenEntryPointsByPlainName) {
    void* lib = dlopen(IPSERIAL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    for (const char* name : {"nsio_init", "nsio_end", "nsio_open", "nsio_close", "nsio_ioctl",
                             "nsio_flowctrl", "nsio_read", "nsio_write", "nsio_DTR", "nsio_RTS",
                             "nsio_lstatus", "nsio_wait", "nsio_open_ex", "nsio_open_wake"})
        EXPECT_NE(dlsym(lib, name), nullptr) << name;
    auto init = reinterpret_cast<int (*)()>(dlsym(lib, "nsio_init"));
    auto end = reinterpret_cast<int (*)()>(dlsym(lib, "nsio_end"));
    ASSERT_TRUE(init && end);
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(end(), 0);
    dlclose(lib);
}

} // namespace

// --- the I/O thread sleeps ------------------------------------------------------------------

namespace {
std::vector<pid_t> ThreadIds() {
    std::vector<pid_t> ids;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task"))
        ids.push_back(static_cast<pid_t>(std::stol(e.path().filename().string())));
    return ids;
}

long VoluntarySwitches(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
    return -1;
}
} // namespace

// Idle, the port's own thread sleeps on its socket; a full receive buffer stops it reading until
// the caller's read makes room, which wakes it at once rather than after its guard.
TEST(IpSerialIoThread, SleepsWhenIdleAndResumesWhenRoomIsMade) {
    FakeServer server;
    const std::vector<pid_t> before = ThreadIds();
    OpenPort port(server);
    ASSERT_GE(port.id, 0);
    pid_t io = 0;
    for (pid_t t : ThreadIds())
        if (std::find(before.begin(), before.end(), t) == before.end()) io = t;
    ASSERT_NE(io, 0);
    std::this_thread::sleep_for(milliseconds(50));
    const long idle0 = VoluntarySwitches(io);
    std::this_thread::sleep_for(milliseconds(600));
    EXPECT_LE(VoluntarySwitches(io) - idle0, 5) << "a 10 ms poll would wake it 60 times";

    // More than the library buffers: it stops reading with its buffer full.
    const Bytes down = RandomBytes(65536 + 20000, 4, false);
    std::thread sender([&] { server.SendData(down); });
    Bytes got;
    std::this_thread::sleep_for(milliseconds(300));
    got = ReadFor(port.id, 65536);
    ASSERT_EQ(got.size(), 65536u);
    const auto t0 = Clock::now();
    EXPECT_EQ(nsio_wait(port.id, 5000, -1), 1);
    EXPECT_LT(ElapsedMs(t0), 500) << "woken by the read, not by its guard";
    Bytes rest = ReadFor(port.id, down.size() - got.size(), 10000);
    got.insert(got.end(), rest.begin(), rest.end());
    sender.join();
    EXPECT_TRUE(got == down);
}
