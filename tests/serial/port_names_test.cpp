// Port names: the list's sort and source, the device a name stands for, and how OpenChannel
// reads a name.
#include "Net.h"
#include "OpenChannel.h"
#include "SerialPort.h"
#include "SerialPorts.h"
#include "SerialTestUtil.h"
#include "SysfsTty.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Names(const std::vector<zem::SerialPortInfo>& ports) {
    std::vector<std::string> names;
    for (const auto& p : ports)
        names.push_back(p.name);
    return names;
}

std::vector<zem::SerialPortInfo> Ports(std::initializer_list<const char*> names) {
    std::vector<zem::SerialPortInfo> ports;
    for (const char* n : names)
        ports.push_back({n, {}, {}, {}, {}, {}});
    return ports;
}

} // namespace

TEST(PortNames, NaturalOrder) {
    struct Case {
        std::vector<zem::SerialPortInfo> found;
        std::vector<std::string> sorted;
    };
    const Case cases[] = {
        {Ports({"COM10", "COM3", "COM1"}), {"COM1", "COM3", "COM10"}},
        {Ports({"COM11", "COM2", "COM10", "COM9", "COM1"}),
         {"COM1", "COM2", "COM9", "COM10", "COM11"}},
        {Ports({"/dev/ttyUSB10", "/dev/ttyUSB2", "/dev/ttyACM0", "/dev/ttyS0"}),
         {"/dev/ttyS0", "/dev/ttyACM0", "/dev/ttyUSB2", "/dev/ttyUSB10"}},
        // Duplicates stay; nothing is filtered.
        {Ports({"COM2", "COM1", "COM2"}), {"COM1", "COM2", "COM2"}},
        {Ports({}), {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Names(zem::SortPortList(c.found)), c.sorted);
    EXPECT_EQ(Names(zem::SortPortList(std::nullopt)), std::vector<std::string>{"COM1"});

    EXPECT_LT(zem::ComparePortNames("COM2", "COM10"), 0);
    EXPECT_GT(zem::ComparePortNames("COM10", "COM2"), 0);
    EXPECT_EQ(zem::ComparePortNames("COM7", "COM7"), 0);
    EXPECT_LT(zem::ComparePortNames("COM1", "COM2"), 0);
}

// A made-up sysfs tree: a UART, an empty UART slot, a virtual terminal and two USB adapters.
TEST(PortNames, SysfsSourceListsDevicesWithTheirDetails) {
    ScopedTestDir dir;
    fs::path root = fs::path(dir.Path()) / "sys";
    fs::path cls = root / "class" / "tty";
    auto file = [](const fs::path& p, const std::string& text) {
        fs::create_directories(p.parent_path());
        WriteFileBytes(p.string(), text + "\n");
    };
    auto tty = [&](const std::string& name, const fs::path& device, const char* type) {
        fs::create_directories(cls / name);
        if (!device.empty()) {
            fs::create_directories(device);
            fs::create_directory_symlink(device, cls / name / "device");
        }
        if (type) file(cls / name / "type", type);
    };
    fs::path usb1 = root / "devices" / "pci0" / "usb1" / "1-1";
    file(usb1 / "idVendor", "0403");
    file(usb1 / "idProduct", "6001");
    file(usb1 / "manufacturer", "FTDI");
    file(usb1 / "product", "FT232R USB UART");
    file(usb1 / "serial", "A10K3XYZ");
    fs::path usb2 = root / "devices" / "pci0" / "usb1" / "1-2";
    file(usb2 / "idVendor", "2341");
    file(usb2 / "idProduct", "0043");

    tty("ttyS0", root / "devices" / "pnp0" / "00:01", "4");
    tty("ttyS1", root / "devices" / "platform" / "serial8250", "0");
    tty("tty1", {}, nullptr);
    tty("ttyUSB0", usb1 / "1-1:1.0" / "ttyUSB0", nullptr);
    file(usb1 / "1-1:1.0" / "ttyUSB0" / "latency_timer", "16");
    tty("ttyACM0", usb2 / "1-2:1.0", nullptr);

    std::vector<zem::SerialPortInfo> found;
    ASSERT_TRUE(zem::EnumerateSysfsTtys(cls.string(), found));
    auto list = zem::SortPortList(found);
    ASSERT_EQ(Names(list),
              (std::vector<std::string>{"/dev/ttyS0", "/dev/ttyACM0", "/dev/ttyUSB0"}));
    EXPECT_EQ(list[0].usbVendorId, "");
    EXPECT_EQ(list[1].usbVendorId, "2341");
    EXPECT_EQ(list[1].usbProductId, "0043");
    EXPECT_EQ(list[1].serialNumber, "");
    EXPECT_EQ(list[2].usbVendorId, "0403");
    EXPECT_EQ(list[2].usbProductId, "6001");
    EXPECT_EQ(list[2].manufacturer, "FTDI");
    EXPECT_EQ(list[2].product, "FT232R USB UART");
    EXPECT_EQ(list[2].serialNumber, "A10K3XYZ");
    EXPECT_EQ(list[2].latencyTimerMs, 16);
    EXPECT_EQ(list[0].latencyTimerMs, -1);
    EXPECT_EQ(list[1].latencyTimerMs, -1);

    EXPECT_FALSE(zem::EnumerateSysfsTtys((root / "missing").string(), found));
}

// A made-up /dev: three ports and the links udev would make to two of them, with a link to
// nothing, a link to a file that is no port, and a link reached through another link.
TEST(PortNames, StableAliasesOfEachPort) {
    ScopedTestDir dir;
    fs::path dev = fs::path(dir.Path()) / "dev";
    fs::path byId = dev / "serial" / "by-id", byPath = dev / "serial" / "by-path";
    fs::create_directories(byId);
    fs::create_directories(byPath);
    for (const char* f : {"ttyS0", "ttyUSB0", "ttyUSB1", "null"})
        WriteFileBytes((dev / f).string(), "");
    const std::string ftdi = "usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0";
    const std::string prolific = "usb-Prolific_USB-Serial_Controller-if00-port0";
    const std::string slot1 = "pci-0000:00:14.0-usb-0:1:1.0-port0";
    const std::string slot2 = "pci-0000:00:14.0-usb-0:2:1.0-port0";
    fs::create_symlink("../../ttyUSB0", byId / ftdi);
    fs::create_symlink(dev / "ttyUSB1", byId / prolific);
    fs::create_symlink("../by-id/" + ftdi, byPath / slot1);
    fs::create_symlink("../../ttyUSB1", byPath / slot2);
    fs::create_symlink("../../ttyUSB9", byId / "usb-Gone-if00-port0");
    fs::create_symlink("../../null", byId / "usb-NotAPort");

    auto ports = Ports({});
    for (const char* f : {"ttyUSB1", "ttyS0", "ttyUSB0"})
        ports.push_back({(dev / f).string(), {}, {}, {}, {}, {}});
    zem::AddSerialAliases((dev / "serial").string(), ports);
    const std::string d = dev.string() + "/serial/";
    EXPECT_EQ(ports[0].byId, std::vector<std::string>{d + "by-id/" + prolific});
    EXPECT_EQ(ports[0].byPath, std::vector<std::string>{d + "by-path/" + slot2});
    EXPECT_TRUE(ports[1].byId.empty());
    EXPECT_TRUE(ports[1].byPath.empty());
    EXPECT_EQ(ports[2].byId, std::vector<std::string>{d + "by-id/" + ftdi});
    EXPECT_EQ(ports[2].byPath, std::vector<std::string>{d + "by-path/" + slot1});

    // The window's list: every name that opens a port, the aliases sorted after the short names.
    auto names = zem::PortNamesWithAliases(ports);
    EXPECT_EQ(names, (std::vector<std::string>{ports[0].name, d + "by-id/" + prolific,
                                               d + "by-path/" + slot2, ports[1].name, ports[2].name,
                                               d + "by-id/" + ftdi, d + "by-path/" + slot1}));

    // No /dev/serial (no USB adapter plugged in): nothing is added.
    auto plain = Ports({"/dev/ttyS0"});
    zem::AddSerialAliases((dev / "none").string(), plain);
    EXPECT_TRUE(plain[0].byId.empty() && plain[0].byPath.empty());
}

// A stable name opens the port it leads to, ':' in it and all, and holds it against the port's
// kernel name as any other open does.
TEST(PortNames, AnAliasOpensThePortItNames) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    ASSERT_EQ(fcntl(master, F_SETFL, O_NONBLOCK), 0);
    const std::string slave = ptsname(master);
    // Under /dev, as every local port name is; /dev/shm takes files.
    char tmpl[] = "/dev/shm/zem-alias-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const fs::path root = tmpl;
    fs::create_directories(root / "by-path");
    const std::string alias = (root / "by-path" / "pci-0000:00:14.0-usb-0:1:1.0-port0").string();
    fs::create_symlink(slave, alias);

    EXPECT_EQ(zem::ParsePortName(alias).kind, zem::PortNameParts::kLocal);
    EXPECT_EQ(zem::SerialDevicePath(alias), alias);
    TChannel* ch = zem::OpenChannel(alias);
    ASSERT_NE(ch, nullptr);
    EXPECT_EQ(zem::OpenChannel(slave), nullptr);
    EXPECT_FALSE(ch->Configure("115200", "N81", "N"));
    const char out[] = "\x7e\x7e";
    EXPECT_EQ(ch->Write(out, 2), 2);
    std::string got;
    EXPECT_TRUE(WaitFor([&] {
        char buf[8];
        ssize_t n = read(master, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
        return got.size() >= 2;
    }));
    EXPECT_EQ(got, "\x7e\x7e");
    zem::FreeChannel(ch);
    TChannel* again = zem::OpenChannel(slave);
    EXPECT_NE(again, nullptr);
    zem::FreeChannel(again);
    close(master);
    fs::remove_all(root);
}

TEST(PortNames, ThisMachinesListHoldsDevicesOnly) {
    auto list = zem::SerialPortList();
    for (const auto& p : list) {
        if (p.name == "COM1" && list.size() == 1) break; // no sysfs here
        EXPECT_EQ(p.name.rfind("/dev/", 0), 0u) << p.name;
        EXPECT_EQ(p.name.find("/dev/pts/"), std::string::npos) << p.name;
    }
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end(), [](const auto& a, const auto& b) {
        return zem::ComparePortNames(a.name, b.name) < 0;
    }));
}

