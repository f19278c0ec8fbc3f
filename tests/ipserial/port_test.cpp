// The library's port over one end of a socket pair, the test playing the server on the other:
// what a server does at exact moments, without a listening socket or timing.
#include "Port.h"
#include "PortTable.h"
#include "Socket.h"
#include "Transport.h"
#include "ipserial.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace ipserial;
using Clock = std::chrono::steady_clock;

constexpr uint8_t IAC = 255, DO = 253, COMPORT = 44;

bool SendAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// A server that agrees to COM-PORT-OPTION at once, and the port opened over the other end.
struct PairedPort {
    int server = -1;
    int id = -1;
    PairedPort() {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
        server = pair[1];
        auto socket = std::make_unique<TcpSocket>();
        if (!socket->Adopt(pair[0]) || !SendAll(server, {IAC, DO, COMPORT})) {
            close(pair[0]);
            return;
        }
        id = OpenPortOver(PlainTransportOver(std::move(socket)), Ms(3000), PortTimings{});
    }
    ~PairedPort() {
        if (id >= 0) nsio_close(id);
        if (server >= 0) close(server);
    }
};

// The server sends more than the port buffers and leaves; the caller's next write finds it gone.
// The bytes that had reached this end before are still handed out, then NSIO_CLOSED.
TEST(IpSerialPort, WriteAfterTheServerLeftKeepsWhatHadArrived) {
    PairedPort port;
    ASSERT_GE(port.id, 0);
    std::vector<uint8_t> down(100000);
    for (size_t i = 0; i < down.size(); ++i)
        down[i] = static_cast<uint8_t>(i % 251); // no IAC: the bytes go as they are
    ASSERT_TRUE(SendAll(port.server, down));
    close(port.server);
    port.server = -1;
    ASSERT_EQ(nsio_wait(port.id, 3000, -1), 1);

    const char x = 'x';
    EXPECT_EQ(nsio_write(port.id, &x, 1), NSIO_CLOSED);
    EXPECT_EQ(nsio_DTR(port.id, 1), NSIO_CLOSED);

    std::vector<uint8_t> got;
    std::vector<char> buf(8192);
    int r = 0;
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < until) {
        r = nsio_read(port.id, buf.data(), static_cast<int>(buf.size()));
        if (r < 0) break;
        if (r == 0) nsio_wait(port.id, 100, -1);
        got.insert(got.end(), buf.begin(), buf.begin() + r);
    }
    EXPECT_EQ(r, NSIO_CLOSED);
    EXPECT_EQ(got.size(), down.size());
    EXPECT_TRUE(got == down);
    EXPECT_EQ(nsio_lstatus(port.id), NSIO_CLOSED);
}

// Once the server has left, a read of no bytes says nothing about the bytes still unread: it gives
// 0 while they wait, and NSIO_CLOSED only after the last of them has been handed out.
TEST(IpSerialPort, ReadOfNoBytesBeforeTheLastBytes) {
    PairedPort port;
    ASSERT_GE(port.id, 0);
    const std::vector<uint8_t> last = {'O', 'K', '\r', '\n'};
    ASSERT_TRUE(SendAll(port.server, last));
    close(port.server);
    port.server = -1;
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (nsio_lstatus(port.id) >= 0 && Clock::now() < until)
        nsio_wait(port.id, 10, -1);
    ASSERT_EQ(nsio_lstatus(port.id), NSIO_CLOSED); // the end has been read

    char buf[16];
    EXPECT_EQ(nsio_read(port.id, buf, 0), 0);
    EXPECT_EQ(nsio_read(port.id, nullptr, 0), 0);
    ASSERT_EQ(nsio_read(port.id, buf, sizeof buf), 4);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), last);
    EXPECT_EQ(nsio_read(port.id, buf, 0), NSIO_CLOSED);
    EXPECT_EQ(nsio_read(port.id, buf, sizeof buf), NSIO_CLOSED);
}

} // namespace

// Each reason a connect fails is told apart, so that the operator knows whether to look at the
// server's configuration, the network or a firewall.
TEST(IpSerialConnect, EachConnectErrorHasItsOwnResult) {
    struct Case {
        int error;
        ConnectResult result;
    } cases[] = {
        {ECONNREFUSED, ConnectResult::Refused},     {ENETUNREACH, ConnectResult::Unreachable},
        {EHOSTUNREACH, ConnectResult::Unreachable}, {ENETDOWN, ConnectResult::Unreachable},
        {ETIMEDOUT, ConnectResult::TimedOut},       {ECONNRESET, ConnectResult::Reset},
        {ECONNABORTED, ConnectResult::Reset},       {EMFILE, ConnectResult::Failed},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ConnectResultOf(c.error), c.result) << c.error;
}
