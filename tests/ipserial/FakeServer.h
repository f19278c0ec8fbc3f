#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

using Bytes = std::vector<uint8_t>;

// A small RFC 2217 access server on 127.0.0.1 for one client, written independently of the
// library: it records everything the client sends (raw, unescaped data, negotiation commands,
// COM-PORT-OPTION subnegotiations) and answers as configured.
class FakeServer {
public:
    struct Options {
        bool negotiate = true;     // false: a plain TCP service that never says a word
        bool closeAtOnce = false;  // accept, then close straight away
        bool agreeComPort = true;  // false: DONT COM-PORT-OPTION
        Bytes greeting = {};       // raw bytes sent right after accepting
        bool answerConfig = true;  // answer SET-BAUDRATE/DATASIZE/PARITY/STOPSIZE
        bool answerControl = true; // answer SET-CONTROL
        int replyDelayMs = 0;      // before each answer to a SET command
        std::map<uint8_t, Bytes> overrides = {}; // command -> payload of the answer instead of echo
        bool flipOptions = false;    // answer every offer of 0/3 by refusing and agreeing
        bool echoData = false;       // send every data byte back
        bool stallAfterOpen = false; // stop reading once the client has opened the port
    };

    explicit FakeServer(Options options);
    FakeServer() : FakeServer(Options{}) {}
    ~FakeServer();

    uint16_t Port() const { return port_; }

    void Send(const Bytes& raw);        // as is, no escaping
    void SendData(const Bytes& data);   // IAC-doubled
    void SendSub(const Bytes& payload); // IAC SB 44 payload IAC SE
    void CloseClient();

    // Observations (copies, taken under the server's lock).
    Bytes Raw();
    Bytes Data();
    std::vector<Bytes> Subs(); // COM-PORT-OPTION payloads from the client, unescaped
    std::vector<std::pair<uint8_t, uint8_t>> Negotiations(); // (verb, option) from the client
    bool Connected();
    bool ClientGone();
    bool Opened(); // the client's modem state mask has arrived

    // Waits until check() is true (checked whenever the server has received something).
    bool WaitFor(const std::function<bool()>& check, int timeoutMs = 5000);

private:
    void Run();
    void Handle(const uint8_t* p, size_t n);
    void OnNegotiation(uint8_t verb, uint8_t option);
    void OnSub(const Bytes& sub);
    void SendLocked(const Bytes& raw);

    Options options_;
    int listenFd_ = -1;
    int clientFd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::mutex sendMutex_;
    bool connected_ = false;
    bool gone_ = false;
    bool opened_ = false; // the client sent its modem state mask
    Bytes raw_, data_;
    std::vector<Bytes> subs_;
    std::vector<std::pair<uint8_t, uint8_t>> negotiations_;
    std::map<uint8_t, bool> said_; // options the server has spoken about, per side

    enum class State { Data, Iac, Option, Sub, SubIac } state_ = State::Data;
    uint8_t verb_ = 0;
    Bytes sub_;
};

Bytes Concat(std::initializer_list<Bytes> parts);
