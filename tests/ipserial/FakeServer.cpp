#include "FakeServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr uint8_t IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253, DONT = 254;
constexpr uint8_t COMPORT = 44;

// said_ keys: the server's own side (WILL/WONT) and the client's side (DO/DONT).
int OwnKey(uint8_t option) {
    return 0x100 | option;
}
int PeerKey(uint8_t option) {
    return option;
}

} // namespace

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

FakeServer::FakeServer(Options options) : options_(std::move(options)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 4) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("FakeServer: cannot listen on 127.0.0.1");
    port_ = ntohs(addr.sin_port);
    const Bytes& g = options_.greeting;
    for (size_t i = 0; i + 2 < g.size(); ++i) {
        if (g[i] != IAC) continue;
        if (g[i + 1] == WILL || g[i + 1] == WONT) said_[OwnKey(g[i + 2])] = true;
        if (g[i + 1] == DO || g[i + 1] == DONT) said_[PeerKey(g[i + 2])] = true;
    }
    thread_ = std::thread(&FakeServer::Run, this);
}

FakeServer::~FakeServer() {
    stop_ = true;
    thread_.join();
    if (clientFd_ >= 0) ::close(clientFd_);
    ::close(listenFd_);
}

void FakeServer::Run() {
    while (!stop_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0) break;
    }
    if (stop_) return;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    if (options_.closeAtOnce) {
        ::close(fd);
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = gone_ = true;
        return;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        clientFd_ = fd;
        connected_ = true;
    }
    changed_.notify_all();
    if (options_.negotiate && !options_.greeting.empty()) Send(options_.greeting);

    uint8_t buffer[8192];
    while (!stop_) {
        bool stalled;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stalled = options_.stallAfterOpen && opened_;
        }
        if (stalled) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            ::shutdown(fd, SHUT_WR); // as a server does when its client leaves
            break;
        }
        Handle(buffer, static_cast<size_t>(n));
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gone_ = true;
    }
    changed_.notify_all();
}

void FakeServer::Handle(const uint8_t* p, size_t n) {
    Bytes replies;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        raw_.insert(raw_.end(), p, p + n);
        for (size_t i = 0; i < n; ++i) {
            const uint8_t b = p[i];
            switch (state_) {
            case State::Data:
                if (b == IAC) {
                    state_ = State::Iac;
                } else {
                    data_.push_back(b);
                    if (options_.echoData) replies.push_back(b);
                }
                break;
            case State::Iac:
                state_ = State::Data;
                if (b == IAC) {
                    data_.push_back(b);
                    if (options_.echoData) replies.insert(replies.end(), {IAC, IAC});
                } else if (b >= WILL) {
                    verb_ = b;
                    state_ = State::Option;
                } else if (b == SB) {
                    sub_.clear();
                    state_ = State::Sub;
                }
                break;
            case State::Option: {
                state_ = State::Data;
                negotiations_.emplace_back(verb_, b);
                if (!options_.negotiate) break;
                const bool known = b == 0 || b == 3;
                if (options_.flipOptions && known) {
                    if (verb_ == WILL) replies.insert(replies.end(), {IAC, DONT, b, IAC, DO, b});
                    if (verb_ == DO) replies.insert(replies.end(), {IAC, WONT, b, IAC, WILL, b});
                    break;
                }
                if (verb_ == WILL && !said_[PeerKey(b)]) {
                    said_[PeerKey(b)] = true;
                    const bool yes = known || (b == COMPORT && options_.agreeComPort);
                    replies.insert(replies.end(), {IAC, static_cast<uint8_t>(yes ? DO : DONT), b});
                } else if (verb_ == DO && !said_[OwnKey(b)]) {
                    said_[OwnKey(b)] = true;
                    replies.insert(replies.end(),
                                   {IAC, static_cast<uint8_t>(known ? WILL : WONT), b});
                }
                break;
            }
            case State::Sub:
                if (b == IAC)
                    state_ = State::SubIac;
                else
                    sub_.push_back(b);
                break;
            case State::SubIac:
                if (b == IAC) {
                    sub_.push_back(b);
                    state_ = State::Sub;
                } else {
                    state_ = State::Data;
                    if (b == SE && !sub_.empty() && sub_[0] == COMPORT) {
                        Bytes payload(sub_.begin() + 1, sub_.end());
                        subs_.push_back(payload);
                        if (!payload.empty() && payload[0] == 11) opened_ = true;
                        if (!payload.empty() && options_.negotiate) {
                            const uint8_t cmd = payload[0];
                            const bool answer = (cmd >= 1 && cmd <= 4 && options_.answerConfig) ||
                                                (cmd == 5 && options_.answerControl) || cmd == 11;
                            if (answer) {
                                const uint8_t reply = cmd + 100;
                                Bytes values(payload.begin() + 1, payload.end());
                                auto o = options_.overrides.find(reply);
                                if (o != options_.overrides.end()) values = o->second;
                                replies.insert(replies.end(), {IAC, SB, COMPORT, reply});
                                for (uint8_t v : values) {
                                    replies.push_back(v);
                                    if (v == IAC) replies.push_back(IAC);
                                }
                                replies.insert(replies.end(), {IAC, SE});
                            }
                        }
                    }
                }
                break;
            }
        }
    }
    changed_.notify_all();
    if (!replies.empty()) {
        if (options_.replyDelayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(options_.replyDelayMs));
        Send(replies);
    }
}

void FakeServer::Send(const Bytes& raw) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    int fd;
    {
        std::lock_guard<std::mutex> l(mutex_);
        fd = clientFd_;
    }
    size_t done = 0;
    while (fd >= 0 && done < raw.size()) {
        ssize_t n = ::send(fd, raw.data() + done, raw.size() - done, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
}

void FakeServer::SendData(const Bytes& data) {
    Bytes raw;
    for (uint8_t b : data) {
        raw.push_back(b);
        if (b == IAC) raw.push_back(IAC);
    }
    Send(raw);
}

void FakeServer::SendSub(const Bytes& payload) {
    Bytes raw = {IAC, SB, COMPORT};
    for (uint8_t b : payload) {
        raw.push_back(b);
        if (b == IAC) raw.push_back(IAC);
    }
    raw.insert(raw.end(), {IAC, SE});
    Send(raw);
}

void FakeServer::CloseClient() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (clientFd_ >= 0) ::shutdown(clientFd_, SHUT_RDWR);
}

Bytes FakeServer::Raw() {
    std::lock_guard<std::mutex> lock(mutex_);
    return raw_;
}

Bytes FakeServer::Data() {
    std::lock_guard<std::mutex> lock(mutex_);
    return data_;
}

std::vector<Bytes> FakeServer::Subs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return subs_;
}

std::vector<std::pair<uint8_t, uint8_t>> FakeServer::Negotiations() {
    std::lock_guard<std::mutex> lock(mutex_);
    return negotiations_;
}

bool FakeServer::Connected() {
    std::lock_guard<std::mutex> lock(mutex_);
    return connected_;
}

bool FakeServer::ClientGone() {
    std::lock_guard<std::mutex> lock(mutex_);
    return gone_;
}

bool FakeServer::Opened() {
    std::lock_guard<std::mutex> lock(mutex_);
    return opened_;
}

bool FakeServer::WaitFor(const std::function<bool()>& check, int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!check()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(10));
    }
    return true;
}
