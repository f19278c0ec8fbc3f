// The network library's binary interface: what a program built against an older ipserial.h, or
// one that looks the entry points up by name, relies on. A change here breaks every caller.
#include "ipserial.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <type_traits>

namespace {

// The options structure grows only at its end; `size` tells the library how much a caller knows.
static_assert(offsetof(nsio_tls_options, size) == 0);
static_assert(offsetof(nsio_tls_options, host) == sizeof(void*));
static_assert(offsetof(nsio_tls_options, caFile) == 2 * sizeof(void*));
static_assert(offsetof(nsio_tls_options, certFile) == 3 * sizeof(void*));
static_assert(offsetof(nsio_tls_options, keyFile) == 4 * sizeof(void*));
static_assert(sizeof(nsio_tls_options) == 5 * sizeof(void*));
static_assert(sizeof(int) == 4 && sizeof(intptr_t) == sizeof(void*));

// A caller's pointer types are the entry points' own.
static_assert(std::is_same_v<decltype(&nsio_init), nsio_init_t>);
static_assert(std::is_same_v<decltype(&nsio_end), nsio_end_t>);
static_assert(std::is_same_v<decltype(&nsio_open), nsio_open_t>);
static_assert(std::is_same_v<decltype(&nsio_close), nsio_close_t>);
static_assert(std::is_same_v<decltype(&nsio_ioctl), nsio_ioctl_t>);
static_assert(std::is_same_v<decltype(&nsio_flowctrl), nsio_flowctrl_t>);
static_assert(std::is_same_v<decltype(&nsio_read), nsio_read_t>);
static_assert(std::is_same_v<decltype(&nsio_write), nsio_write_t>);
static_assert(std::is_same_v<decltype(&nsio_DTR), nsio_DTR_t>);
static_assert(std::is_same_v<decltype(&nsio_RTS), nsio_RTS_t>);
static_assert(std::is_same_v<decltype(&nsio_lstatus), nsio_lstatus_t>);
static_assert(std::is_same_v<decltype(&nsio_wait), nsio_wait_t>);
static_assert(std::is_same_v<decltype(&nsio_open_ex), nsio_open_ex_t>);
static_assert(std::is_same_v<decltype(&nsio_open_wake), nsio_open_wake_t>);

// The numbers travel between separately built programs: each is fixed once published.
TEST(IpserialAbi, CodesKeepTheirNumbers) {
    struct Code {
        const char* name;
        int value, fixed;
    };
    const Code codes[] = {
        {"NSIO_B50", NSIO_B50, 0},
        {"NSIO_B300", NSIO_B300, 5},
        {"NSIO_B1800", NSIO_B1800, 8},
        {"NSIO_B9600", NSIO_B9600, 12},
        {"NSIO_B115200", NSIO_B115200, 16},
        {"NSIO_B921600", NSIO_B921600, 19},
        {"NSIO_BIT_8", NSIO_BIT_8, 0x03},
        {"NSIO_STOP_2", NSIO_STOP_2, 0x04},
        {"NSIO_PARITY_EVEN", NSIO_PARITY_EVEN, 0x08},
        {"NSIO_PARITY_ODD", NSIO_PARITY_ODD, 0x10},
        {"NSIO_PARITY_MARK", NSIO_PARITY_MARK, 0x18},
        {"NSIO_FLOW_HARDWARE", NSIO_FLOW_HARDWARE, 3},
        {"NSIO_LS_CTS", NSIO_LS_CTS, 0x01},
        {"NSIO_LS_DSR", NSIO_LS_DSR, 0x02},
        {"NSIO_LS_RING", NSIO_LS_RING, 0x04},
        {"NSIO_LS_DCD", NSIO_LS_DCD, 0x08},
        {"NSIO_BADPORT", NSIO_BADPORT, -1},
        {"NSIO_TIMEOUT", NSIO_TIMEOUT, -3},
        {"NSIO_CLOSED", NSIO_CLOSED, -4},
        {"NSIO_CONNECTFAIL", NSIO_CONNECTFAIL, -6},
        {"NSIO_SOCKETFAIL", NSIO_SOCKETFAIL, -8},
        {"NSIO_TLS_UNTRUSTED", NSIO_TLS_UNTRUSTED, -9},
        {"NSIO_TLS_UNSUPPORTED", NSIO_TLS_UNSUPPORTED, -16},
        {"NSIO_ABORTED", NSIO_ABORTED, -17},
    };
    for (const Code& c : codes)
        EXPECT_EQ(c.value, c.fixed) << c.name;
}

#if !defined(_WIN32)
std::set<std::string> Lines(FILE* in) {
    std::set<std::string> names;
    char line[512];
    while (in && std::fgets(line, sizeof line, in)) {
        std::string name(line);
        while (!name.empty() && (name.back() == '\n' || name.back() == '\r'))
            name.pop_back();
        if (!name.empty()) names.insert(name);
    }
    return names;
}

// The names the Windows DLL exports (its .def file) are exactly the names the Linux library
// exports: one list, checked against what the linker made.
TEST(IpserialAbi, ExportsAreTheDefFilesNames) {
    std::ifstream def(std::string(ZEM_IPSERIAL_DEF));
    ASSERT_TRUE(def) << ZEM_IPSERIAL_DEF;
    std::set<std::string> listed;
    std::string line;
    bool exports = false;
    while (std::getline(def, line)) {
        std::istringstream words(line);
        std::string first;
        if (!(words >> first)) continue;
        if (first == "EXPORTS") {
            exports = true;
            continue;
        }
        if (exports) listed.insert(first);
    }
    ASSERT_FALSE(listed.empty());

    const std::string command =
        std::string("nm -D --defined-only --format=just-symbols '") + IPSERIAL_LIBRARY_PATH + "'";
    FILE* nm = popen(command.c_str(), "r");
    ASSERT_NE(nm, nullptr);
    std::set<std::string> exported;
    for (const std::string& name : Lines(nm))
        if (name.rfind("nsio_", 0) == 0) exported.insert(name);
    ASSERT_EQ(pclose(nm), 0) << command;
    EXPECT_EQ(exported, listed);
}
#endif

} // namespace
