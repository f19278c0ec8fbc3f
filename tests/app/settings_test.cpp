#include "Harness.h"
#include "Settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using zem::Item;

namespace {
#ifndef _WIN32
// Root may write any file; an unprivileged user meets the file's own permissions. Nothing to do
// when the tests do not run as root.
class Unprivileged {
public:
    explicit Unprivileged(const std::string& dir) : root_(geteuid() == 0) {
        if (root_) {
            chmod(dir.c_str(), 0755); // readable, not writable, for the user
            EXPECT_EQ(seteuid(65534), 0);
        }
    }
    ~Unprivileged() {
        if (root_) {
            EXPECT_EQ(seteuid(0), 0);
        }
    }

private:
    bool root_;
};
#endif
} // namespace

TEST(Settings, IntegerForms) {
    struct Row {
        const char* text;
        int value;
    };
    const Row rows[] = {{"7", 7},      {"0x1", 1},   {"0X1f", 31},        {"$10", 16},
                        {"-3", -3},    {"+12", 12},  {"-$10", -16},       {"$FFFFFFFF", -1},
                        {"word", -99}, {"", -99},    {"12abc", -99},      {"0x", -99},
                        {"$", -99},    {"1.5", -99}, {"99999999999", -99}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(zem::ParseProfileInt(r.text, -99), r.value);
    }
}

TEST(Settings, DefaultsWithoutAFileAndTheFileWrittenOnClose) {
    Harness h;
    auto& logic = h.Create();
    EXPECT_EQ(h.view.texts[Item::ComboBoxPort], "COM1");
    EXPECT_EQ(h.view.texts[Item::ComboBoxSpeed], "115200");
    EXPECT_EQ(h.view.texts[Item::EditFilePath], "");
    EXPECT_EQ(h.view.rect.left, 100);
    EXPECT_EQ(h.view.rect.top, 100);
    EXPECT_FALSE(logic.Debug());
    EXPECT_FALSE(logic.TrigProgram());
    EXPECT_EQ(h.view.visible.count(Item::ButtonDebug), 0u);
    EXPECT_EQ(h.Status(), "The selected file is not a valid");
    EXPECT_EQ(logic.SettingsFile(), logic.StartDir() + "Zem.ini");

    h.view.texts[Item::ComboBoxPort] = "COM3";
    h.view.rect.left = 12;
    h.view.rect.top = -4;
    EXPECT_TRUE(logic.FormClose());
    EXPECT_EQ(ReadFileBytes(h.File("Zem.ini")),
              "[System]\nPort=COM3\nSpeed=115200\nStartPath=\n[Form]\nTop=-4\nLeft=12\n");
}

TEST(Settings, SwitchesAndPositionFromTheFile) {
    struct Row {
        const char* value;
        bool on;
    };
    const Row rows[] = {{"1", true},  {"7", true},     {"0x1", true},
                        {"0", false}, {"word", false}, {"", false}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.value);
        Harness h;
        WriteFileBytes(h.File("Zem.ini"), std::string("[system]\ndebug=") + r.value +
                                              "\nTrigProgram=" + r.value +
                                              "\n[Form]\nTop=word\nLeft=$20\n");
        auto& logic = h.Create();
        EXPECT_EQ(logic.Debug(), r.on);
        EXPECT_EQ(logic.TrigProgram(), r.on);
        EXPECT_EQ(h.view.visible.count(Item::ButtonDebug), r.on ? 1u : 0u);
        EXPECT_EQ(h.view.rect.top, 100);
        EXPECT_EQ(h.view.rect.left, 32);
    }
}

