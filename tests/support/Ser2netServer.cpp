#include "Ser2netServer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace zem::test {

namespace {

using Clock = std::chrono::steady_clock;

// A port the kernel just handed out and took back: free unless someone takes it meanwhile, which
// Start notices.
int FreeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

bool Accepts(int port) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool up = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return up;
}

// Socket inodes of the listeners on loopback or any address, at `port`.
std::set<std::string> ListenerInodes(int port) {
    std::set<std::string> inodes;
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    std::getline(tcp, line); // the heading
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    while (std::getline(tcp, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, skip, inode;
        fields >> slot >> local >> remote >> state;
        for (int i = 0; i < 5; ++i)
            fields >> skip;
        fields >> inode;
        if (state == "0A" && local.size() > 5 && local.substr(local.size() - 5) == wanted)
            inodes.insert(inode);
    }
    return inodes;
}

bool HoldsSocket(pid_t pid, const std::set<std::string>& inodes) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(fds.c_str());
    if (!d) return false;
    bool found = false;
    while (dirent* e = readdir(d)) {
        char target[64];
        const std::string link = fds + "/" + e->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        const std::string t = target;
        if (t.rfind("socket:[", 0) == 0 && inodes.count(t.substr(8, t.size() - 9))) {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

pid_t ParentOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The name in parentheses may hold blanks: the fields after its closing one count.
    const size_t close = all.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(all.substr(close + 1));
    std::string state;
    pid_t parent = -1;
    rest >> state >> parent;
    return parent;
}

} // namespace

const char* FindSer2net() {
    for (const char* path : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"})
        if (access(path, X_OK) == 0) return path;
    return nullptr;
}

bool ListenerIsOwnedBy(pid_t pid, int port) {
    const std::set<std::string> inodes = ListenerInodes(port);
    if (inodes.empty()) return false;
    if (HoldsSocket(pid, inodes)) return true;
    DIR* d = opendir("/proc");
    if (!d) return false;
    bool found = false;
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        const long child = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || child <= 0) continue;
        if (ParentOf(static_cast<pid_t>(child)) == pid &&
            HoldsSocket(static_cast<pid_t>(child), inodes)) {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

bool Ser2netServer::Start(const std::string& dir, const std::string& tty, const std::string& layer,
                          const std::vector<std::string>& options,
                          std::chrono::milliseconds within) {
    Stop();
    const char* ser2net = FindSer2net();
    if (!ser2net) return false;
    dir_ = dir;
    const std::string cfg = dir + "/ser2net.yaml", log = dir + "/ser2net.log";
    const auto until = Clock::now() + within;
    for (int attempt = 0; attempt < 5 && Clock::now() < until; ++attempt) {
        port_ = FreeLoopbackPort();
        {
            std::ofstream out(cfg);
            out << "connection: &zem\n"
                << "  accepter: telnet(rfc2217)," << (layer.empty() ? "" : layer + ",")
                << "tcp,127.0.0.1," << port_ << "\n"
                << "  connector: serialdev," << tty << ",115200n81,local\n"
                << "  options:\n"
                << "    chardelay: false\n";
            for (const std::string& o : options)
                out << "    " << o << "\n";
        }
        pid_ = fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            // A test that dies leaves no server behind.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0) _exit(126);
            dup2(fd, 1);
            dup2(fd, 2);
            execl(ser2net, "ser2net", "-d", "-u", "-c", cfg.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        bool alive = true;
        while (Clock::now() < until) {
            if (Accepts(port_)) {
                if (ListenerIsOwnedBy(pid_, port_)) {
                    // The probe's connection must be gone before the caller's own arrives.
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    return true;
                }
                break; // someone else's: try another port
            }
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                alive = false;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        if (alive) Stop();
    }
    return false;
}

void Ser2netServer::Stop(int signal) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    const auto until = Clock::now() + std::chrono::seconds(5);
    while (waitpid(pid_, nullptr, WNOHANG) == 0) {
        if (Clock::now() >= until) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
}

std::string Ser2netServer::Log() const {
    std::ifstream in(dir_ + "/ser2net.log");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace zem::test
