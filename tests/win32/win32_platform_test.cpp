// The Win32 platform files where no port is needed: device paths, the library lookup and loader,
// host lookup, the port list's registry source, the terminal check, and a local channel on a
// port that is not there.
#include "DynLib.h"
#include "Net.h"
#include "OpenCause.h"
#include "OpenChannel.h"
#include "SerialPort.h"
#include "SerialPorts.h"
#include "TSerial.h"
#include "Terminal.h"
#include "TestDir.h"
#include "win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string ExeDir() {
    char buf[MAX_PATH + 1];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    std::string path(buf, n);
    return path.substr(0, path.find_last_of('\\') + 1);
}

std::vector<std::string> Names(const std::vector<zem::SerialPortInfo>& ports) {
    std::vector<std::string> names;
    for (const auto& p : ports)
        names.push_back(p.name);
    return names;
}

using ProbeFn = const char* (*)();

// Which copy of the probe library a path loads; empty when it does not load.
std::string LoadedCopy(zem::DynLib& lib, const std::string& path) {
    if (!lib.Load(path)) return {};
    auto fn = reinterpret_cast<ProbeFn>(lib.Symbol("probe_where"));
    return fn ? fn() : "no probe_where";
}

} // namespace

TEST(Win32SerialPort, DevicePathOfAPortName) {
    const std::pair<const char*, const char*> cases[] = {
        {"COM1", "\\\\.\\COM1"},
        {"com12", "\\\\.\\com12"},
        {"COM1:950", "\\\\.\\COM1:950"},
        // A separator would let the path's normalisation reach another device.
        {"COM1\\..\\NUL", ""},
        {"COM1/../NUL", ""},
        {"/dev/ttyS0", ""},
        {"DISK", ""},
        {"CO", ""},
        {"", ""},
    };
    for (const auto& [name, path] : cases)
        EXPECT_EQ(zem::SerialDevicePath(name), path) << name;

    zem::SerialPort port;
    EXPECT_FALSE(port.Open("COM1\\..\\NUL"));
    EXPECT_FALSE(port.IsOpen());
}

TEST(Win32SerialPort, MissingPortLeavesTheChannelNotOpened) {
    ScopedTestDir dir;
    {
        TSerial ch(20, "COM", 0, "COM99", false);
        EXPECT_FALSE(ch.IsInited());
    } // destroying it must not wait for a thread that never started
    EXPECT_NE(ReadFileBytes("LocalLog.txt")
                  .find("Error  TSerial::TSerial - Cannot open Communication Port COM99\r\n"),
              std::string::npos)
        << ReadFileBytes("LocalLog.txt");
    EXPECT_EQ(zem::OpenChannel("COM99"), nullptr);
    EXPECT_EQ(zem::OpenChannel("COM1\\..\\NUL"), nullptr);
}