TEST(PortNames, DeviceOfALocalPortName) {
    const std::pair<const char*, const char*> cases[] = {
        {"COM1", "/dev/ttyS0"},
        {"com12", "/dev/ttyS11"},
        {"Com3", "/dev/ttyS2"},
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"/dev/serial/by-id/usb-FTDI-if00", "/dev/serial/by-id/usb-FTDI-if00"},
        {"COM0", ""},
        {"COM", ""},
        {"COM1a", ""},
        {"COM-1", ""},
        {"COM99999999999", ""},
        {"ttyS0", ""},
        {"DISK", ""},
    };
    for (const auto& [name, path] : cases)
        EXPECT_EQ(zem::SerialDevicePath(name), path) << name;
}

TEST(OpenChannelNames, HowANameIsRead) {
    using K = zem::PortNameParts;
    struct Case {
        std::string name;
        K::Kind kind;
        std::string host;
        int port;
        bool tls = false;
    };
    const std::string longHost(250, 'h');
    const Case cases[] = {
        {"COM1", K::kLocal, "", 0},
        {"com1", K::kLocal, "", 0},
        {"cOm12", K::kLocal, "", 0},
        {"COM1:950", K::kLocal, "", 0},
        {"/dev/ttyUSB0", K::kLocal, "", 0},
        {"DISK", K::kDisk, "", 0},
        {"disk", K::kDisk, "", 0},
        {"Disk7:950", K::kDisk, "", 0},
        {"10.0.0.5:4001", K::kNetwork, "10.0.0.5", 4001},
        {"server.local:950", K::kNetwork, "server.local", 950},
        {"host: 12abc", K::kNetwork, "host", 12},
        {"host:-5", K::kNetwork, "host", -5},
        {"host:abc", K::kNetwork, "host", 0},
        {"host:99999999999", K::kNetwork, "host", 2147483647},
        {"a:b:4001", K::kNetwork, "a", 0},
        {":950", K::kNetwork, "", 950},
        {longHost + ":9999", K::kNetwork, longHost, 9999}, // 255 characters
        {"10.0.0.5", K::kNone, "", 0},
        {"10.0.0.5:", K::kNone, "", 0},
        {"", K::kNone, "", 0},
        {"/DEV/ttyS0", K::kNone, "", 0},
        {longHost + ":99999", K::kNone, "", 0}, // 256 characters
        {"COM" + std::string(253, '1'), K::kNone, "", 0},
        {std::string("COM1\0:5", 7), K::kNone, "", 0},
        {"tls://10.0.0.5:4001", K::kNetwork, "10.0.0.5", 4001, true},
        {"TLS://devsrv.example.net:950", K::kNetwork, "devsrv.example.net", 950, true},
        {"tls://10.0.0.5", K::kNone, "", 0},
        {"tls://:950", K::kNetwork, "", 950, true},
        {"tls:/10.0.0.5:4001", K::kNetwork, "tls", 0}, // one slash short: a plain name
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 40));
        zem::PortNameParts p = zem::ParsePortName(c.name);
        EXPECT_EQ(p.kind, c.kind);
        EXPECT_EQ(p.host, c.host);
        EXPECT_EQ(p.port, c.port);
        EXPECT_EQ(p.tls, c.tls);
    }
}

