#pragma once
#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

// ser2net (RFC 2217, no character delay) on a loopback port in front of a tty, for the tests and
// the benchmark that need a real device server.
namespace zem::test {

// The installed ser2net, or null.
const char* FindSer2net();

// True when the socket listening on 127.0.0.1:port belongs to `pid` or one of its children. A
// connect alone cannot tell: a program that already had the port accepts too.
bool ListenerIsOwnedBy(pid_t pid, int port);

class Ser2netServer {
public:
    Ser2netServer() = default;
    ~Ser2netServer() { Stop(); }
    Ser2netServer(const Ser2netServer&) = delete;
    Ser2netServer& operator=(const Ser2netServer&) = delete;

    // Writes dir/ser2net.yaml, logs to dir/ser2net.log, and waits until ser2net's own listener
    // accepts (a port someone else took meanwhile: another port). `layer` goes between Telnet and
    // TCP (ser2net's ssl(...)); `options` are more lines under the connection's options.
    bool Start(const std::string& dir, const std::string& tty, const std::string& layer = "",
               const std::vector<std::string>& options = {},
               std::chrono::milliseconds within = std::chrono::seconds(10));
    // SIGTERM, or the signal given, and waits for it to end (SIGKILL after 5 s).
    void Stop(int signal = SIGTERM);

    int Port() const { return port_; }
    pid_t Pid() const { return pid_; }
    std::string Log() const;

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string dir_;
};

} // namespace zem::test
