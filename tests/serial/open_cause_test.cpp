// What the operator is told when a local port does not open: the system's cause in words, from
// real failures of this machine's devices.
#include "OpenCause.h"
#include "OpenChannel.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Pty {
    int master = -1;
    std::string slave;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        char name[128];
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 &&
            ptsname_r(master, name, sizeof name) == 0)
            slave = name;
    }
    ~Pty() {
        if (master >= 0) close(master);
    }
};

std::string CauseOfOpening(const std::string& port) {
    std::string cause;
    TChannel* channel = zem::OpenChannel(port, 0, {}, &cause);
    EXPECT_EQ(channel, nullptr) << port;
    zem::FreeChannel(channel);
    return cause;
}

// OpenChannel in a child that has dropped to `uid` and `gid` with no other groups; the cause,
// or "opened", comes back through a pipe.
std::string CauseOfOpeningAs(const std::string& port, uid_t uid, gid_t gid) {
    int fds[2];
    if (pipe(fds) != 0) return "no pipe";
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        std::string cause = "could not drop privileges";
        if (setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0) {
            TChannel* channel = zem::OpenChannel(port, 0, {}, &cause);
            if (channel) cause = "opened";
            zem::FreeChannel(channel);
        }
        (void)!write(fds[1], cause.data(), cause.size());
        _exit(0);
    }
    close(fds[1]);
    std::string got;
    char buf[256];
    ssize_t k;
    while ((k = read(fds[0], buf, sizeof buf)) > 0)
        got.append(buf, static_cast<size_t>(k));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return got;
}

} // namespace

TEST(OpenCause, EachFailureOfALocalPortNamesItsCause) {
    EXPECT_EQ(CauseOfOpening("/dev/ttyZEM_NO_SUCH_PORT"), "no such device");
    EXPECT_EQ(CauseOfOpening("/dev/null"), "not a serial port");
    EXPECT_EQ(CauseOfOpening("port-without-colon"),
              "not a port name: COMn, /dev/..., DISK or host:port");

    // Held by a first open: the second is told that the port is busy.
    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    std::string cause;
    TChannel* first = zem::OpenChannel(pty.slave, 0, {}, &cause);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(cause, "");
    EXPECT_EQ(CauseOfOpening(pty.slave), "busy: another program has the port open");
    zem::FreeChannel(first);
}

// A device that a user may not open: the cause names its owner, group and mode, and tells the
// user to join dialout only when the device is dialout's and the user is not in it.
TEST(OpenCause, APermissionCauseNamesTheDeviceAndHintsOnlyWhereJoiningHelps) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the device away and drop to a user";
    const group* dialout = getgrnam("dialout");
    if (!dialout) GTEST_SKIP() << "no dialout group";
    const gid_t dialoutGid = dialout->gr_gid;
    const uid_t scratch = 64000; // no user of this machine
    const gid_t nogroup = 65534;
    struct Case {
        gid_t deviceGroup;
        mode_t mode;
        gid_t userGroup;
        std::string cause;
    } cases[] = {
        {dialoutGid, 0660, nogroup,
         "permission denied (owner root, group dialout, mode 0660; add the user to the dialout "
         "group, then log in again)"},
        // Already in dialout: joining again would not help.
        {0, 0600, dialoutGid, "permission denied (owner root, group root, mode 0600)"},
        {0, 0660, nogroup, "permission denied (owner root, group root, mode 0660)"},
        // The same user in the group opens it: the cause was the group, nothing else.
        {dialoutGid, 0660, dialoutGid, "opened"},
    };
    for (const Case& c : cases) {
        Pty pty;
        ASSERT_FALSE(pty.slave.empty());
        ASSERT_EQ(chown(pty.slave.c_str(), 0, c.deviceGroup), 0);
        ASSERT_EQ(chmod(pty.slave.c_str(), c.mode), 0);
        EXPECT_EQ(CauseOfOpeningAs(pty.slave, scratch, c.userGroup), c.cause)
            << "group " << c.deviceGroup << " mode " << std::oct << c.mode;
    }
}