TEST(Settings, SavingKeepsEverythingItDoesNotWrite) {
    Harness h;
    const std::string before = "; station 4\r\n"
                               "[Form]\r\n"
                               "Left=5\r\n"
                               "Width=300\r\n"
                               "[SYSTEM]\r\n"
                               "Debug=1\r\n"
                               "port=COM2\r\n"
                               "; hand-edited\r\n"
                               "TrigProgram=0\r\n"
                               "[Other]\r\n"
                               "Port=keep\r\n";
    WriteFileBytes(h.File("Zem.ini"), before);
    auto& logic = h.Create();
    EXPECT_EQ(h.view.texts[Item::ComboBoxPort], "COM2");
    h.view.texts[Item::ComboBoxSpeed] = "921600";
    h.view.texts[Item::EditFilePath] = "/streams/a b.bin";
    ASSERT_TRUE(logic.FormClose());
    EXPECT_EQ(ReadFileBytes(h.File("Zem.ini")), "; station 4\r\n"
                                                "[Form]\r\n"
                                                "Left=5\r\n"
                                                "Width=300\r\n"
                                                "Top=100\r\n"
                                                "[SYSTEM]\r\n"
                                                "Debug=1\r\n"
                                                "port=COM2\r\n"
                                                "; hand-edited\r\n"
                                                "TrigProgram=0\r\n"
                                                "Speed=921600\r\n"
                                                "StartPath=/streams/a b.bin\r\n"
                                                "[Other]\r\n"
                                                "Port=keep\r\n");
}

TEST(Settings, AFileThatCannotBeWrittenIsReportedLetsTheWindowCloseAndStaysIntact) {
    namespace fs = std::filesystem;
    // A read-only file, and a settings name taken by a directory (which fails even for root).
    for (bool readOnly : {true, false}) {
        SCOPED_TRACE(readOnly);
        Harness h;
        const std::string before = "[System]\nPort=COM2\n";
        if (readOnly) {
            WriteFileBytes(h.File("Zem.ini"), before);
            fs::permissions(h.File("Zem.ini"), fs::perms::owner_read | fs::perms::group_read);
        } else {
            fs::create_directories(h.File("Zem.ini"));
        }
        auto& logic = h.Create();
        h.view.texts[Item::ComboBoxPort] = "COM8";
        {
#ifndef _WIN32
            Unprivileged user(h.dir.Path());
#endif
            // Reported, with its cause where one is known, and never a reason to stay open.
            EXPECT_TRUE(logic.FormClose());
        }
        ASSERT_EQ(h.view.errors.size(), 1u);
        const std::string& error = h.view.errors[0];
        EXPECT_EQ(error.substr(0, error.find('\n')), "Unable to write to " + logic.SettingsFile());
        EXPECT_EQ(error.substr(error.find('\n') + 1),
                  readOnly ? "Cause: the file is read-only"
                           : "Cause: a folder of that name stands in its place");
        if (readOnly) {
            EXPECT_EQ(ReadFileBytes(h.File("Zem.ini")), before);
            fs::permissions(h.File("Zem.ini"), fs::perms::owner_all);
        }
        for (const auto& e : fs::directory_iterator(h.dir.Path()))
            EXPECT_EQ(e.path().filename(), "Zem.ini"); // no temporary left behind
    }
}

