#include "Transport.h"

#include "ipserial.h"

#include <algorithm>

namespace ipserial {

namespace {

class PlainTransport : public Transport {
public:
    explicit PlainTransport(std::unique_ptr<TcpSocket> socket) : socket_(std::move(socket)) {}
    IoResult Send(const uint8_t* data, size_t size) override { return socket_->Send(data, size); }
    IoResult Receive(uint8_t* data, size_t size) override { return socket_->Receive(data, size); }
    int Wait(bool read, bool write, int timeoutMs, Notifier* wake) override {
        return socket_->Wait(read, write, timeoutMs, wake);
    }
    void ShutdownSend() override { socket_->ShutdownSend(); }
    void Close() override { socket_->Close(); }
    bool IsOpen() const override { return socket_->IsOpen(); }
    int EarlyEnd(std::string* cause) const override {
        // The way a TLS server treats a client that does not speak TLS.
        if (cause) *cause = "the server closed the connection without a word (a tls:// port?)";
        return NSIO_CONNECTFAIL;
    }

private:
    std::unique_ptr<TcpSocket> socket_;
};

// A TLS server waits for the client's greeting; an RFC 2217 server offers its options at once.
// Waiting a moment for that keeps our greeting off a plain port's line: a few round trips, the
// connect's time standing in for one, and never much of the open's time.
std::chrono::milliseconds ProbeTime(std::chrono::milliseconds connectTime, Deadline deadline) {
    using std::chrono::milliseconds;
    const milliseconds wanted = std::max(milliseconds(150), 4 * connectTime);
    return std::min(wanted, milliseconds(RemainingMs(deadline) / 4));
}

} // namespace

std::unique_ptr<Transport> PlainTransportOver(std::unique_ptr<TcpSocket> socket) {
    return std::make_unique<PlainTransport>(std::move(socket));
}

int RemainingMs(Deadline deadline) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

Opened AbortedOpen() {
    Opened o;
    o.failure = NSIO_ABORTED;
    o.cause = "the open was abandoned";
    return o;
}

Opened OpenTransport(uint32_t ipv4, uint16_t port, const TlsSettings* tls, Deadline deadline,
                     intptr_t abort) {
    Opened o;
    if (WakeReady(abort)) return AbortedOpen();
    std::unique_ptr<TlsFiles> files;
    if (tls && !(files = LoadTlsFiles(*tls, &o))) return o;
    auto socket = std::make_unique<TcpSocket>();
    const auto started = std::chrono::steady_clock::now();
    switch (socket->Connect(ipv4, port, RemainingMs(deadline), abort)) {
    case ConnectResult::Connected:
        break;
    case ConnectResult::Aborted:
        return AbortedOpen();
    case ConnectResult::TimedOut:
        o.failure = NSIO_TIMEOUT;
        o.cause = "the server did not accept the connection in time";
        return o;
    case ConnectResult::Refused:
        o.failure = NSIO_CONNECTFAIL;
        o.cause = "connection refused: nothing listens on that port";
        return o;
    case ConnectResult::Unreachable:
        o.failure = NSIO_CONNECTFAIL;
        o.cause = "no route to the server: the network or the host is unreachable";
        return o;
    case ConnectResult::Reset:
        o.failure = NSIO_CONNECTFAIL;
        o.cause = "the server reset the connection";
        return o;
    case ConnectResult::Failed:
        o.failure = NSIO_CONNECTFAIL;
        o.cause = "the connection could not be made";
        return o;
    }
    if (!tls) {
        o.transport = PlainTransportOver(std::move(socket));
        return o;
    }
    const auto connectTime = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    const int probeMs = static_cast<int>(ProbeTime(connectTime, deadline).count());
    const int probed = probeMs > 0 ? socket->WaitOrAbort(true, false, probeMs, abort) : 0;
    if (probed == kAborted) return AbortedOpen();
    if (probed > 0) {
        uint8_t first[64];
        IoResult r = socket->Receive(first, sizeof first);
        if (r.status == IoStatus::Ok && r.count > 0) {
            o.failure = NSIO_TLS_NOTTLS;
            o.cause = "the server did not answer TLS: it spoke first, as a plain port does";
            return o;
        }
        if (r.status != IoStatus::WouldBlock) {
            o.failure = NSIO_CONNECTFAIL;
            o.cause = "the server closed the connection";
            return o;
        }
    }
    return StartTls(std::move(socket), *tls, *files, deadline, abort);
}

} // namespace ipserial
