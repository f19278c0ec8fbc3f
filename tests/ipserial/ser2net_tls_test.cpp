// The network serial library over TLS against the real ser2net and its ssl layer, in front of a
// pseudo-terminal that the test holds. The certificates are made by openssl when the tests start.
// Skipped when ser2net or openssl is not installed.
#include "Ser2netServer.h"
#include "ipserial.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/file.h>
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

std::string g_certs; // the folder of this run's certificates

std::string Hex(const Bytes& b) {
    std::string out;
    char x[4];
    for (size_t i = 0; i < b.size() && i < 32; ++i) {
        std::snprintf(x, sizeof x, "%02X ", b[i]);
        out += x;
    }
    return out;
}

// What ser2net's accepter serves.
struct Server {
    const char* cert = nullptr; // null: plain RFC 2217
    bool clientAuth = false;
};

// What the client asks for.
struct Client {
    bool tls = true;
    const char* host = "127.0.0.1";
    const char* ca = "ca.pem"; // in the certificates' folder; null: the system's store
    const char* cert = nullptr;
    const char* key = nullptr;
};

class Ser2netTls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!zem::test::FindSer2net() || system("openssl version >/dev/null 2>&1") != 0) return;
        char dirTemplate[] = "/tmp/ipserial-certs-XXXXXX";
        if (!mkdtemp(dirTemplate)) return;
        const std::string cmd =
            std::string("bash '") + ZEM_TEST_CERTS_SCRIPT + "' '" + dirTemplate + "' >/dev/null";
        if (system(cmd.c_str()) == 0) g_certs = dirTemplate;
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        if (!g_certs.empty()) std::filesystem::remove_all(g_certs, ignored);
        g_certs.clear();
    }

    void SetUp() override {
        if (!zem::test::FindSer2net()) GTEST_SKIP() << "ser2net is not installed";
        if (g_certs.empty()) GTEST_SKIP() << "no test certificates (openssl missing?)";
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        slaveName_ = ptsname(master_);
        slave_ = open(slaveName_.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave_, 0);
        // Zem's lock: a Zem of another test that still names this terminal (a pseudo-terminal's
        // number comes back once freed) cannot write its sync bytes onto our line.
        ASSERT_EQ(flock(slave_, LOCK_EX | LOCK_NB), 0);
        termios t{};
        tcgetattr(slave_, &t);
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
        char dirTemplate[] = "/tmp/ipserial-tls-XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        dir_ = dirTemplate;
    }

    void TearDown() override {
        if (id_ >= 0) nsio_close(id_);
        StopServer();
        if (slave_ >= 0) close(slave_);
        if (master_ >= 0) close(master_);
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }

    std::string Cert(const char* name) { return g_certs + "/" + name; }

    void StartServer(const Server& s) {
        std::string layer;
        std::vector<std::string> options;
        if (s.cert) {
            const std::string base = Cert(s.cert);
            layer = "ssl(key=" + base + ".key,cert=" + base + ".pem" +
                    (s.clientAuth ? ",clientauth" : "") + ")";
        }
        if (s.clientAuth) options.push_back("authdir: " + Cert("authdir"));
        ASSERT_TRUE(server_.Start(dir_, slaveName_, layer, options)) << "ser2net did not come up:\n"
                                                                     << Log();
        port_ = server_.Port();
    }

    void StopServer() { server_.Stop(); }

    // nsio_open_ex with the client's choices; the cause lands in cause_.
    int Open(const Client& c, int timeoutMs = 3000) {
        const std::string ca = c.ca ? Cert(c.ca) : "", cert = c.cert ? Cert(c.cert) : "",
                          key = c.key ? Cert(c.key) : "";
        nsio_tls_options o{static_cast<int>(sizeof o), c.host, ca.c_str(), cert.c_str(),
                           key.c_str()};
        char cause[256] = "unset";
        id_ =
            nsio_open_ex("127.0.0.1", port_, timeoutMs, c.tls ? &o : nullptr, cause, sizeof cause);
        cause_ = id_ < 0 ? cause : "";
        return id_;
    }

    // Whatever reached the module's side of the line by now.
    Bytes LineBytes() {
        Bytes got;
        uint8_t buf[512];
        for (;;) {
            ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) break;
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

    std::string Log() { return server_.Log(); }

    int master_ = -1, slave_ = -1, id_ = -1, port_ = 0;
    zem::test::Ser2netServer server_;
    std::string dir_, slaveName_, cause_;
};

