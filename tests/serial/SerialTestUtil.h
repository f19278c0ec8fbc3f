#pragma once
#include "TestDir.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

// True when the report file in the current directory holds this record (channels here are built
// with level code 20 and no device name).
inline bool Logged(const std::string& tag, const std::string& text) {
    return ReadFileBytes("LocalLog.txt").find(tag + "  " + text + "\r\n") != std::string::npos;
}

// Polls until pred holds; the limit only guards against a hang, it is not a timing assertion.
template <class Pred> bool WaitFor(Pred pred, int limitMs = 20000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A byte stream in which every position differs from its neighbours in a way that loss,
// duplication or reordering breaks; seeds tell the two directions apart. Covers all byte values.
inline uint8_t PatternByte(uint32_t seed, uint64_t i) {
    uint64_t x = (i + 1) * 0x9E3779B97F4A7C15ull ^ (uint64_t{seed} << 32);
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    return static_cast<uint8_t>(x);
}

inline std::string Pattern(uint32_t seed, size_t n, uint64_t from = 0) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(PatternByte(seed, from + i));
    return s;
}
