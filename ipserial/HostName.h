#pragma once
#include <string>

namespace ipserial {

// Whether one DNS name of a certificate's subjectAltName names `host`: equal without regard to
// ASCII case, or a wildcard "*.rest" that stands for exactly one whole left-most label of a host
// with at least as many labels ("*.example.net" names "a.example.net", not "example.net",
// "a.b.example.net" or "ab.example.net" through "a*.example.net"); no wildcard over fewer than two
// labels ("*.net"). Where OpenSSL is not there to check names, this is the rule.
bool DnsNameMatches(const std::string& pattern, const std::string& host);

} // namespace ipserial