TEST_F(Ser2netTls, RefusalsNameTheirCauseAndSendNothingToTheLine) {
    struct Row {
        const char* what;
        Server server;
        Client client;
        int code;
        const char* cause;
    } rows[] = {
        {"a CA we do not trust", {"otherca-server"}, {}, NSIO_TLS_UNTRUSTED, "not trusted"},
        {"the system's store, which lacks the test CA",
         {"server"},
         {.ca = nullptr},
         NSIO_TLS_UNTRUSTED,
         "not trusted"},
        {"a name only in the CN", {"wrongname"}, {}, NSIO_TLS_NAME, "not for 127.0.0.1"},
        {"a DNS name the certificate lacks",
         {"server"},
         {.host = "zem.invalid"},
         NSIO_TLS_NAME,
         "not for zem.invalid"},
        {"an expired certificate", {"expired"}, {}, NSIO_TLS_EXPIRED, "expired"},
        {"no client certificate",
         {"server", true},
         {},
         NSIO_TLS_CLIENTCERT,
         "requires a client certificate"},
        {"a client certificate of another CA",
         {"server", true},
         {.cert = "stranger.pem", .key = "stranger.key"},
         NSIO_TLS_CLIENTCERT,
         "did not accept"},
        {"TLS to a plain port", {}, {}, NSIO_TLS_NOTTLS, "did not answer TLS"},
        {"a CA file that is not there",
         {"server"},
         {.ca = "missing.pem"},
         NSIO_TLS_FILES,
         "missing.pem"},
        {"a certificate without its key",
         {"server", true},
         {.cert = "client.pem"},
         NSIO_TLS_FILES,
         "key"},
        {"a key that is not the certificate's",
         {"server", true},
         {.cert = "client.pem", .key = "stranger.key"},
         NSIO_TLS_FILES,
         "stranger.key"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        StartServer(r.server);
        const auto t0 = Clock::now();
        EXPECT_EQ(Open(r.client), r.code) << cause_ << "\n" << Log();
        EXPECT_NE(cause_.find(r.cause), std::string::npos) << cause_;
        EXPECT_EQ(cause_.find('\n'), std::string::npos);
        EXPECT_LT(Clock::now() - t0, milliseconds(3000 + 2000));
        // ser2net opens the line for a connection it accepted; give it a moment to pass on
        // anything it was going to.
        std::this_thread::sleep_for(milliseconds(200));
        const Bytes line = LineBytes();
        EXPECT_TRUE(line.empty()) << line.size() << " bytes reached the line: " << Hex(line);
        if (id_ >= 0) nsio_close(id_);
        id_ = -1;
        StopServer();
    }
}

// A bad file is found before any connection: the server never sees one, and a key under a
// passphrase is refused at once instead of asking for the passphrase on a terminal.
TEST_F(Ser2netTls, FilesAreCheckedBeforeConnecting) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&a), &size), 0);
    port_ = ntohs(a.sin_port);
    struct Row {
        const char* what;
        Client client;
        const char* cause;
    } rows[] = {
        {"a CA file that is not there", {.ca = "missing.pem"}, "missing.pem"},
        {"a CA file without a certificate",
         {.ca = "client.key"},
         "client.key: its PEM block 1 is a PRIVATE KEY, not a certificate"},
        {"a CA file whose block is not base64",
         {.ca = "garbage-ca.pem"},
         "garbage-ca.pem: its PEM block 1 is not a certificate"},
        {"a CA file with a good certificate, then a block that is none",
         {.ca = "mixed-ca.pem"},
         "mixed-ca.pem: its PEM block 2 is not a certificate"},
        {"a certificate without its key", {.cert = "client.pem"}, "key"},
        {"a key that is not the certificate's",
         {.cert = "client.pem", .key = "stranger.key"},
         "stranger.key"},
        {"a key under a passphrase",
         {.cert = "client.pem", .key = "client-encrypted.key"},
         "protected by a passphrase"},
        {"a key under a passphrase, older form",
         {.cert = "client.pem", .key = "client-legacy-encrypted.key"},
         "protected by a passphrase"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        const auto t0 = Clock::now();
        EXPECT_EQ(Open(r.client), NSIO_TLS_FILES) << cause_;
        EXPECT_NE(cause_.find(r.cause), std::string::npos) << cause_;
        EXPECT_LT(Clock::now() - t0, milliseconds(2000));
        pollfd p{listener, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 100), 0) << "a connection was made";
        if (id_ >= 0) nsio_close(id_);
        id_ = -1;
    }
    close(listener);
}

