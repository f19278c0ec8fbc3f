// Which subjectAltName DNS entries name a host, where our code rather than OpenSSL decides.
#include "HostName.h"

#include <gtest/gtest.h>

TEST(DnsNameMatches, ExactNamesAndOneLabelWildcards) {
    struct Row {
        const char* pattern;
        const char* host;
        bool matches;
    } rows[] = {
        {"devsrv.example.net", "devsrv.example.net", true},
        {"DevSrv.Example.NET", "devsrv.example.net", true},
        {"devsrv.example.net", "devsrv.example.ne", false},
        {"devsrv.example.net", "xdevsrv.example.net", false},
        {"*.example.net", "devsrv.example.net", true},
        {"*.example.net", "DEVSRV.example.net", true},
        {"*.example.net", "example.net", false},     // no label for the star
        {"*.example.net", ".example.net", false},    // an empty one
        {"*.example.net", "a.b.example.net", false}, // two labels
        {"*.example.net", "devsrv.otherexample.net", false},
        {"a*.example.net", "ab.example.net", false}, // partial labels are not wildcards
        {"*b.example.net", "ab.example.net", false},
        {"a.*.example.net", "a.b.example.net", false}, // only the left-most label
        {"*.*.example.net", "a.b.example.net", false},
        {"*.net", "example.net", false}, // too wide to mean anything
        {"*", "localhost", false},
        {"", "localhost", false},
        {"localhost", "", false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(ipserial::DnsNameMatches(r.pattern, r.host), r.matches)
            << r.pattern << " / " << r.host;
}
