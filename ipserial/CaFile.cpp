#include "CaFile.h"

#include <fstream>
#include <sstream>

namespace ipserial {

namespace {

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Strict base64: white space between the characters, '=' padding only at the end.
bool Base64Decode(const std::string& text, std::vector<uint8_t>* out) {
    uint32_t bits = 0;
    int count = 0, padding = 0;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        if (c == '=') {
            ++padding;
            continue;
        }
        const int v = Base64Value(c);
        if (v < 0 || padding > 0) return false;
        bits = (bits << 6) | static_cast<uint32_t>(v);
        if (++count == 4) {
            out->push_back(static_cast<uint8_t>(bits >> 16));
            out->push_back(static_cast<uint8_t>(bits >> 8));
            out->push_back(static_cast<uint8_t>(bits));
            bits = 0;
            count = 0;
        }
    }
    if (count == 1 || padding > 2 || (count > 0 && count + padding != 4) ||
        (count == 0 && padding > 0))
        return false;
    if (count == 2) out->push_back(static_cast<uint8_t>(bits >> 4));
    if (count == 3) {
        out->push_back(static_cast<uint8_t>(bits >> 10));
        out->push_back(static_cast<uint8_t>(bits >> 2));
    }
    return !out->empty();
}

} // namespace

std::string ReadCaFile(const std::string& path,
                       const std::function<bool(const std::vector<uint8_t>& der)>& take) {
    const std::string cantRead = "can not read the CA file " + path;
    std::ifstream in(path, std::ios::binary);
    if (!in) return cantRead;
    std::stringstream ss;
    ss << in.rdbuf();
    if (in.bad()) return cantRead;
    const std::string text = ss.str();
    static const std::string kBegin = "-----BEGIN ", kEnd = "-----END ", kDashes = "-----";
    int blocks = 0;
    for (size_t at = text.find(kBegin); at != std::string::npos; at = text.find(kBegin, at)) {
        ++blocks;
        const std::string nth = ": its PEM block " + std::to_string(blocks);
        const size_t labelAt = at + kBegin.size();
        const size_t labelEnd = text.find(kDashes, labelAt);
        const size_t lineEnd = text.find('\n', labelAt);
        if (labelEnd == std::string::npos || (lineEnd != std::string::npos && lineEnd < labelEnd))
            return cantRead + nth + " is not PEM";
        const std::string label = text.substr(labelAt, labelEnd - labelAt);
        const std::string end = kEnd + label + kDashes;
        const size_t bodyAt = labelEnd + kDashes.size();
        const size_t endAt = text.find(end, bodyAt);
        if (endAt == std::string::npos) return cantRead + nth + " has no end";
        if (label != "CERTIFICATE")
            return cantRead + nth + " is a " + label + ", not a certificate";
        std::vector<uint8_t> der;
        if (!Base64Decode(text.substr(bodyAt, endAt - bodyAt), &der) || !take(der))
            return cantRead + nth + " is not a certificate";
        at = endAt + end.size();
    }
    if (blocks == 0) return cantRead + ": it holds no certificate";
    return {};
}

} // namespace ipserial