// openssl s_server with the test server's certificate, restricted to what `options` allow; the
// port it listens on, or 0 when it did not come up.
class OpenSslServer {
public:
    ~OpenSslServer() { Stop(); }

    int Start(const std::string& certs, const std::vector<std::string>& options) {
        // s_server ends at the end of its input: it gets a pipe that stays open while it runs.
        int out[2], in[2];
        if (pipe(out) != 0) return 0;
        if (pipe(in) != 0) {
            close(out[0]);
            close(out[1]);
            return 0;
        }
        // A free port, chosen by the system and given back for s_server to take.
        const int probe = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a);
        getsockname(probe, reinterpret_cast<sockaddr*>(&a), &size);
        close(probe);
        const int port = ntohs(a.sin_port);
        std::vector<std::string> args = {"openssl", "s_server",
                                         "-accept", "127.0.0.1:" + std::to_string(port),
                                         "-cert",   certs + "/server.pem",
                                         "-key",    certs + "/server.key"};
        args.insert(args.end(), options.begin(), options.end());
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(out[1], 2);
            close(out[0]);
            close(in[1]);
            std::vector<char*> argv;
            for (std::string& s : args)
                argv.push_back(s.data());
            argv.push_back(nullptr);
            execvp("openssl", argv.data());
            _exit(127);
        }
        close(out[1]);
        close(in[0]);
        in_ = in[1];
        // s_server says ACCEPT once it listens.
        std::string said;
        const auto until = Clock::now() + std::chrono::seconds(10);
        while (said.find("ACCEPT") == std::string::npos && Clock::now() < until) {
            pollfd p{out[0], POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buf[256];
            const ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            said.append(buf, static_cast<size_t>(n));
        }
        out_ = out[0];
        return said.find("ACCEPT") != std::string::npos ? port : 0;
    }

    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
        if (out_ >= 0) close(out_);
        if (in_ >= 0) close(in_);
        out_ = in_ = -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1, in_ = -1;
};

