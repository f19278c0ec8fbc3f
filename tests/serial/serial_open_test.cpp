// Which device names the local serial channel agrees to open: nothing but a serial line is ever
// opened, since opening a device can act on it.
#include "SerialTestUtil.h"
#include "TSerial.h"
#include "TtyDevice.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct PtyPair {
    int master = -1;
    std::string slave;
    PtyPair() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        char name[128];
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
            ptsname_r(master, name, sizeof name) != 0)
            return;
        slave = name;
    }
    ~PtyPair() {
        if (master >= 0) close(master);
    }
    bool Canonical() const {
        termios t{};
        return tcgetattr(master, &t) == 0 && (t.c_lflag & ICANON);
    }
};

// Counts every open of the watched paths (an open of a device node is an event on its inode).
class OpenWatch {
public:
    OpenWatch() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~OpenWatch() {
        if (fd_ >= 0) close(fd_);
    }
    bool Add(const std::string& path) { return inotify_add_watch(fd_, path.c_str(), IN_OPEN) >= 0; }
    int Opens() {
        int n = 0;
        alignas(inotify_event) char buf[4096];
        ssize_t k;
        while ((k = read(fd_, buf, sizeof buf)) > 0)
            for (char* p = buf; p < buf + k; p += sizeof(inotify_event) + ((inotify_event*)p)->len)
                ++n;
        return n;
    }

private:
    int fd_;
};

std::unique_ptr<TSerial> OpenSerial(const std::string& port) {
    return std::make_unique<TSerial>(20, "COM", 0, port.c_str(), false);
}

} // namespace

// Devices and files that are no serial line fail like a missing port, and are not even opened.
TEST(SerialOpen, NothingButASerialLineIsOpened) {
    ScopedTestDir dir;
    WriteFileBytes(dir.File("plain"), "data");
    ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
    fs::create_directory(dir.File("folder"));
    fs::create_symlink("/dev/null", dir.File("null-link"));

    struct Case {
        std::string name;   // what the operator typed
        std::string target; // what an open would touch
    };
    std::vector<Case> cases = {
        {"/dev/null", "/dev/null"},           {"/dev/tty", "/dev/tty"},
        {"/dev/ptmx", "/dev/ptmx"},           {"/dev/console", "/dev/console"},
        {"/dev/tty1", "/dev/tty1"},           {dir.File("plain"), dir.File("plain")},
        {dir.File("fifo"), dir.File("fifo")}, {dir.File("folder"), dir.File("folder")},
        {dir.File("null-link"), "/dev/null"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OpenWatch watch;
        bool watched = fs::exists(c.target) && watch.Add(c.target);
        auto ch = OpenSerial(c.name);
        EXPECT_FALSE(ch->IsInited());
        EXPECT_TRUE(Logged("Error", "TSerial::TSerial - Cannot open Communication Port " + c.name));
        if (watched) {
            EXPECT_EQ(watch.Opens(), 0);
        }
    }
}

// A link to a tty (as /dev/serial/by-id/... names are) opens the tty it leads to.
TEST(SerialOpen, ALinkToATtyOpensTheTty) {
    ScopedTestDir dir;
    PtyPair pty;
    ASSERT_FALSE(pty.slave.empty());
    // Device names are taken under /dev/ only; /dev/shm is the one place there anyone may write.
    const std::string link = "/dev/shm/zem-usb-Module_" + std::to_string(getpid()) + "-if00";
    std::error_code ec;
    fs::create_symlink(pty.slave, link, ec);
    if (ec) GTEST_SKIP() << "no /dev/shm";
    ASSERT_TRUE(pty.Canonical());
    auto ch = OpenSerial(link);
    EXPECT_TRUE(ch->IsInited());
    EXPECT_FALSE(pty.Canonical()) << "the pty behind the link was set up";
    ch.reset();
    fs::remove(link);
}

// The operator's own terminal is never taken, by /dev/tty nor by its own name.
TEST(SerialOpen, TheControllingTerminalIsLeftAlone) {
    ScopedTestDir dir;
    PtyPair pty;
    ASSERT_FALSE(pty.slave.empty());
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A new session whose first terminal opened becomes its controlling terminal.
        if (setsid() < 0) _exit(10);
        int fd = open(pty.slave.c_str(), O_RDWR);
        if (fd < 0 || zem::ControllingTerminal() == 0) _exit(11);
        int opened = 0;
        for (const std::string& name : {std::string("/dev/tty"), pty.slave})
            if (OpenSerial(name)->IsInited()) opened |= name == "/dev/tty" ? 1 : 2;
        _exit(opened);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: /dev/tty opened, 2: its own name opened";
    EXPECT_TRUE(pty.Canonical()) << "the terminal was made raw";
}

// The class check itself, on a made-up sysfs tree: real device nodes, classes as sysfs tells them.
TEST(SerialOpen, TheTtyClassDecides) {
    ScopedTestDir dir;
    struct stat st {};
    ASSERT_EQ(stat("/dev/null", &st), 0);
    const std::string sys = dir.File("sys");
    const std::string entry = sys + "/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                              std::to_string(minor(st.st_rdev));
    fs::create_directories(sys + "/class/tty");
    fs::create_directories(sys + "/class/mem");
    fs::create_directories(entry);
    fs::create_symlink("/dev/null", dir.File("by-id-link"));

    zem::TtyDevice found;
    EXPECT_FALSE(zem::FindSerialTty("/dev/null", sys, 0, found)) << "no sysfs entry";
    fs::create_symlink(sys + "/class/mem", entry + "/subsystem");
    EXPECT_FALSE(zem::FindSerialTty("/dev/null", sys, 0, found));
    fs::remove(entry + "/subsystem");
    fs::create_symlink(sys + "/class/tty", entry + "/subsystem");
    ASSERT_TRUE(zem::FindSerialTty(dir.File("by-id-link"), sys, 0, found));
    EXPECT_EQ(found.path, "/dev/null");
    EXPECT_EQ(found.rdev, st.st_rdev);
    EXPECT_FALSE(zem::FindSerialTty("/dev/null", sys, st.st_rdev, found)) << "controlling tty";
    EXPECT_FALSE(zem::FindSerialTty(dir.File("dangling"), sys, 0, found));
}
