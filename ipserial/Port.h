#pragma once
#include "Session.h"
#include "Transport.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace ipserial {

// How long a port waits for the server. The defaults are the library's; a test that plays the
// server itself shortens them so that every silence it scripts costs milliseconds.
struct PortTimings {
    Ms configReply = kConfigReplyTimeout;
    Ms controlReply = kControlReplyTimeout;
    Ms closeFlush = kCloseFlush;
    Ms closeDrain = kCloseDrain;
};

// One open connection to a device server's port.
//
// Two threads may use one port at once (one moving data: Read, Write, LineStatus; one
// configuring: Ioctl, Flow, Dtr, Rts), plus the port's own I/O thread. What makes that safe:
// - only the I/O thread reads the socket; it parses what arrives into the Session (received
//   data, the server's answers, modem state) under mutex_, and wakes waiters through answered_;
// - every other piece of state lives in the Session, touched only under mutex_;
// - bytes go out only under mutex_, in queue order, so a command never lands inside escaped
//   data and data accepted before a command reaches the server before it;
// - nothing blocks while holding mutex_ (sends are non-blocking); a control call waits for its
//   answer on answered_, which releases the mutex, so Read/Write/LineStatus never wait on it
//   for longer than a buffer copy.
class Port {
public:
    explicit Port(PortTimings timings = {}) : timings_(timings) {}
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    // 0 or a negative NSIO_ failure, with its cause in words. With tls, the link is TLS. A ready
    // `abort` (the caller's wake-up, looked at and never taken) ends any wait of the open at once
    // with NSIO_ABORTED; once open, the port keeps it until Close, and it ends the control calls'
    // waits for the server's answers the same way.
    int Open(uint32_t ipv4, uint16_t tcpPort, Ms timeout, const TlsSettings* tls = nullptr,
             std::string* cause = nullptr, intptr_t abort = kNoWake);
    // The part of Open after the connection is made: negotiation over `transport`, until
    // `deadline` or `abort`. The same results and causes.
    int Start(std::unique_ptr<Transport> transport, Deadline deadline, std::string* cause = nullptr,
              intptr_t abort = kNoWake);
    void Close();

    int Read(uint8_t* out, int size);
    // Until received bytes wait, the connection is lost, `wake` is ready, a modem line changes,
    // or timeoutMs passed: 1 with bytes waiting, NSIO_CLOSED once lost and read out, else 0.
    int WaitData(int timeoutMs, intptr_t wake);
    int Write(const uint8_t* data, int size);
    int LineStatus();
    int Ioctl(int baudCode, int mode);
    int Flow(int mode);
    int Dtr(bool on);
    int Rts(bool on);

private:
    using Lock = std::unique_lock<std::mutex>;

    void IoLoop();
    void FlushLocked();
    void BreakLocked();
    // Either direction gone: nothing more can be sent or asked for.
    bool LostLocked() const { return broken_ || sendLost_; }
    int Control(Session::Reply kind, uint8_t value);
    // Waits under `lock` until answered() or timeout: 1, 0 on time-out, -1 when the caller's
    // abort wake-up ended it first.
    template <class Answered> int AwaitAnswer(Lock& lock, Ms timeout, Answered answered);
    void StopThread();

    const PortTimings timings_;
    std::unique_ptr<Transport> socket_; // plain TCP or TLS; only the I/O thread receives
    bool netStarted_ = false;
    std::mutex mutex_;
    std::condition_variable answered_;
    Notifier arrived_; // raised by the I/O thread on every arrival and on a lost connection
    // Raised with every notification of answered_, for a control call that waits on the
    // caller's abort wake-up as well (which a condition variable cannot wait on).
    Notifier answers_;
    intptr_t controlAbort_ = kNoWake; // the open's abort wake-up; set before any control call
    // Wakes the I/O thread: bytes queued that the socket did not take, room made in a full
    // receive buffer, the stop request. It sleeps on the socket and this alone.
    Notifier wake_;
    uint32_t lineChanges_ = 0; // modem state notifications that changed a line; under mutex_
    Session session_;
    bool broken_ = false; // connection lost or closed; under mutex_
    // Sending failed because the server has gone; reading goes on until what it sent before is
    // read out, then broken_. Under mutex_.
    bool sendLost_ = false;
    bool heard_ = false; // the server has sent a byte; under mutex_
    std::atomic<bool> stop_{false};
    std::thread io_;
};

} // namespace ipserial