// A server without forward secrecy or authenticated encryption is refused in the handshake, with
// a cause that says what a server must offer.
TEST_F(Ser2netTls, ServersWithoutEcdheAndAeadAreRefused) {
    struct Row {
        const char* what;
        std::vector<std::string> options;
    } rows[] = {
        {"RSA key exchange, CBC with SHA-1", {"-tls1_2", "-cipher", "AES128-SHA"}},
        {"RSA key exchange, AES-GCM", {"-tls1_2", "-cipher", "AES256-GCM-SHA384"}},
        {"ECDHE, CBC with SHA-1", {"-tls1_2", "-cipher", "ECDHE-RSA-AES128-SHA"}},
        {"ECDHE, CBC with SHA-256", {"-tls1_2", "-cipher", "ECDHE-RSA-AES128-SHA256"}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        OpenSslServer server;
        port_ = server.Start(g_certs, r.options);
        ASSERT_NE(port_, 0) << "openssl s_server did not come up";
        EXPECT_EQ(Open({}), NSIO_TLS_HANDSHAKE) << cause_;
        EXPECT_NE(cause_.find("ECDHE and AES-GCM or ChaCha20-Poly1305"), std::string::npos)
            << cause_;
        if (id_ >= 0) nsio_close(id_);
        id_ = -1;
    }
    // The same server with a suite that qualifies: the handshake passes, and the open fails only
    // later, as s_server speaks no RFC 2217.
    OpenSslServer server;
    port_ = server.Start(g_certs, {"-tls1_2", "-cipher", "ECDHE-RSA-AES128-GCM-SHA256"});
    ASSERT_NE(port_, 0) << "openssl s_server did not come up";
    EXPECT_LT(Open({}, 1000), 0);
    EXPECT_EQ(cause_.find("TLS"), std::string::npos) << cause_;
}

TEST_F(Ser2netTls, PlainClientAtATlsPortEndsWithinTheOpensTime) {
    StartServer({"server"});
    const auto t0 = Clock::now();
    EXPECT_LT(Open({.tls = false}, 2000), 0);
    EXPECT_LT(Clock::now() - t0, milliseconds(2000 + 1000));
    EXPECT_FALSE(cause_.empty());
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_TRUE(LineBytes().empty());
}

// The stream and the settings, as over plain TCP; also with a DNS name and with mutual TLS.
TEST_F(Ser2netTls, BytesBothWaysOverTls) {
    struct Row {
        const char* what;
        Server server;
        Client client;
    } rows[] = {
        {"server certificate by IP address", {"server"}, {}},
        {"by DNS name", {"server"}, {.host = "localhost"}},
        {"mutual TLS", {"server", true}, {.cert = "client.pem", .key = "client.key"}},
    };
    std::mt19937 rng(7);
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        StartServer(r.server);
        ASSERT_GE(Open(r.client), 0) << cause_ << "\n" << Log();
        ASSERT_EQ(nsio_ioctl(id_, NSIO_B921600, NSIO_BIT_8), 0);
        termios t{};
        tcgetattr(slave_, &t);
        EXPECT_EQ(cfgetospeed(&t), B921600);

        Bytes up(48 * 1024), down(48 * 1024);
        for (auto& b : up)
            b = static_cast<uint8_t>(rng() % 4 == 0 ? 0xFF : rng());
        for (auto& b : down)
            b = static_cast<uint8_t>(rng() % 4 == 0 ? 0xFF : rng());
        Bytes gotUp, gotDown;
        size_t sentUp = 0, sentDown = 0;
        char buf[4096];
        const auto until = Clock::now() + milliseconds(20000);
        while ((gotUp.size() < up.size() || gotDown.size() < down.size()) && Clock::now() < until) {
            if (sentUp < up.size()) {
                int w = nsio_write(id_, reinterpret_cast<const char*>(up.data() + sentUp),
                                   static_cast<int>(std::min<size_t>(2048, up.size() - sentUp)));
                ASSERT_GE(w, 0);
                sentUp += static_cast<size_t>(w);
            }
            if (sentDown < down.size()) {
                ssize_t w = write(master_, down.data() + sentDown,
                                  std::min<size_t>(1024, down.size() - sentDown));
                if (w > 0) sentDown += static_cast<size_t>(w);
            }
            int n = nsio_read(id_, buf, sizeof buf);
            ASSERT_GE(n, 0);
            gotDown.insert(gotDown.end(), buf, buf + n);
            Bytes line = LineBytes();
            gotUp.insert(gotUp.end(), line.begin(), line.end());
            nsio_wait(id_, 1, NSIO_NO_WAKE);
        }
        EXPECT_TRUE(gotUp == up) << gotUp.size() << " of " << up.size();
        EXPECT_TRUE(gotDown == down) << gotDown.size() << " of " << down.size();
        nsio_close(id_);
        id_ = -1;
        StopServer();
    }
}

// The server goes away mid-stream: reads report the loss, as over plain TCP.
TEST_F(Ser2netTls, ALostServerIsReportedAtOnce) {
    StartServer({"server"});
    ASSERT_GE(Open({}), 0) << cause_;
    const auto stopped = Clock::now();
    server_.Stop(SIGKILL);
    EXPECT_EQ(nsio_wait(id_, 5000, NSIO_NO_WAKE), NSIO_CLOSED);
    EXPECT_LT(Clock::now() - stopped, milliseconds(5000));
    char buf[16];
    EXPECT_EQ(nsio_read(id_, buf, sizeof buf), NSIO_CLOSED);
}

} // namespace
