// The network serial library against the real ser2net, started on 127.0.0.1 in front of a
// pseudo-terminal that the test holds. Skipped when ser2net is not installed.
#include "Ser2netServer.h"
#include "ipserial.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

Bytes RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b)
        x = static_cast<uint8_t>(rng() % 5 == 0 ? 0xFF : rng());
    return b;
}

class Ser2net : public ::testing::Test {
protected:
    void SetUp() override {
        if (!zem::test::FindSer2net()) GTEST_SKIP() << "ser2net is not installed";

        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        const std::string slaveName = ptsname(master_);
        // Held open so that the terminal keeps its settings between ser2net's opens.
        slave_ = open(slaveName.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave_, 0);
        termios t{};
        tcgetattr(slave_, &t);
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);

        char dirTemplate[] = "/tmp/ipserial-ser2net-XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        dir_ = dirTemplate;
        ASSERT_TRUE(server_.Start(dir_, slaveName)) << "ser2net did not start:\n" << server_.Log();
        port_ = server_.Port();
        // Ready once it answers as an RFC 2217 server.
        const auto until = Clock::now() + milliseconds(10000);
        while (id_ < 0 && Clock::now() < until) {
            id_ = nsio_open("127.0.0.1", port_, 500);
            if (id_ < 0) std::this_thread::sleep_for(milliseconds(50));
        }
        ASSERT_GE(id_, 0) << "ser2net did not come up:\n" << Log();
    }

    void TearDown() override {
        if (id_ >= 0) nsio_close(id_);
        server_.Stop();
        if (slave_ >= 0) close(slave_);
        if (master_ >= 0) close(master_);
        if (!dir_.empty()) {
            unlink((dir_ + "/ser2net.yaml").c_str());
            unlink((dir_ + "/ser2net.log").c_str());
            rmdir(dir_.c_str());
        }
    }

    std::string Log() { return server_.Log(); }

    termios Termios() {
        termios t{};
        tcgetattr(slave_, &t);
        return t;
    }

    int master_ = -1, slave_ = -1, id_ = -1, port_ = 0;
    zem::test::Ser2netServer server_;
    std::string dir_;
};

TEST_F(Ser2net, IoctlChangesTheTerminalsSpeed) {
    // A pseudo-terminal keeps eight bits without parity whatever it is told, so of the format
    // only the stop bits show; ser2net's confirmation of the rest is what nsio_ioctl checks.
    struct Row {
        int code, mode;
        speed_t speed;
        bool twoStops;
    } rows[] = {
        {NSIO_B921600, NSIO_BIT_8, B921600, false},
        {NSIO_B9600, NSIO_BIT_7 | NSIO_PARITY_EVEN, B9600, false},
        {NSIO_B57600, NSIO_BIT_8 | NSIO_PARITY_ODD | NSIO_STOP_2, B57600, true},
        {NSIO_B460800, NSIO_BIT_8 | NSIO_PARITY_MARK, B460800, false},
        {NSIO_B115200, NSIO_BIT_8, B115200, false},
    };
    for (const Row& r : rows) {
        // ser2net answers after the change, so the terminal already shows it on return.
        ASSERT_EQ(nsio_ioctl(id_, r.code, r.mode), 0) << r.code << "\n" << Log();
        termios t = Termios();
        EXPECT_EQ(cfgetospeed(&t), r.speed) << r.code;
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, r.twoStops) << r.code;
    }
}

TEST_F(Ser2net, BytesBothWays) {
    ASSERT_EQ(nsio_ioctl(id_, NSIO_B921600, NSIO_BIT_8), 0);
    const Bytes up = RandomBytes(65536, 21), down = RandomBytes(65536, 22);

    std::thread terminal([&] {
        // The far end of the line: send `down` while collecting what arrives.
        Bytes got;
        size_t sent = 0;
        const auto until = Clock::now() + milliseconds(20000);
        while ((got.size() < up.size() || sent < down.size()) && Clock::now() < until) {
            pollfd p{master_, static_cast<short>(POLLIN | (sent < down.size() ? POLLOUT : 0)), 0};
            if (poll(&p, 1, 10) <= 0) continue;
            if (p.revents & POLLIN) {
                uint8_t buf[4096];
                ssize_t n = read(master_, buf, sizeof buf);
                if (n > 0) got.insert(got.end(), buf, buf + n);
            }
            if ((p.revents & POLLOUT) && sent < down.size()) {
                ssize_t n =
                    write(master_, down.data() + sent, std::min<size_t>(1024, down.size() - sent));
                if (n > 0) sent += static_cast<size_t>(n);
            }
        }
        EXPECT_EQ(sent, down.size());
        EXPECT_TRUE(got == up) << got.size() << " of " << up.size();
    });

    Bytes got;
    size_t sent = 0;
    char buf[4096];
    const auto until = Clock::now() + milliseconds(20000);
    while ((got.size() < down.size() || sent < up.size()) && Clock::now() < until) {
        int r = nsio_read(id_, buf, sizeof buf);
        ASSERT_GE(r, 0);
        got.insert(got.end(), buf, buf + r);
        if (sent < up.size()) {
            int w = nsio_write(id_, reinterpret_cast<const char*>(up.data() + sent),
                               static_cast<int>(std::min<size_t>(4096, up.size() - sent)));
            ASSERT_GE(w, 0);
            sent += static_cast<size_t>(w);
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    terminal.join();
    EXPECT_TRUE(got == down) << got.size() << " of " << down.size();
}

TEST_F(Ser2net, FlowAndLinesAnswerPromptly) {
    // A pseudo-terminal has no modem lines: ser2net leaves those commands unanswered, which
    // must cost only a short wait and not count as failure.
    for (int on : {1, 0}) {
        auto t0 = Clock::now();
        EXPECT_EQ(nsio_RTS(id_, on), 0);
        EXPECT_EQ(nsio_DTR(id_, on), 0);
        EXPECT_LT(std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count(), 2000);
    }
    ASSERT_EQ(nsio_flowctrl(id_, NSIO_FLOW_HARDWARE), 0);
    EXPECT_NE(Termios().c_cflag & CRTSCTS, 0u);
    ASSERT_EQ(nsio_flowctrl(id_, NSIO_FLOW_NONE), 0);
    EXPECT_EQ(Termios().c_cflag & CRTSCTS, 0u);
    EXPECT_GE(nsio_lstatus(id_), 0);
}

} // namespace
