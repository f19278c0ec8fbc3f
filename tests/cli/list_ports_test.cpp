// What zemcli --list-ports prints for a port with USB details and aliases, and for a bare one.
#include "Inspect.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string Printed(const std::vector<zem::SerialPortInfo>& ports, bool json) {
    char* buf = nullptr;
    size_t size = 0;
    std::FILE* f = open_memstream(&buf, &size);
    EXPECT_EQ(zem::cli::PrintPorts(ports, json, f), 0);
    std::fclose(f);
    std::string text(buf, size);
    std::free(buf);
    return text;
}

const std::string kById = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0";
const std::string kByPath = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0-port0";

std::vector<zem::SerialPortInfo> Fixture() {
    zem::SerialPortInfo usb{"/dev/ttyUSB0", "0403", "6001", "FTDI", "FT232R USB UART", "A10K3XYZ"};
    usb.byId = {kById};
    usb.byPath = {kByPath};
    return {{"/dev/ttyS0", {}, {}, {}, {}, {}}, usb};
}

} // namespace

TEST(ListPorts, TextShowsEachAliasIndentedBelowItsPort) {
    EXPECT_EQ(Printed(Fixture(), false),
              "/dev/ttyS0\n"
              "/dev/ttyUSB0  USB 0403:6001  FTDI  FT232R USB UART  serial A10K3XYZ\n"
              "  " +
                  kById +
                  "\n"
                  "  " +
                  kByPath + "\n");
}

TEST(ListPorts, JsonCarriesAliasesAsListsOnlyWhereThereAreSome) {
    std::string text = Printed(Fixture(), true);
    size_t nl = text.find('\n');
    ASSERT_NE(nl, std::string::npos);
    auto bare = nlohmann::json::parse(text.substr(0, nl));
    auto usb = nlohmann::json::parse(text.substr(nl + 1));
    EXPECT_EQ(bare, nlohmann::json({{"port", "/dev/ttyS0"}}));
    EXPECT_EQ(usb["port"], "/dev/ttyUSB0");
    EXPECT_EQ(usb["usb_vendor_id"], "0403");
    EXPECT_EQ(usb["by_id"], nlohmann::json::array({kById}));
    EXPECT_EQ(usb["by_path"], nlohmann::json::array({kByPath}));
}

// A device names itself: its strings reach the operator's terminal only with every control
// character escaped, in the text and in the JSON.
TEST(ListPorts, DeviceStringsCannotCarryControlCharacters) {
    zem::SerialPortInfo evil{"/dev/ttyUSB1",
                             "0403",
                             "6001",
                             "\x1B]0;owned\x07",
                             "Mo\x1B[2Jdem\r",
                             "S\xC2\x9B"
                             "1m\x7F\x9B"};
    evil.byId = {"/dev/serial/by-id/x\ny"};
    const std::string text = Printed({evil}, false);
    EXPECT_EQ(text, "/dev/ttyUSB1  USB 0403:6001  \\x1B]0;owned\\x07  Mo\\x1B[2Jdem\\x0D  serial "
                    "S\\xC2\\x9B1m\\x7F\\x9B\n  /dev/serial/by-id/x\\x0Ay\n");

    const std::string json = Printed({evil}, true);
    for (unsigned char c : json.substr(0, json.size() - 1))
        EXPECT_TRUE(c >= 0x20 && c != 0x7F) << "raw control byte " << int(c);
    EXPECT_EQ(json.find("\xC2\x9B"), std::string::npos);
    auto j = nlohmann::json::parse(json);
    EXPECT_EQ(j["manufacturer"], "\x1B]0;owned\x07");
    EXPECT_EQ(j["by_id"][0], "/dev/serial/by-id/x\ny");
}
