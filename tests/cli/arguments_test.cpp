// zemcli's argument checks: every refusal names the argument at fault and why, before anything
// is opened.
#include "Arguments.h"

#include <gtest/gtest.h>

using zem::cli::Arguments;
using zem::cli::CheckArguments;

namespace {

Arguments ARun(const std::string& ports = "/dev/ttyUSB0", const std::string& speed = "921600") {
    Arguments a;
    a.positional = {"s.bin", ports, speed};
    return a;
}

} // namespace

TEST(Arguments, EachRefusalNamesItsArgumentAndReason) {
    struct Case {
        const char* name;
        Arguments args;
        const char* refusal; // the start of the line; empty: accepted
        unsigned count = 0;
    };
    auto with = [](Arguments a, auto change) {
        change(a);
        return a;
    };
    const Case cases[] = {
        {"a plain run", ARun(), ""},
        {"every listed speed", ARun("COM5", "9600"), ""},
        {"a word for a speed", ARun("COM5", "abc"),
         "speed abc: not one of 921600, 460800, 230400, 115200, 57600, 38400, 19200, 9600"},
        {"a speed with a tail", ARun("COM5", "115200x"), "speed 115200x: not one of"},
        {"a speed not offered", ARun("COM5", "1000000"), "speed 1000000: not one of"},
        {"an empty speed", ARun("COM5", ""), "speed : not one of"},
        {"two parameters", with(ARun(), [](Arguments& a) { a.positional.pop_back(); }),
         "expected three parameters, STREAM PORT[,PORT...] SPEED; 2 given"},
        {"four parameters", with(ARun(), [](Arguments& a) { a.positional.push_back("1"); }),
         "expected three parameters, STREAM PORT[,PORT...] SPEED; 4 given"},
        {"--count 3", with(ARun(), [](Arguments& a) { a.countGiven = true, a.count = "3"; }), "",
         3},
        {"--count 0", with(ARun(), [](Arguments& a) { a.countGiven = true, a.count = "0"; }),
         "--count 0: the number of modules per port, a whole number from 1"},
        {"--count -2", with(ARun(), [](Arguments& a) { a.countGiven = true, a.count = "-2"; }),
         "--count -2: "},
        {"--count two", with(ARun(), [](Arguments& a) { a.countGiven = true, a.count = "two"; }),
         "--count two: "},
        {"--count too large",
         with(ARun(), [](Arguments& a) { a.countGiven = true, a.count = "99999999999"; }),
         "--count 99999999999: "},
        {"--loop with --count",
         with(ARun(), [](Arguments& a) { a.loop = a.countGiven = true, a.count = "2"; }),
         "--loop and --count exclude each other"},
        {"--presence alone", with(ARun(), [](Arguments& a) { a.presence = true; }),
         "--presence needs --loop or --count"},
        {"--presence with --loop", with(ARun(), [](Arguments& a) { a.presence = a.loop = true; }),
         ""},
        {"--cert without --key",
         with(ARun("tls://devsrv:4001"), [](Arguments& a) { a.trust.certFile = "c.pem"; }),
         "--cert needs --key"},
        {"--key without --cert",
         with(ARun("tls://devsrv:4001"), [](Arguments& a) { a.trust.keyFile = "c.key"; }),
         "--key needs --cert"},
        {"--cert and --key",
         with(ARun("tls://devsrv:4001"),
              [](Arguments& a) { a.trust.certFile = "c.pem", a.trust.keyFile = "c.key"; }),
         ""},
        {"--ca with a local port",
         with(ARun("/dev/ttyUSB0"), [](Arguments& a) { a.trust.caFile = "ca.pem"; }),
         "--ca is for tls:// ports only; /dev/ttyUSB0 has none"},
        {"--cert with a plain network port",
         with(ARun("devsrv:4001"),
              [](Arguments& a) { a.trust.certFile = "c.pem", a.trust.keyFile = "c.key"; }),
         "--cert is for tls:// ports only; devsrv:4001 has none"},
        {"--ca with one tls:// port of a gang",
         with(ARun("COM5,TLS://devsrv:4001"), [](Arguments& a) { a.trust.caFile = "ca.pem"; }), ""},
        {"--info with a stream",
         with({}, [](Arguments& a) { a.info = true, a.positional = {"s"}; }), ""},
        {"--info with --count",
         with({}, [](Arguments& a) { a.info = a.countGiven = true, a.positional = {"s"}; }),
         "--info takes no run options"},
        {"--info with two files",
         with({},
              [](Arguments& a) {
                  a.info = true, a.positional = {"s", "t"};
              }),
         "--info takes one stream file, 2 parameters given"},
        {"--list-ports with a parameter",
         with({}, [](Arguments& a) { a.listPorts = true, a.positional = {"COM1"}; }),
         "--list-ports takes no parameters, 1 given"},
        {"--list-ports with --ca",
         with({}, [](Arguments& a) { a.listPorts = true, a.trust.caFile = "ca.pem"; }),
         "--list-ports takes no run options"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned count = 99;
        const std::string refusal = CheckArguments(c.args, count);
        if (std::string(c.refusal).empty()) {
            EXPECT_EQ(refusal, "");
            EXPECT_EQ(count, c.count);
        } else {
            EXPECT_EQ(refusal.rfind(c.refusal, 0), 0u) << refusal;
        }
    }
}