#ifndef _WIN32
// Station settings shared through a link, with the mode, owner and group the station gave them:
// saving writes through the link and the file stays whose it was. As root the owner's missing
// write bit does not stop a write that the process may make; an unprivileged operator in a folder
// of someone else's writes the shared file in place.
TEST(Settings, SavingKeepsTheFileItsLinkModeAndOwner) {
    namespace fs = std::filesystem;
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give files other owners";
    struct Row {
        bool unprivileged;
        uid_t owner;
        mode_t mode;
    };
    for (const Row r : {Row{false, 1234, 0464}, Row{true, 0, 0666}}) {
        SCOPED_TRACE(r.unprivileged);
        Harness h;
        fs::create_directories(h.File("shared"));
        const std::string shared = h.File("shared/station.ini");
        WriteFileBytes(shared, "[System]\nPort=COM2\nDebug=1\n");
        ASSERT_EQ(chown(shared.c_str(), r.owner, r.owner), 0);
        ASSERT_EQ(chmod(shared.c_str(), r.mode), 0);
        fs::create_symlink("shared/station.ini", h.File("Zem.ini"));
        auto& logic = h.Create();
        EXPECT_EQ(h.view.texts[Item::ComboBoxPort], "COM2");
        h.view.texts[Item::ComboBoxPort] = "COM6";
        {
            std::unique_ptr<Unprivileged> user;
            if (r.unprivileged) user = std::make_unique<Unprivileged>(h.File("shared"));
            EXPECT_TRUE(logic.FormClose());
            EXPECT_TRUE(h.view.errors.empty());
        }
        EXPECT_TRUE(fs::is_symlink(h.File("Zem.ini")));
        EXPECT_EQ(ReadFileBytes(shared), "[System]\nPort=COM6\nDebug=1\nSpeed=115200\nStartPath=\n"
                                         "[Form]\nTop=100\nLeft=100\n");
        struct stat st {};
        ASSERT_EQ(stat(shared.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, r.mode);
        EXPECT_EQ(st.st_uid, r.owner);
        EXPECT_EQ(st.st_gid, r.owner);
        for (const auto& e : fs::directory_iterator(h.File("shared")))
            EXPECT_EQ(e.path().filename(), "station.ini"); // no temporary left behind
    }
}

// A write that fails half-way (here: the file size limit) leaves the file as it was, whether the
// new text went to a copy or over the file itself.
TEST(Settings, AWriteThatFailsHalfWayLeavesTheFileAsItWas) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to write as another user";
    for (bool inPlace : {false, true}) {
        SCOPED_TRACE(inPlace);
        Harness h;
        const std::string before = "[System]\nPort=COM2\n";
        WriteFileBytes(h.File("Zem.ini"), before);
        ASSERT_EQ(chmod(h.File("Zem.ini").c_str(), 0666), 0);
        auto& logic = h.Create();
        h.view.texts[Item::ComboBoxPort] = "COM8";
        {
            // Unprivileged in a folder it cannot write, the writer has to write over the file.
            std::unique_ptr<Unprivileged> user;
            if (inPlace) user = std::make_unique<Unprivileged>(h.dir.Path());
            auto oldSignal = signal(SIGXFSZ, SIG_IGN);
            rlimit old{};
            getrlimit(RLIMIT_FSIZE, &old);
            rlimit small = old;
            small.rlim_cur = before.size() + 10;
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
            EXPECT_TRUE(logic.FormClose());
            EXPECT_EQ(h.view.errors.size(), 1u);
            setrlimit(RLIMIT_FSIZE, &old);
            signal(SIGXFSZ, oldSignal);
        }
        EXPECT_EQ(ReadFileBytes(h.File("Zem.ini")), before);
        for (const auto& e : std::filesystem::directory_iterator(h.dir.Path()))
            EXPECT_EQ(e.path().filename(), "Zem.ini"); // no temporary left behind
    }
}
#endif

// A byte order mark from an editor neither hides the first section nor is lost.
TEST(Settings, AByteOrderMarkIsReadPastAndKept) {
    Harness h;
    WriteFileBytes(h.File("Zem.ini"), "\xEF\xBB\xBF[System]\r\nPort=COM7\r\nDebug=1\r\n");
    auto& logic = h.Create();
    EXPECT_EQ(h.view.texts[Item::ComboBoxPort], "COM7");
    EXPECT_TRUE(logic.Debug());
    ASSERT_TRUE(logic.FormClose());
    EXPECT_EQ(ReadFileBytes(h.File("Zem.ini")),
              "\xEF\xBB\xBF[System]\r\nPort=COM7\r\nDebug=1\r\nSpeed=115200\r\nStartPath=\r\n"
              "[Form]\r\nTop=100\r\nLeft=100\r\n");
}