// What the operator is told under "Can not open": the system's error in words.
TEST(Win32SerialPort, OpenFailuresNameTheirCause) {
    std::string cause;
    EXPECT_EQ(zem::OpenChannel("COM99", 0, {}, &cause), nullptr);
    EXPECT_EQ(cause, "no such device");
    // Another holder of the port fails the exclusive open as access denied.
    EXPECT_EQ(zem::OpenFailureCause(ERROR_ACCESS_DENIED),
              "busy: another program has the port open");
    // Any other code: the system's own text, without its line end.
    const std::string text = zem::OpenFailureCause(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
}

// The rule for a bare library name: beside the program first, then the current directory, and
// the file found is the file loaded.
// Removed adapters on real Windows and a closed pty under Wine end the run; a refused request or
// a transfer under way does not.
TEST(Win32SerialPort, ErrorsThatMeanTheDeviceIsGone) {
    for (long e : {ERROR_DEVICE_REMOVED, ERROR_BAD_COMMAND, ERROR_ACCESS_DENIED, ERROR_GEN_FAILURE,
                   ERROR_OPERATION_ABORTED, ERROR_BROKEN_PIPE, ERROR_NOT_READY})
        EXPECT_NE(zem::SerialLostCause(e), nullptr) << e;
    for (long e : {0L, long{ERROR_NOT_SUPPORTED}, long{ERROR_IO_PENDING}, long{ERROR_IO_INCOMPLETE},
                   long{ERROR_INVALID_PARAMETER}})
        EXPECT_EQ(zem::SerialLostCause(e), nullptr) << e;
    EXPECT_NE(std::string(zem::SerialLostCause(ERROR_BROKEN_PIPE)).find("ERROR_BROKEN_PIPE"),
              std::string::npos);
}

TEST(Win32DynLib, BareNameLookupAndExactLoad) {
    ScopedTestDir dir;
    const std::string exeDir = ExeDir();
    const std::string here = dir.Path() + "\\";
    const fs::path elsewhere = fs::path(exeDir) / "probe-elsewhere" / "zemprobe.dll";
    const fs::path beside = fs::path(exeDir) / "zemprobe.dll";
    ASSERT_TRUE(fs::exists(elsewhere) && fs::exists(beside));
    fs::copy_file(elsewhere, dir.File("zemprobe.dll"));
    fs::copy_file(elsewhere, dir.File("cwdonly.dll"));
    // A name without an extension must not become "noext.dll", a different file.
    fs::copy_file(elsewhere, dir.File("noext"));
    fs::copy_file(beside, dir.File("noext.dll"));
    WriteFileBytes("text.dll", "this is text, not a library\n");

    struct Case {
        const char* name;
        std::string found;
        const char* copy; // which copy Load gives; null when the load must fail
    };
    const Case cases[] = {
        {"zemprobe.dll", exeDir + "zemprobe.dll", "beside"},
        {"cwdonly.dll", here + "cwdonly.dll", "elsewhere"},
        {"noext", here + "noext", "elsewhere"},
        {".\\cwdonly.dll", ".\\cwdonly.dll", "elsewhere"},
        {"text.dll", here + "text.dll", nullptr},
        {"missing.dll", "", nullptr},
        // Never a search of the system's directories.
        {"kernel32.dll", "", nullptr},
        {"", "", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string found = zem::FindLibraryFile(c.name);
        EXPECT_EQ(found, c.found);
        zem::DynLib lib;
        EXPECT_EQ(LoadedCopy(lib, found), c.copy ? c.copy : "");
        EXPECT_EQ(lib.IsLoaded(), c.copy != nullptr);
        EXPECT_EQ(lib.LoadError().empty(), c.copy != nullptr) << lib.LoadError();
        if (lib.IsLoaded()) {
            EXPECT_EQ(lib.Symbol("nsio_init"), nullptr);
            lib.Unload();
            EXPECT_FALSE(lib.IsLoaded());
        }
    }
}

TEST(Win32Net, DottedTextOfTheFirstIPv4Address) {
    std::string dotted;
    EXPECT_TRUE(zem::LookupHostIPv4("127.0.0.1", dotted));
    EXPECT_EQ(dotted, "127.0.0.1");
    dotted.clear();
    EXPECT_TRUE(zem::LookupHostIPv4("localhost", dotted));
    EXPECT_EQ(dotted, "127.0.0.1");
    // An empty name would be this machine's own address.
    dotted.clear();
    EXPECT_FALSE(zem::LookupHostIPv4("", dotted));
    EXPECT_EQ(dotted, "");
}

// The serial device map, filled by the test with values of its own beside whatever is there.
class Win32PortList : public ::testing::Test {
protected:
    void SetUp() override {
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                            REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key_,
                            nullptr) != ERROR_SUCCESS)
            GTEST_SKIP() << "the serial device map cannot be written here";
    }
    void TearDown() override {
        if (!key_) return;
        for (const std::string& v : added_)
            RegDeleteValueA(key_, v.c_str());
        RegCloseKey(key_);
    }
    void Add(const std::string& name, DWORD type, const void* data, DWORD size) {
        std::string full = "\\Device\\ZemTest" + std::to_string(GetCurrentProcessId()) + name;
        ASSERT_EQ(RegSetValueExA(key_, full.c_str(), 0, type, static_cast<const BYTE*>(data), size),
                  ERROR_SUCCESS);
        added_.push_back(full);
    }
    void AddText(const std::string& name, const std::string& text, bool withNul = true) {
        Add(name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + (withNul ? 1 : 0)));
    }

    HKEY key_ = nullptr;
    std::vector<std::string> added_;
};

TEST_F(Win32PortList, RegisteredPortsInNaturalOrder) {
    AddText("a", "COM10");
    AddText("b", "COM3");
    AddText("c", "COM1", false); // data stored without its final NUL
    std::vector<zem::SerialPortInfo> found;
    ASSERT_TRUE(zem::EnumerateSerialPorts(found));
    auto names = Names(found);
    for (const char* n : {"COM10", "COM3", "COM1"})
        EXPECT_NE(std::find(names.begin(), names.end(), n), names.end()) << n;

    auto list = Names(zem::SerialPortList());
    auto at = [&](const char* n) { return std::find(list.begin(), list.end(), n) - list.begin(); };
    EXPECT_LT(at("COM1"), at("COM3"));
    EXPECT_LT(at("COM3"), at("COM10"));
    EXPECT_LT(at("COM10"), static_cast<long>(list.size()));
}

TEST_F(Win32PortList, ANonStringValueFailsTheWholeSource) {
    AddText("a", "COM3");
    DWORD number = 7;
    Add("n", REG_DWORD, &number, sizeof number);
    std::vector<zem::SerialPortInfo> found;
    EXPECT_FALSE(zem::EnumerateSerialPorts(found));
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(Names(zem::SerialPortList()), std::vector<std::string>{"COM1"});
}

TEST(Win32Terminal, OnlyAConsoleIsATerminal) {
    EXPECT_FALSE(zem::IsTerminal(nullptr));
    ScopedTestDir dir;
    std::FILE* file = std::fopen("out.txt", "w");
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(zem::IsTerminal(file));
    std::fclose(file);
    // The null device is a character device, which the C library takes for a terminal.
    std::FILE* nul = std::fopen("NUL", "w");
    ASSERT_NE(nul, nullptr);
    EXPECT_FALSE(zem::IsTerminal(nul));
    std::fclose(nul);
}