TEST(OpenChannelNames, NamesThatOpenNothingGiveNull) {
    ScopedTestDir dir;
    for (const std::string& name :
         {std::string("10.0.0.5"), std::string("10.0.0.5:"), std::string(""), std::string(":950"),
          std::string("COM99"), std::string("com0"), std::string(300, 'x') + ":950",
          "DISK" + std::string(300, 'x')}) {
        SCOPED_TRACE(name.substr(0, 40));
        EXPECT_EQ(zem::OpenChannel(name), nullptr);
    }
    EXPECT_FALSE(fs::exists("DEBUG_DISK.bin")) << "an over-long DISK name must not open the disk";
    zem::FreeChannel(nullptr);
}

TEST(OpenChannelNames, DiskNamesOpenTheDiskChannel) {
    ScopedTestDir dir;
    for (const char* name : {"DISK", "disk", "DiskWhatever"}) {
        SCOPED_TRACE(name);
        TChannel* ch = zem::OpenChannel(name);
        ASSERT_NE(ch, nullptr);
        EXPECT_EQ(ch->kind, kChannelDisk);
        char buf[32];
        EXPECT_STREQ(ch->GetName(buf), "DEBUG_DISK");
        EXPECT_STREQ(ch->StoredFlow(), "N");
        EXPECT_EQ(ch->Write("ab", 2), 2);
        EXPECT_TRUE(WaitFor([&] { return ch->TxFree() == 16383; }));
        zem::FreeChannel(ch);
        EXPECT_EQ(ReadFileBytes("DEBUG_DISK.bin"), "ab");
    }
}

TEST(HostLookup, DottedTextOfTheFirstIPv4Address) {
    std::string dotted;
    EXPECT_TRUE(zem::LookupHostIPv4("127.0.0.1", dotted));
    EXPECT_EQ(dotted, "127.0.0.1");
    dotted.clear();
    EXPECT_TRUE(zem::LookupHostIPv4("localhost", dotted));
    EXPECT_EQ(dotted, "127.0.0.1");
    EXPECT_FALSE(zem::LookupHostIPv4("", dotted));
}
