// zem-refhost: the simplest host a module could have, as a yardstick for zemcli's efficiency.
// It programs a stream with blocking reads and writes on one thread and nothing else: no rings,
// no service threads, no checks beyond what the wire needs. Over a pseudo-terminal it is a
// termios host; over host:port it speaks just enough RFC 2217 (Telnet data escaping, the
// COM-PORT baud rate command) for ser2net.
//
//   zem-refhost STREAM PORT SPEED
//
// Exit code 0 when every record was acknowledged, 1 otherwise, 2 for bad arguments.
#include "StreamFile.h"
#include "TFPLib.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint8_t kIac = 255, kSb = 250, kSe = 240, kWill = 251, kWont = 252, kDo = 253,
                  kDont = 254, kComPort = 44, kSetBaud = 1;

class Link {
public:
    virtual ~Link() = default;
    virtual bool Send(const uint8_t* p, size_t n) = 0;
    // One data byte within ms, or -1.
    virtual int Receive(int ms) = 0;
    virtual bool SetSpeed(uint32_t bps) = 0;
};

bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t k = write(fd, p, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

int ReadByte(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return -1;
    uint8_t b = 0;
    return read(fd, &b, 1) == 1 ? b : -1;
}

speed_t Baud(uint32_t bps) {
    switch (bps) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B115200;
    }
}

class PtyLink : public Link {
public:
    explicit PtyLink(const char* path) { fd_ = open(path, O_RDWR | O_NOCTTY); }
    ~PtyLink() override {
        if (fd_ >= 0) close(fd_);
    }
    bool Ok() const { return fd_ >= 0; }
    bool Send(const uint8_t* p, size_t n) override { return WriteAll(fd_, p, n); }
    int Receive(int ms) override { return ReadByte(fd_, ms); }
    bool SetSpeed(uint32_t bps) override {
        termios t{};
        if (tcgetattr(fd_, &t) != 0) return false;
        cfmakeraw(&t);
        cfsetspeed(&t, Baud(bps));
        return tcsetattr(fd_, TCSANOW, &t) == 0;
    }

private:
    int fd_ = -1;
};

class TelnetLink : public Link {
public:
    TelnetLink(const std::string& host, int port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (fd_ < 0 || inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1 ||
            connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            if (fd_ >= 0) close(fd_);
            fd_ = -1;
            return;
        }
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const uint8_t will[] = {kIac, kWill, kComPort};
        WriteAll(fd_, will, sizeof will);
    }
    ~TelnetLink() override {
        if (fd_ >= 0) close(fd_);
    }
    bool Ok() const { return fd_ >= 0; }
    bool Send(const uint8_t* p, size_t n) override {
        std::vector<uint8_t> out;
        out.reserve(n + 16);
        for (size_t i = 0; i < n; ++i) {
            out.push_back(p[i]);
            if (p[i] == kIac) out.push_back(kIac);
        }
        return WriteAll(fd_, out.data(), out.size());
    }
    // Telnet commands (negotiation, the server's COM-PORT answers) are skipped.
    int Receive(int ms) override {
        for (;;) {
            int b = ReadByte(fd_, ms);
            if (b != kIac) return b;
            int c = ReadByte(fd_, ms);
            if (c == kIac) return kIac;
            if (c == kWill || c == kWont || c == kDo || c == kDont) {
                ReadByte(fd_, ms);
            } else if (c == kSb) {
                for (int prev = -1, d; (d = ReadByte(fd_, ms)) >= 0; prev = d)
                    if (prev == kIac && d == kSe) break;
            } else if (c < 0) {
                return -1;
            }
        }
    }
    bool SetSpeed(uint32_t bps) override {
        std::vector<uint8_t> m = {kIac, kSb, kComPort, kSetBaud};
        for (int shift = 24; shift >= 0; shift -= 8) {
            const uint8_t b = static_cast<uint8_t>(bps >> shift);
            m.push_back(b);
            if (b == kIac) m.push_back(kIac);
        }
        m.insert(m.end(), {kIac, kSe});
        return WriteAll(fd_, m.data(), m.size());
    }

private:
    int fd_ = -1;
};

int Program(Link& link, std::vector<uint8_t>& image, const char* speedText) {
    const uint32_t speed = static_cast<uint32_t>(std::strtoul(speedText, nullptr, 10));
    const zem::StreamWalk walk = zem::WalkStream(image.data(), image.size());
    if (walk.records.empty() || !walk.endsExactly) return 2;
    const bool bootType3 =
        zem::Le16(image.data() + zem::hdr::kStreamVersion) > 1 && image[zem::hdr::kBootType] == 3;
    if (speed != 115200 && walk.speedWordOffset + 2 <= image.size()) {
        image[walk.speedWordOffset] = TFPLib::SpeedCode(speedText);
        image[walk.speedWordOffset + 1] = 0;
    }
    if (!link.SetSpeed(speed < 115200 ? speed : 115200)) return 1;
    const uint8_t sync = bootType3 ? 0x5A : 0x55;
    bool linked = false;
    for (int i = 0; i < 1000 && !linked; ++i) {
        if (!link.Send(&sync, 1)) return 1;
        const int a = link.Receive(bootType3 ? 25 : 50);
        linked = a >= 0xA0 && a <= 0xAA;
    }
    if (!linked) return 1;
    bool switched = speed == 115200;
    for (const zem::StreamRecord& r : walk.records) {
        if (!link.Send(image.data() + r.payloadStart, r.end - r.payloadStart)) return 1;
        int a = link.Receive(40000);
        if (a == 0xAA) { // a read-back: length, words, check word, then its own answer
            uint32_t words = 0;
            for (int i = 0; i < 4; ++i) {
                const int b = link.Receive(10000);
                if (b < 0) return 1;
                words |= static_cast<uint32_t>(b) << (8 * i);
            }
            for (uint64_t i = 0; i < uint64_t{words} * 2 + 2; ++i)
                if (link.Receive(10000) < 0) return 1;
            a = link.Receive(40000);
        }
        if (a < 0xA0 || a > 0xAA) return 1;
        if (!switched && r.end > walk.speedWordOffset) {
            switched = true;
            if (!link.SetSpeed(speed)) return 1;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: zem-refhost STREAM PORT SPEED\n");
        return 2;
    }
    std::vector<uint8_t> image;
    if (!zem::ReadWholeFile(argv[1], image)) return 2;
    const std::string port = argv[2];
    if (port.rfind("/dev/", 0) == 0) {
        PtyLink link(port.c_str());
        return link.Ok() ? Program(link, image, argv[3]) : 1;
    }
    const size_t colon = port.rfind(':');
    if (colon == std::string::npos) return 2;
    TelnetLink link(port.substr(0, colon), std::atoi(port.c_str() + colon + 1));
    return link.Ok() ? Program(link, image, argv[3]) : 1;
}
