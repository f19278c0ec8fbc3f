#include "Tokens.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace zem::line {

namespace {
std::string Hex(const unsigned char* p, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}
} // namespace

std::string NewToken(const char* prefix) {
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return {};
    return prefix + Hex(bytes, sizeof bytes);
}

std::string TokenHash(const std::string& token) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(token.data(), token.size(), md, &n, EVP_sha256(), nullptr);
    return Hex(md, n);
}

bool FileSha256(const std::string& path, std::string& hex, long long& size, std::string& error) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!f) {
        error = "can not read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr);
    unsigned char buf[1 << 16];
    size = 0;
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f.get())) > 0) {
        EVP_DigestUpdate(ctx.get(), buf, got);
        size += static_cast<long long>(got);
    }
    if (std::ferror(f.get())) {
        error = "can not read " + path + ": " + std::strerror(errno);
        return false;
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx.get(), md, &n);
    hex = Hex(md, n);
    return true;
}

} // namespace zem::line
