// The lines of zemcli --list-ports: what is known of each port, in text and as JSON.
#include "Inspect.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Lines(const std::vector<zem::SerialPortInfo>& ports, bool json) {
    std::FILE* f = std::tmpfile();
    zem::cli::PrintPorts(ports, json, f);
    std::rewind(f);
    std::vector<std::string> lines;
    char buf[1024];
    while (std::fgets(buf, sizeof buf, f)) {
        std::string l = buf;
        if (!l.empty() && l.back() == '\n') l.pop_back();
        lines.push_back(l);
    }
    std::fclose(f);
    return lines;
}

std::vector<zem::SerialPortInfo> Ports() {
    zem::SerialPortInfo uart;
    uart.name = "/dev/ttyS0";
    zem::SerialPortInfo ftdi;
    ftdi.name = "/dev/ttyUSB0";
    ftdi.usbVendorId = "0403";
    ftdi.usbProductId = "6001";
    ftdi.manufacturer = "FTDI";
    ftdi.product = "FT232R USB UART";
    ftdi.serialNumber = "A10K3XYZ";
    ftdi.latencyTimerMs = 16;
    zem::SerialPortInfo lowered = ftdi;
    lowered.name = "/dev/ttyUSB1";
    lowered.serialNumber.clear();
    lowered.latencyTimerMs = 1;
    return {uart, ftdi, lowered};
}

TEST(ListPorts, TextShowsTheLatencyTimerWhereKnown) {
    EXPECT_EQ(Lines(Ports(), false),
              (std::vector<std::string>{
                  "/dev/ttyS0",
                  "/dev/ttyUSB0  USB 0403:6001  FTDI  FT232R USB UART  serial A10K3XYZ  latency "
                  "timer 16 ms",
                  "/dev/ttyUSB1  USB 0403:6001  FTDI  FT232R USB UART  latency timer 1 ms"}));
}

TEST(ListPorts, JsonHasLatencyTimerMsOnlyWhereKnown) {
    auto lines = Lines(Ports(), true);
    ASSERT_EQ(lines.size(), 3u);
    auto uart = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(uart, nlohmann::json({{"port", "/dev/ttyS0"}}));
    auto ftdi = nlohmann::json::parse(lines[1]);
    EXPECT_EQ(ftdi["latency_timer_ms"], 16);
    EXPECT_EQ(ftdi["usb_vendor_id"], "0403");
    EXPECT_EQ(ftdi["serial_number"], "A10K3XYZ");
    EXPECT_EQ(nlohmann::json::parse(lines[2])["latency_timer_ms"], 1);
}

} // namespace
