#include "Transport.h"

#include "ipserial.h"

namespace ipserial {

namespace {

class PlainTransport : public Transport {
public:
    explicit PlainTransport(std::unique_ptr<TcpSocket> socket) : socket_(std::move(socket)) {}
    IoResult Send(const uint8_t* data, size_t size) override { return socket_->Send(data, size); }
    IoResult Receive(uint8_t* data, size_t size) override { return socket_->Receive(data, size); }
    int Wait(bool read, bool write, int timeoutMs) override {
        return socket_->Wait(read, write, timeoutMs);
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

} // namespace

int RemainingMs(Deadline deadline) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

Opened OpenTransport(uint32_t ipv4, uint16_t port, const TlsSettings* tls, Deadline deadline) {
    Opened o;
    auto socket = std::make_unique<TcpSocket>();
    const auto started = std::chrono::steady_clock::now();
    switch (socket->Connect(ipv4, port, RemainingMs(deadline))) {
    case ConnectResult::Connected:
        break;
    case ConnectResult::TimedOut:
        o.failure = NSIO_TIMEOUT;
        o.cause = "the server did not accept the connection in time";
        return o;
    case ConnectResult::Refused:
        o.failure = NSIO_CONNECTFAIL;
        o.cause = "connection refused or the server unreachable";
        return o;
    case ConnectResult::Failed:
        o.failure = NSIO_CONNECTFAIL;
        o.cause = "the connection could not be made";
        return o;
    }
    if (!tls) {
        o.transport = std::make_unique<PlainTransport>(std::move(socket));
        return o;
    }
    const auto connectTime = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    return StartTls(std::move(socket), *tls, deadline, connectTime);
}

} // namespace ipserial
