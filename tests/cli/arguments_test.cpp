// zemcli's argument checks: every refusal names the argument at fault and why, before anything
// is opened.
#include "Arguments.h"

#include <gtest/gtest.h>

using zem::cli::Arguments;
using zem::cli::CheckArguments;
using Strings = std::vector<std::string>;

namespace {

Strings Positional(const std::string& ports = "/dev/ttyUSB0", const std::string& speed = "921600") {
    return {"s.bin", ports, speed};
}

zem::TlsTrust Trust(std::string ca, std::string cert = {}, std::string key = {}) {
    return {std::move(ca), std::move(cert), std::move(key)};
}

} // namespace

TEST(Arguments, EachRefusalNamesItsArgumentAndReason) {
    struct Case {
        const char* name;
        Arguments args;
        std::string refusal; // the start of the line; empty: accepted
        unsigned count = 0;
    };
    const std::string tls = "tls://devsrv:4001";
    const Case cases[] = {
        {"a plain run", {.positional = Positional()}, ""},
        {"every listed speed", {.positional = Positional("COM5", "9600")}, ""},
        {"a word for a speed",
         {.positional = Positional("COM5", "abc")},
         "speed abc: not one of 921600, 460800, 230400, 115200, 57600, 38400, 19200, 9600"},
        {"a speed with a tail",
         {.positional = Positional("COM5", "115200x")},
         "speed 115200x: not one of"},
        {"a speed not offered",
         {.positional = Positional("COM5", "1000000")},
         "speed 1000000: not one of"},
        {"an empty speed", {.positional = Positional("COM5", "")}, "speed : not one of"},
        {"two parameters",
         {.positional = {"s.bin", "COM5"}},
         "expected three parameters, STREAM PORT[,PORT...] SPEED; 2 given"},
        {"four parameters",
         {.positional = {"s.bin", "COM5", "921600", "1"}},
         "expected three parameters, STREAM PORT[,PORT...] SPEED; 4 given"},
        {"--count 3", {.countGiven = true, .count = "3", .positional = Positional()}, "", 3},
        {"--count 0",
         {.countGiven = true, .count = "0", .positional = Positional()},
         "--count 0: the number of modules per port, a whole number from 1"},
        {"--count -2",
         {.countGiven = true, .count = "-2", .positional = Positional()},
         "--count -2: "},
        {"--count two",
         {.countGiven = true, .count = "two", .positional = Positional()},
         "--count two: "},
        {"--count too large",
         {.countGiven = true, .count = "99999999999", .positional = Positional()},
         "--count 99999999999: "},
        {"--loop with --count",
         {.loop = true, .countGiven = true, .count = "2", .positional = Positional()},
         "--loop and --count exclude each other"},
        {"--presence alone",
         {.presence = true, .positional = Positional()},
         "--presence needs --loop or --count"},
        {"--presence with --loop",
         {.loop = true, .presence = true, .positional = Positional()},
         ""},
        {"--cert without --key",
         {.trust = Trust("", "c.pem"), .positional = Positional(tls)},
         "--cert needs --key"},
        {"--key without --cert",
         {.trust = Trust("", "", "c.key"), .positional = Positional(tls)},
         "--key needs --cert"},
        {"--cert and --key",
         {.trust = Trust("", "c.pem", "c.key"), .positional = Positional(tls)},
         ""},
        {"--ca with a local port",
         {.trust = Trust("ca.pem"), .positional = Positional()},
         "--ca is for tls:// ports only; /dev/ttyUSB0 has none"},
        {"--cert with a plain network port",
         {.trust = Trust("", "c.pem", "c.key"), .positional = Positional("devsrv:4001")},
         "--cert is for tls:// ports only; devsrv:4001 has none"},
        {"--ca with one tls:// port of a gang",
         {.trust = Trust("ca.pem"), .positional = Positional("COM5,TLS://devsrv:4001")},
         ""},
        {"--info with a stream", {.info = true, .positional = {"s"}}, ""},
        {"--info with --count",
         {.info = true, .countGiven = true, .positional = {"s"}},
         "--info takes no run options"},
        {"--info with two files",
         {.info = true, .positional = {"s", "t"}},
         "--info takes one stream file, 2 parameters given"},
        {"--list-ports with a parameter",
         {.listPorts = true, .positional = {"COM1"}},
         "--list-ports takes no parameters, 1 given"},
        {"--list-ports with --ca",
         {.listPorts = true, .trust = Trust("ca.pem")},
         "--list-ports takes no run options"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned count = 99;
        const std::string refusal = CheckArguments(c.args, count);
        if (c.refusal.empty()) {
            EXPECT_EQ(refusal, "");
            EXPECT_EQ(count, c.count);
        } else {
            EXPECT_EQ(refusal.rfind(c.refusal, 0), 0u) << refusal;
        }
    }
}