// What the operator typed cannot add lines to the file: a line break in the path would otherwise
// start a section and switch Debug and TrigProgram on at the next start.
TEST(Settings, ALineBreakInAValueCannotSetASwitch) {
    Harness h;
    auto& logic = h.Create();
    h.view.texts[Item::EditFilePath] = "/home/op/fw.bin\n[System]\nDebug=1\r\nTrigProgram=1";
    h.view.texts[Item::ComboBoxPort] = "COM3\r\n[Form]\r\nTop=7";
    ASSERT_TRUE(logic.FormClose());
    h.view.texts.clear();
    auto& next = h.Create(); // the next start, in the same directory
    EXPECT_FALSE(next.Debug());
    EXPECT_FALSE(next.TrigProgram());
    EXPECT_EQ(h.view.rect.top, 100);
    EXPECT_EQ(h.view.texts[Item::EditFilePath], "/home/op/fw.bin[System]Debug=1TrigProgram=1");
    EXPECT_EQ(h.view.texts[Item::ComboBoxPort], "COM3[Form]Top=7");
}

// Blanks at either end and enclosing quotes survive a save and a load.
TEST(Settings, ValuesTheReaderWouldChangeReadBackExactly) {
    const char* const values[] = {" /streams/lead.bin",
                                  "/streams/trail.bin\t",
                                  "  ",
                                  "\"9600\"",
                                  "'COM2'",
                                  "\"",
                                  "\"half",
                                  "a \"b\" c",
                                  "\"\""};
    for (const char* v : values) {
        SCOPED_TRACE(v);
        Harness h;
        auto& logic = h.Create();
        h.view.texts[Item::EditFilePath] = v;
        h.view.texts[Item::ComboBoxSpeed] = v;
        ASSERT_TRUE(logic.FormClose());
        h.view.texts.clear();
        h.Create();
        EXPECT_EQ(h.view.texts[Item::EditFilePath], v);
        EXPECT_EQ(h.view.texts[Item::ComboBoxSpeed], v);
    }
}

TEST(Settings, TwoStartDirectoriesTwoFiles) {
    Harness a;
    WriteFileBytes(a.File("Zem.ini"), "[System]\nPort=COM4\n");
    a.Create();
    Harness b; // its own current directory
    b.Create();
    EXPECT_EQ(a.view.texts[Item::ComboBoxPort], "COM4");
    EXPECT_EQ(b.view.texts[Item::ComboBoxPort], "COM1");
}

TEST(PortList, SortedNaturallyWithTheFallback) {
    using V = std::vector<std::string>;
    struct Row {
        std::optional<V> found;
        V items;
    };
    const Row rows[] = {
        {V{"COM10", "COM3", "COM1", "COM2"}, V{"COM1", "COM2", "COM3", "COM10"}},
        {V{"/dev/ttyUSB0", "/dev/ttyS10", "/dev/ttyS1"},
         V{"/dev/ttyS1", "/dev/ttyS10", "/dev/ttyUSB0"}},
        {std::nullopt, V{"COM1"}}, // the source could not be read
        {V{}, V{}},                // no ports
        // names are shown with their control characters escaped
        {V{"COM\x1B[2J", "COM2"}, V{"COM2", "COM\\x1B[2J"}},
    };
    for (const Row& r : rows) {
        Harness h;
        h.portsFound.reset();
        if (r.found) {
            h.portsFound.emplace();
            for (const std::string& name : *r.found)
                h.portsFound->push_back(PortFound(name));
        }
        h.Create();
        EXPECT_EQ(h.view.portItems, r.items);
    }
}

// Stable names stay under the port they stand for, however long they are.
TEST(PortList, AliasesFollowTheirPort) {
    Harness h;
    h.portsFound = std::vector<zem::SerialPortInfo>{
        PortFound("/dev/ttyUSB1", {"/dev/serial/by-id/usb-FTDI_FT232R_B-if00-port0"},
                  {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"}),
        PortFound("/dev/ttyS0"),
        PortFound("/dev/ttyUSB0", {"/dev/serial/by-id/usb-FTDI_FT232R_A-if00-port0"}),
    };
    h.Create();
    EXPECT_EQ(h.view.portItems,
              (std::vector<std::string>{
                  "/dev/ttyS0", "/dev/ttyUSB0", "/dev/serial/by-id/usb-FTDI_FT232R_A-if00-port0",
                  "/dev/ttyUSB1", "/dev/serial/by-id/usb-FTDI_FT232R_B-if00-port0",
                  "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"}));
}
