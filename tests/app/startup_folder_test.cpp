// Start-up in a working folder the operator cannot write. POSIX only: the test drops to a user
// without rights there, which Windows has no simple way to do.
#include "Format.h"
#include "Harness.h"
#include "Paths.h"
#include "Texts.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using Strings = std::vector<std::string>;

// A working folder the operator cannot write is named at start-up: an alert before the greeting
// for an operator at the window, only the debug window's line for an unattended run, which must
// not wait for anyone. Run as a user without rights in the folder: a child process drops to one.
TEST(StartUp, AFolderThatIsNotWritableIsNamedFirst) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to a user without rights here";
    for (bool interactive : {true, false}) {
        SCOPED_TRACE(interactive ? "interactive" : "unattended");
        Harness h;
        ASSERT_EQ(chmod(h.dir.Path().c_str(), 0755), 0);
        pid_t child = fork();
        if (child == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(64000) != 0) _exit(2);
            auto& logic = h.Create();
            logic.StartUp(interactive ? Strings{} : Strings{"module.bin", "COM7", "460800", "1"});
            const std::string line =
                zem::Format(zem::txt::kFolderNotWritable, zem::CurrentDirWithSeparator().c_str());
            const Strings alerts = interactive ? Strings{line, zem::txt::kGreeting} : Strings{};
            const bool ok = h.view.alerts == alerts && !h.view.debugLines.empty() &&
                            h.view.debugLines.front() == line;
            _exit(ok ? 0 : 1);
        }
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

        // The same folder for root, who may write it: no such line.
        auto& logic = h.Create();
        logic.StartUp(interactive ? Strings{} : Strings{"module.bin", "COM7", "460800", "1"});
        EXPECT_EQ(h.view.alerts, interactive ? Strings{zem::txt::kGreeting} : Strings{});
    }
}
